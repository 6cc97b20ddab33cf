// The output pin's per-frame work after automatic exposure, as one pass:
// Smooth, exactly one of ApplyGrey, ApplyColourMatrix or ApplyGainTables, the
// tone table, FlipRows and MirrorRows. The bytes are those of running the
// steps one after the other; only the time differs.
#pragma once

#include <windows.h>

#include "camera/colour_processing.h"
#include "camera/pipeline_kernels.h"
#include "filter/camera_settings.h"

// Reads the demosaiced picture and writes the finished one. settings gives
// WhiteBlack, EnableSaturation, Saturation, VFlip and HFlip; they, the gain
// tables and the tone table are read once at the start, so a frame never sees
// a setting change half-way. The demosaiced picture doubles as the untouched
// copy that smoothing reads and is left as it was. When no memory for it could
// be had, the caller demosaics into the picture and passes it as both: the
// frame is then finished in place without smoothing.
void FinishPicture(const BYTE *demosaiced, BYTE *picture, int w, int h, const CCameraSettings &settings,
                   const CGainTables &gains, const CToneTable &tone);

// Demosaic and FinishPicture in one pass, for a frame with no one-push white
// balance pending (whose gains must come from the whole demosaiced picture
// first): the raw frame's picture area is extracted in place and developed
// straight into the sample, three demosaiced rows at a time, so no
// frame-sized scratch picture is written and read back. Speed and the
// finishing settings are read once at the start. Returns the brightness
// MeasureBrightness gives for the demosaiced picture, for AutoExposeBrightness.
BYTE DevelopPicture(BYTE *raw, BYTE *picture, int w, int h, const CCameraSettings &settings, const CGainTables &gains,
                    const CToneTable &tone);

namespace tm350::pipeline {

BYTE DevelopPictureWith(Isa isa, BYTE *raw, BYTE *picture, int w, int h, const CCameraSettings &settings,
                        const CGainTables &gains, const CToneTable &tone);

FinishPlan MakeFinishPlan(const CCameraSettings &settings, const CGainTables &gains, const CToneTable &tone);

// Demosaic and FinishPicture with a chosen instruction set, for tests and
// benchmarks.
void DemosaicWith(Isa isa, BYTE *raw, BYTE *picture, int w, int h, BYTE Speed);
void FinishPictureWith(Isa isa, const BYTE *demosaiced, BYTE *picture, int w, int h, const CCameraSettings &settings,
                       const CGainTables &gains, const CToneTable &tone);

}  // namespace tm350::pipeline
