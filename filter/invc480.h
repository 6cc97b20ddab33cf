// The camera control interface: how applications and the property pages read
// and change the camera settings. Callers bind to the methods by position, so
// their order is part of the contract and never changes.
#pragma once

#include <windows.h>
#include <objbase.h>

// {EF9547D2-97F6-412F-A886-BABD7005A4D8}, the same in every build. Plain
// const (internal linkage): a unique symbol would pin a module in memory.
const IID IID_INVC480 = {0xef9547d2, 0x97f6, 0x412f, {0xa8, 0x86, 0xba, 0xbd, 0x70, 0x05, 0xa4, 0xd8}};

struct INVC480 : public IUnknown {
    STDMETHOD(GetVideoSize)(DWORD *size) = 0;
    STDMETHOD(SetVideoSize)(DWORD size) = 0;
    STDMETHOD(GetWhiteBalance)(DWORD *autoWB, BYTE *r, BYTE *g, BYTE *b) = 0;
    STDMETHOD(SetWhiteBalance)(DWORD autoWB, BYTE r, BYTE g, BYTE b) = 0;
    STDMETHOD(GetExposureControl)(DWORD *autoExposure, BYTE *aeTarget, WORD *exposureTime, WORD *analogGain) = 0;
    STDMETHOD(SetExposureControl)(DWORD autoExposure, BYTE aeTarget, WORD exposureTime, WORD analogGain) = 0;
    STDMETHOD(GetSpeedMode)(BYTE *speed) = 0;
    STDMETHOD(SetSpeedMode)(BYTE speed) = 0;
    STDMETHOD(GetGamma)(BYTE *gamma) = 0;
    STDMETHOD(SetGamma)(BYTE gamma) = 0;
    STDMETHOD(GetContrast)(BYTE *contrast) = 0;
    STDMETHOD(SetContrast)(BYTE contrast) = 0;
    STDMETHOD(GetSaturation)(DWORD *enable, BYTE *saturation) = 0;
    STDMETHOD(SetSaturation)(DWORD enable, BYTE saturation) = 0;
    STDMETHOD(GetWhiteBlack)(DWORD *on) = 0;
    STDMETHOD(SetWhiteBlack)(DWORD on) = 0;
    STDMETHOD(GetVFlip)(DWORD *on) = 0;
    STDMETHOD(SetVFlip)(DWORD on) = 0;
    STDMETHOD(SetPowerFrequency)(DWORD hz50) = 0;
    STDMETHOD(GetPowerFrequency)(DWORD *hz50) = 0;
    STDMETHOD(GetHFlip)(DWORD *on) = 0;
    STDMETHOD(SetHFlip)(DWORD on) = 0;
    STDMETHOD(GetLineClocks)(DWORD *clocks) = 0;
};

// Every method of INVC480 as a declaration list, for the classes that
// implement it (the pin for real, the filter by forwarding).
#define DECLARE_INVC480_METHODS                                                                          \
    STDMETHODIMP GetVideoSize(DWORD *size) override;                                                     \
    STDMETHODIMP SetVideoSize(DWORD size) override;                                                      \
    STDMETHODIMP GetWhiteBalance(DWORD *autoWB, BYTE *r, BYTE *g, BYTE *b) override;                     \
    STDMETHODIMP SetWhiteBalance(DWORD autoWB, BYTE r, BYTE g, BYTE b) override;                         \
    STDMETHODIMP GetExposureControl(DWORD *autoExposure, BYTE *aeTarget, WORD *exposureTime,             \
                                    WORD *analogGain) override;                                          \
    STDMETHODIMP SetExposureControl(DWORD autoExposure, BYTE aeTarget, WORD exposureTime,                \
                                    WORD analogGain) override;                                           \
    STDMETHODIMP GetSpeedMode(BYTE *speed) override;                                                     \
    STDMETHODIMP SetSpeedMode(BYTE speed) override;                                                      \
    STDMETHODIMP GetGamma(BYTE *gamma) override;                                                         \
    STDMETHODIMP SetGamma(BYTE gamma) override;                                                          \
    STDMETHODIMP GetContrast(BYTE *contrast) override;                                                   \
    STDMETHODIMP SetContrast(BYTE contrast) override;                                                    \
    STDMETHODIMP GetSaturation(DWORD *enable, BYTE *saturation) override;                                \
    STDMETHODIMP SetSaturation(DWORD enable, BYTE saturation) override;                                  \
    STDMETHODIMP GetWhiteBlack(DWORD *on) override;                                                      \
    STDMETHODIMP SetWhiteBlack(DWORD on) override;                                                       \
    STDMETHODIMP GetVFlip(DWORD *on) override;                                                           \
    STDMETHODIMP SetVFlip(DWORD on) override;                                                            \
    STDMETHODIMP SetPowerFrequency(DWORD hz50) override;                                                 \
    STDMETHODIMP GetPowerFrequency(DWORD *hz50) override;                                                \
    STDMETHODIMP GetHFlip(DWORD *on) override;                                                           \
    STDMETHODIMP SetHFlip(DWORD on) override;                                                            \
    STDMETHODIMP GetLineClocks(DWORD *clocks) override;
