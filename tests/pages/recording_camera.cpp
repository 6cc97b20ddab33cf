#include "recording_camera.h"

#include <algorithm>

namespace pages_test {
namespace {

std::string Call(const char *name, std::initializer_list<unsigned> arguments) {
    std::string text = std::string(name) + "(";
    bool first = true;
    for (unsigned argument : arguments) {
        if (!first) text += ",";
        text += std::to_string(argument);
        first = false;
    }
    return text + ")";
}

}  // namespace

std::vector<std::string> RecordingCamera::Take() {
    std::vector<std::string> calls;
    calls.swap(calls_);
    return calls;
}

std::vector<std::string> RecordingCamera::Take(const std::string &prefix) {
    std::vector<std::string> calls;
    for (const std::string &call : Take()) {
        if (call.rfind(prefix, 0) == 0) calls.push_back(call);
    }
    return calls;
}

STDMETHODIMP RecordingCamera::QueryInterface(REFIID riid, void **ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_INVC480)) {
        *ppv = static_cast<INVC480 *>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP RecordingCamera::GetVideoSize(DWORD *size) {
    Record("GetVideoSize()");
    *size = values_.size;
    return S_OK;
}
STDMETHODIMP RecordingCamera::SetVideoSize(DWORD size) {
    Record(Call("SetVideoSize", {size}));
    values_.size = size;
    return S_OK;
}
STDMETHODIMP RecordingCamera::GetWhiteBalance(DWORD *autoWB, BYTE *r, BYTE *g, BYTE *b) {
    Record("GetWhiteBalance()");
    if (values_.autoWB != 0 && ++polls_ == values_.measureAtPoll) {
        values_.autoWB = 0;
        values_.r = values_.measuredR;
        values_.g = values_.measuredG;
        values_.b = values_.measuredB;
    }
    *autoWB = values_.autoWB;
    *r = values_.r;
    *g = values_.g;
    *b = values_.b;
    return S_OK;
}
STDMETHODIMP RecordingCamera::SetWhiteBalance(DWORD autoWB, BYTE r, BYTE g, BYTE b) {
    Record(Call("SetWhiteBalance", {autoWB, r, g, b}));
    polls_ = 0;
    values_.autoWB = autoWB;
    values_.r = r;
    values_.g = g;
    values_.b = b;
    return S_OK;
}
STDMETHODIMP RecordingCamera::GetExposureControl(DWORD *autoExposure, BYTE *aeTarget, WORD *exposureTime,
                                                 WORD *analogGain) {
    Record("GetExposureControl()");
    *autoExposure = values_.autoExposure;
    *aeTarget = values_.aeTarget;
    *exposureTime = values_.exposureTime;
    *analogGain = values_.analogGain;
    return S_OK;
}
STDMETHODIMP RecordingCamera::SetExposureControl(DWORD autoExposure, BYTE aeTarget, WORD exposureTime,
                                                 WORD analogGain) {
    Record(Call("SetExposureControl", {autoExposure, aeTarget, exposureTime, analogGain}));
    values_.autoExposure = autoExposure;
    values_.aeTarget = aeTarget;
    values_.exposureTime = exposureTime;
    values_.analogGain = analogGain;
    return S_OK;
}
STDMETHODIMP RecordingCamera::GetSpeedMode(BYTE *speed) {
    Record("GetSpeedMode()");
    *speed = values_.speed;
    return S_OK;
}
STDMETHODIMP RecordingCamera::SetSpeedMode(BYTE speed) {
    Record(Call("SetSpeedMode", {speed}));
    values_.speed = speed;
    return S_OK;
}
STDMETHODIMP RecordingCamera::GetGamma(BYTE *gamma) {
    Record("GetGamma()");
    *gamma = values_.gamma;
    return S_OK;
}
STDMETHODIMP RecordingCamera::SetGamma(BYTE gamma) {
    Record(Call("SetGamma", {gamma}));
    values_.gamma = gamma;
    return S_OK;
}
STDMETHODIMP RecordingCamera::GetContrast(BYTE *contrast) {
    Record("GetContrast()");
    *contrast = values_.contrast;
    return S_OK;
}
STDMETHODIMP RecordingCamera::SetContrast(BYTE contrast) {
    Record(Call("SetContrast", {contrast}));
    values_.contrast = contrast;
    return S_OK;
}
STDMETHODIMP RecordingCamera::GetSaturation(DWORD *enable, BYTE *saturation) {
    Record("GetSaturation()");
    *enable = values_.enableSaturation;
    *saturation = values_.saturation;
    return S_OK;
}
STDMETHODIMP RecordingCamera::SetSaturation(DWORD enable, BYTE saturation) {
    Record(Call("SetSaturation", {enable, saturation}));
    values_.enableSaturation = enable;
    values_.saturation = saturation;
    return S_OK;
}
STDMETHODIMP RecordingCamera::GetWhiteBlack(DWORD *on) {
    Record("GetWhiteBlack()");
    *on = values_.whiteBlack;
    return S_OK;
}
STDMETHODIMP RecordingCamera::SetWhiteBlack(DWORD on) {
    Record(Call("SetWhiteBlack", {on}));
    values_.whiteBlack = on;
    return S_OK;
}
STDMETHODIMP RecordingCamera::GetVFlip(DWORD *on) {
    Record("GetVFlip()");
    *on = values_.vFlip;
    return S_OK;
}
STDMETHODIMP RecordingCamera::SetVFlip(DWORD on) {
    Record(Call("SetVFlip", {on}));
    values_.vFlip = on;
    return S_OK;
}
STDMETHODIMP RecordingCamera::SetPowerFrequency(DWORD hz50) {
    Record(Call("SetPowerFrequency", {hz50}));
    values_.hz50 = hz50;
    return S_OK;
}
STDMETHODIMP RecordingCamera::GetPowerFrequency(DWORD *hz50) {
    Record("GetPowerFrequency()");
    *hz50 = values_.hz50;
    return S_OK;
}
STDMETHODIMP RecordingCamera::GetHFlip(DWORD *on) {
    Record("GetHFlip()");
    *on = values_.hFlip;
    return S_OK;
}
STDMETHODIMP RecordingCamera::SetHFlip(DWORD on) {
    Record(Call("SetHFlip", {on}));
    values_.hFlip = on;
    return S_OK;
}
STDMETHODIMP RecordingCamera::GetLineClocks(DWORD *clocks) {
    Record("GetLineClocks()");
    *clocks = values_.lineClocks;
    return S_OK;
}

}  // namespace pages_test
