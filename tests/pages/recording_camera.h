// An INVC480 that answers from settings of its own and records every call
// with its arguments, so tests read back exactly what a page sent and in
// which order.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "filter/invc480.h"

namespace pages_test {

struct CameraValues {
    DWORD size = 0;
    DWORD autoWB = 0;
    BYTE r = 74, g = 64, b = 96;
    DWORD autoExposure = 1;
    BYTE aeTarget = 100;
    WORD exposureTime = 300;
    WORD analogGain = 224;
    BYTE speed = 0;
    BYTE gamma = 100;
    BYTE contrast = 30;
    DWORD enableSaturation = 1;
    BYTE saturation = 100;
    DWORD whiteBlack = 0;
    DWORD vFlip = 0;
    DWORD hFlip = 0;
    DWORD hz50 = 1;
    DWORD lineClocks = 2548;
    // A pending one-push request is measured at this poll of
    // GetWhiteBalance (0: never), giving these gains.
    int measureAtPoll = 0;
    BYTE measuredR = 0, measuredG = 0, measuredB = 0;
};

class RecordingCamera final : public INVC480 {
public:
    explicit RecordingCamera(const CameraValues &values = {}) : values_(values) {}

    // The calls since the last Take, e.g. "SetGamma(100)".
    std::vector<std::string> Take();
    // Only the calls whose name starts with `prefix` ("Set", "Get").
    std::vector<std::string> Take(const std::string &prefix);
    LONG references() const { return references_; }
    CameraValues &values() { return values_; }

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override { return --references_; }
    DECLARE_INVC480_METHODS

private:
    void Record(const std::string &call) { calls_.push_back(call); }

    CameraValues values_;
    std::vector<std::string> calls_;
    int polls_ = 0;
    // Owned by the test on the stack: the count is only watched, never deletes.
    LONG references_ = 1;
};

}  // namespace pages_test
