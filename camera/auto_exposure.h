// The two closed loops that run on each freshly demosaiced picture: automatic
// exposure, which steers exposure time and analog gain towards a target
// brightness, and one-push white balance, which sets the gains from one
// picture. Both run on the streaming thread without the pin lock.
#pragma once

#include <windows.h>

#include "filter/camera_settings.h"

// Where automatic exposure sends its corrections: the device channel. Results
// are ignored, since a failed write is repeated by the next step anyway.
class CExposureWriter {
public:
    virtual BOOL SetAnalogGain(WORD gain) = 0;
    virtual BOOL SetExposure(WORD rows) = 0;

protected:
    ~CExposureWriter() = default;
};

// The loop's memory between frames; not saved, and not reset when streaming
// stops and starts again.
struct CAutoExposureState {
    BYTE measuredBrightness = 100;  // brightness taken for the current frame
    BYTE expectedBrightness = 80;   // expected on the next frame after the last correction
};

// BT.601 luma (16 to 234) of the centre quarter of a w x h BGR picture.
BYTE MeasureBrightness(const BYTE *picture, int w, int h);
// The same from the centre quarter's blue, green and red totals, for a
// caller that summed them on the way.
BYTE BrightnessOfSums(DWORD sumBlue, DWORD sumGreen, DWORD sumRed, int w, int h);

// One control step: reads AutoExposure and AETarget, corrects ExposureTime and
// AnalogGain in the settings and writes gain, then exposure, to the camera.
// Does nothing while AutoExposure is 0.
void AutoExpose(const BYTE *picture, int w, int h, CCameraSettings &settings, CAutoExposureState &state,
                CExposureWriter &camera);
// The same step for a brightness already measured (DevelopPicture's).
void AutoExposeBrightness(BYTE brightness, CCameraSettings &settings, CAutoExposureState &state,
                          CExposureWriter &camera);

// Grey-world gains from the whole picture into r, g, b (64 = x 1.0). A picture
// without red, green or blue light leaves the gains as they were. The caller
// clears bAutoWB and rebuilds the gain tables.
void OnePushWhiteBalance(const BYTE *picture, int w, int h, CCameraSettings &settings);
