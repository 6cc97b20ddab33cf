// The pin's camera control interface: the camera settings as applications
// and the property pages read and change them. Setters store what they are
// given (ranges are kept by the store's load and by the pages); the pin lock
// keeps each group of settings, with the table built from it, whole, and
// keeps register writes off a device channel that is being released.
#include "output_pin.h"

namespace {
// A sensor line is 1274 pixel clocks at high speed and twice that at normal speed.
const DWORD kHighSpeedLineClocks = 1274;
}  // namespace

STDMETHODIMP CPushPinNVC480::GetVideoSize(DWORD *size) {
    CheckPointer(size, E_FAIL);
    *size = m_settings.eNVC480Size;
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::SetVideoSize(DWORD size) {
    // The state lock: a connection cannot start while the size changes.
    CAutoLock lock(m_pLock);
    if (IsConnected()) return VFW_E_ALREADY_CONNECTED;
    if (size > NVC480_SIZE_320x240) return E_INVALIDARG;
    if (m_settings.eNVC480Size != size) m_settings.eNVC480Size = size;
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::GetWhiteBalance(DWORD *autoWB, BYTE *r, BYTE *g, BYTE *b) {
    if (autoWB == NULL || r == NULL || g == NULL || b == NULL) return E_FAIL;
    CAutoLock lock(&m_csPin);
    *autoWB = m_settings.bAutoWB;
    *r = m_settings.r;
    *g = m_settings.g;
    *b = m_settings.b;
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::SetWhiteBalance(DWORD autoWB, BYTE r, BYTE g, BYTE b) {
    CAutoLock lock(&m_csPin);
    m_settings.r = r;
    m_settings.g = g;
    m_settings.b = b;
    BuildGainTables(m_gains, r, g, b);
    // Last: a one-push request measures against the gains just stored.
    m_settings.bAutoWB = autoWB;
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::GetExposureControl(DWORD *autoExposure, BYTE *aeTarget, WORD *exposureTime,
                                                WORD *analogGain) {
    if (autoExposure == NULL || aeTarget == NULL || exposureTime == NULL || analogGain == NULL) return E_FAIL;
    CAutoLock lock(&m_csPin);
    *autoExposure = m_settings.AutoExposure;
    *aeTarget = m_settings.AETarget;
    *exposureTime = m_settings.ExposureTime;
    *analogGain = m_settings.AnalogGain;
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::SetExposureControl(DWORD autoExposure, BYTE aeTarget, WORD exposureTime,
                                                WORD analogGain) {
    CAutoLock lock(&m_csPin);
    m_settings.AutoExposure = autoExposure;
    m_settings.AETarget = aeTarget;
    m_settings.ExposureTime = exposureTime;
    m_settings.AnalogGain = analogGain;
    // With automatic exposure on, it owns both registers; the stored values
    // are only where it starts from. Write failures leave the camera as it was.
    if (m_pDevice != nullptr && autoExposure == 0) {
        m_pDevice->SetExposure(exposureTime);
        m_pDevice->SetAnalogGain(analogGain);
    }
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::GetSpeedMode(BYTE *speed) {
    CheckPointer(speed, E_FAIL);
    *speed = m_settings.Speed;
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::SetSpeedMode(BYTE speed) {
    m_settings.Speed = speed;
    // The streaming thread deletes the channel under the pin lock when it
    // releases the device, so the write must hold it too.
    CAutoLock lock(&m_csPin);
    if (m_pDevice != nullptr) m_pDevice->SetSpeed(speed);
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::GetGamma(BYTE *gamma) {
    CheckPointer(gamma, E_FAIL);
    *gamma = m_settings.Gamma;
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::SetGamma(BYTE gamma) {
    CAutoLock lock(&m_csPin);
    m_settings.Gamma = gamma;
    BuildToneTable(m_tone, m_settings.Gamma, m_settings.Contrast);
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::GetContrast(BYTE *contrast) {
    CheckPointer(contrast, E_FAIL);
    CAutoLock lock(&m_csPin);
    *contrast = m_settings.Contrast;
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::SetContrast(BYTE contrast) {
    CAutoLock lock(&m_csPin);
    m_settings.Contrast = contrast;
    BuildToneTable(m_tone, m_settings.Gamma, m_settings.Contrast);
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::GetSaturation(DWORD *enable, BYTE *saturation) {
    if (enable == NULL || saturation == NULL) return E_FAIL;
    CAutoLock lock(&m_csPin);
    *enable = m_settings.EnableSaturation;
    *saturation = m_settings.Saturation;
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::SetSaturation(DWORD enable, BYTE saturation) {
    CAutoLock lock(&m_csPin);
    m_settings.EnableSaturation = enable;
    m_settings.Saturation = saturation;
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::GetWhiteBlack(DWORD *on) {
    CheckPointer(on, E_FAIL);
    *on = m_settings.WhiteBlack;
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::SetWhiteBlack(DWORD on) {
    m_settings.WhiteBlack = on;
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::GetVFlip(DWORD *on) {
    CheckPointer(on, E_FAIL);
    *on = m_settings.VFlip;
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::SetVFlip(DWORD on) {
    m_settings.VFlip = on;
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::SetPowerFrequency(DWORD hz50) {
    m_settings.HZ = hz50;
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::GetPowerFrequency(DWORD *hz50) {
    CheckPointer(hz50, E_FAIL);
    *hz50 = m_settings.HZ;
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::GetHFlip(DWORD *on) {
    CheckPointer(on, E_FAIL);
    *on = m_settings.HFlip;
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::SetHFlip(DWORD on) {
    m_settings.HFlip = on;
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::GetLineClocks(DWORD *clocks) {
    CheckPointer(clocks, E_FAIL);
    CAutoLock lock(&m_csPin);
    *clocks = m_settings.Speed == 0 ? kHighSpeedLineClocks * 2 : kHighSpeedLineClocks;
    return S_OK;
}
