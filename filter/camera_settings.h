// The camera settings: one group of fields that the output pin holds. Each
// field is named after the registry value that stores it.
#pragma once

#include <windows.h>

// Video size index of eNVC480Size; only the first is offered as a format.
enum {
    NVC480_SIZE_1024x768 = 0,
    NVC480_SIZE_800x600 = 1,
    NVC480_SIZE_640x480 = 2,
    NVC480_SIZE_320x240 = 3,
};

struct CCameraSettings {
    DWORD eNVC480Size;       // video size index
    DWORD bAutoWB;           // 1: measure white balance on the next frame
    BYTE r, g, b;            // manual white-balance gains, 64 = x 1.0
    DWORD AutoExposure;      // 1: automatic exposure
    BYTE AETarget;           // target brightness of automatic exposure
    WORD ExposureTime;       // exposure in sensor lines
    WORD AnalogGain;         // analog gain code; stored as "AnalogGain" and "Gain"
    BYTE Speed;              // 0: normal, 1: high speed
    BYTE Gamma;              // gamma x 100
    BYTE Contrast;           // 0 to 100
    DWORD EnableSaturation;  // 1: colour-enhancement path
    BYTE Saturation;         // colour-enhancement strength
    DWORD WhiteBlack;        // 1: grey output
    DWORD VFlip;             // vertical flip
    DWORD HFlip;             // horizontal mirror
    DWORD HZ;                // mains frequency, 1 = 50 Hz, 0 = 60 Hz; only stored and reported

    // The values every pin starts from, before the stored ones are loaded.
    void SetDefaults();
};

inline void CCameraSettings::SetDefaults() {
    eNVC480Size = NVC480_SIZE_1024x768;
    bAutoWB = 0;
    r = 74;
    g = 64;
    b = 96;
    AutoExposure = 1;
    AETarget = 100;
    ExposureTime = 300;
    AnalogGain = 224;
    Speed = 0;
    Gamma = 100;
    Contrast = 30;
    EnableSaturation = 1;
    Saturation = 100;
    WhiteBlack = 0;
    VFlip = 0;
    HFlip = 0;
    HZ = 1;
}
