// The output pin's work on each raw frame, for the commands that turn raw
// frames into pictures: the defect patch, demosaic, automatic exposure, a
// pending one-push white balance and the colour steps, with the same
// functions the pin calls, so a picture here is the picture the pin delivers.
#pragma once

#include <windows.h>

#include "camera/auto_exposure.h"
#include "camera/colour_processing.h"
#include "camera/raw_frame.h"
#include "filter/camera_settings.h"

namespace tm350::tool {

struct DevelopedFrame {
    BYTE brightness;  // of the demosaiced picture, as automatic exposure measured it
    bool balanced;    // a one-push white balance set r, g and b on this frame
};

class CFrameDeveloper {
public:
    // Builds the tone and white-balance tables from the settings; they are
    // rebuilt only when a one-push white balance changes the gains, as in the pin.
    explicit CFrameDeveloper(const CCameraSettings &settings);

    // Develops one raw frame (RAW_FRAME_SIZE bytes, changed in place) into
    // `picture` (kPictureBytes). With a camera, automatic exposure steers it
    // through `camera` and keeps its memory in this object between frames;
    // without one (a frame from a file) exposure is left alone. A pending
    // one-push white balance (bAutoWB) is performed and cleared.
    DevelopedFrame Develop(BYTE *raw, BYTE *picture, CCameraSettings &settings, const CDefectList &defects,
                           CExposureWriter *camera);

private:
    CToneTable m_tone;
    CGainTables m_gains;
    CAutoExposureState m_exposure;
};

}  // namespace tm350::tool
