// The capture filter object: identity, property page, source flag, the
// cannot-cue rule and the camera control interface passed on to the pin.
#include "nvc480_filter.h"

#include <new>

#include "nvc480_identity.h"
#include "output_pin.h"

CUnknown *WINAPI CNVC480::CreateInstance(LPUNKNOWN pUnk, HRESULT *phr) {
    HRESULT hr = S_OK;
    auto *filter = new (std::nothrow) CNVC480(pUnk, &hr);
    if (filter == nullptr) {
        hr = E_OUTOFMEMORY;
    } else if (FAILED(hr)) {
        // The filter was never handed out, so nothing holds a reference.
        delete filter;
        filter = nullptr;
    }
    if (phr != NULL) *phr = hr;
    return filter;
}

CNVC480::CNVC480(LPUNKNOWN pUnk, HRESULT *phr) : CSource(NULL, pUnk, CLSID_NVC480Filter) {
    HRESULT hr = S_OK;
    // The pin enters itself in the filter's pin list; it holds every frame
    // buffer (several megabytes), so running out of memory is a real case.
    m_pPin = new (std::nothrow) CPushPinNVC480(&hr, this);
    if (m_pPin == nullptr) hr = E_OUTOFMEMORY;
    if (phr != NULL) *phr = hr;
}

CNVC480::~CNVC480() {
    // The pin's destructor leaves the pin list and saves the settings.
    delete m_pPin;
}

STDMETHODIMP CNVC480::NonDelegatingQueryInterface(REFIID riid, void **ppv) {
    CheckPointer(ppv, E_POINTER);
    if (riid == IID_INVC480) return GetInterface(static_cast<INVC480 *>(this), ppv);
    if (riid == IID_ISpecifyPropertyPages) return GetInterface(static_cast<ISpecifyPropertyPages *>(this), ppv);
    if (riid == IID_IAMFilterMiscFlags) return GetInterface(static_cast<IAMFilterMiscFlags *>(this), ppv);
    return CSource::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CNVC480::GetState(DWORD, FILTER_STATE *State) {
    CheckPointer(State, E_POINTER);
    *State = m_State;
    return *State == State_Paused ? VFW_S_CANT_CUE : S_OK;
}

STDMETHODIMP CNVC480::GetPages(CAUUID *pPages) {
    CheckPointer(pPages, E_POINTER);
    pPages->cElems = 1;
    pPages->pElems = static_cast<GUID *>(CoTaskMemAlloc(sizeof(GUID)));
    if (pPages->pElems == NULL) return E_OUTOFMEMORY;
    pPages->pElems[0] = CLSID_NVC480SetupPage;
    return S_OK;
}

STDMETHODIMP_(ULONG) CNVC480::GetMiscFlags() { return AM_FILTER_MISC_FLAGS_IS_SOURCE; }

// The filter's camera control interface answers S_OK whatever the pin said:
// only null pointers are its own refusal. A caller that needs the pin's
// answer asks the pin.
namespace {
template <typename Call>
HRESULT Forward(CPushPinNVC480 *pin, Call call) {
    if (pin != nullptr) call(pin);
    return S_OK;
}
}  // namespace

STDMETHODIMP CNVC480::GetVideoSize(DWORD *size) {
    CheckPointer(size, E_POINTER);
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) { pin->GetVideoSize(size); });
}
STDMETHODIMP CNVC480::SetVideoSize(DWORD size) {
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) { pin->SetVideoSize(size); });
}
STDMETHODIMP CNVC480::GetWhiteBalance(DWORD *autoWB, BYTE *r, BYTE *g, BYTE *b) {
    if (autoWB == NULL || r == NULL || g == NULL || b == NULL) return E_POINTER;
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) { pin->GetWhiteBalance(autoWB, r, g, b); });
}
STDMETHODIMP CNVC480::SetWhiteBalance(DWORD autoWB, BYTE r, BYTE g, BYTE b) {
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) { pin->SetWhiteBalance(autoWB, r, g, b); });
}
STDMETHODIMP CNVC480::GetExposureControl(DWORD *autoExposure, BYTE *aeTarget, WORD *exposureTime,
                                         WORD *analogGain) {
    if (autoExposure == NULL || aeTarget == NULL || exposureTime == NULL || analogGain == NULL) return E_POINTER;
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) {
        pin->GetExposureControl(autoExposure, aeTarget, exposureTime, analogGain);
    });
}
STDMETHODIMP CNVC480::SetExposureControl(DWORD autoExposure, BYTE aeTarget, WORD exposureTime, WORD analogGain) {
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) {
        pin->SetExposureControl(autoExposure, aeTarget, exposureTime, analogGain);
    });
}
STDMETHODIMP CNVC480::GetSpeedMode(BYTE *speed) {
    CheckPointer(speed, E_POINTER);
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) { pin->GetSpeedMode(speed); });
}
STDMETHODIMP CNVC480::SetSpeedMode(BYTE speed) {
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) { pin->SetSpeedMode(speed); });
}
STDMETHODIMP CNVC480::GetGamma(BYTE *gamma) {
    CheckPointer(gamma, E_POINTER);
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) { pin->GetGamma(gamma); });
}
STDMETHODIMP CNVC480::SetGamma(BYTE gamma) {
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) { pin->SetGamma(gamma); });
}
STDMETHODIMP CNVC480::GetContrast(BYTE *contrast) {
    CheckPointer(contrast, E_POINTER);
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) { pin->GetContrast(contrast); });
}
STDMETHODIMP CNVC480::SetContrast(BYTE contrast) {
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) { pin->SetContrast(contrast); });
}
STDMETHODIMP CNVC480::GetSaturation(DWORD *enable, BYTE *saturation) {
    if (enable == NULL || saturation == NULL) return E_POINTER;
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) { pin->GetSaturation(enable, saturation); });
}
STDMETHODIMP CNVC480::SetSaturation(DWORD enable, BYTE saturation) {
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) { pin->SetSaturation(enable, saturation); });
}
STDMETHODIMP CNVC480::GetWhiteBlack(DWORD *on) {
    CheckPointer(on, E_POINTER);
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) { pin->GetWhiteBlack(on); });
}
STDMETHODIMP CNVC480::SetWhiteBlack(DWORD on) {
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) { pin->SetWhiteBlack(on); });
}
STDMETHODIMP CNVC480::GetVFlip(DWORD *on) {
    CheckPointer(on, E_POINTER);
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) { pin->GetVFlip(on); });
}
STDMETHODIMP CNVC480::SetVFlip(DWORD on) {
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) { pin->SetVFlip(on); });
}
STDMETHODIMP CNVC480::SetPowerFrequency(DWORD hz50) {
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) { pin->SetPowerFrequency(hz50); });
}
STDMETHODIMP CNVC480::GetPowerFrequency(DWORD *hz50) {
    CheckPointer(hz50, E_POINTER);
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) { pin->GetPowerFrequency(hz50); });
}
STDMETHODIMP CNVC480::GetHFlip(DWORD *on) {
    CheckPointer(on, E_POINTER);
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) { pin->GetHFlip(on); });
}
STDMETHODIMP CNVC480::SetHFlip(DWORD on) {
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) { pin->SetHFlip(on); });
}
STDMETHODIMP CNVC480::GetLineClocks(DWORD *clocks) {
    CheckPointer(clocks, E_POINTER);
    return Forward(m_pPin, [&](CPushPinNVC480 *pin) { pin->GetLineClocks(clocks); });
}
