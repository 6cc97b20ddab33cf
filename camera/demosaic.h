// From the raw Bayer mosaic to a 24-bit picture, and the smoothing that follows.
//
// A picture is w x h pixels of 3 bytes in the order blue, green, red, rows back
// to back with no gap (row k starts at byte k * w * 3), top sensor row first.
#pragma once

#include <windows.h>

// The colour of a mosaic sample follows the row parity, the column parity and
// the Bayer phase, which is the camera's speed setting: the sensor's high-speed
// timing shifts the mosaic by one column.
enum BayerPhase : BYTE {
    BAYER_PHASE_NORMAL_SPEED = 0,  // even row: blue, green ...; odd row: green, red ...
    BAYER_PHASE_HIGH_SPEED = 1,    // even row: green, blue ...; odd row: red, green ...
};

// Extracts the picture area of the raw frame in place (ExtractPicture), then
// writes the w x h picture. The one-pixel border is black because its pixels
// lack the neighbours the interpolation needs. Speed is the setting's value,
// read once by the caller: 0 is normal speed, any other value high speed.
// raw holds a whole raw frame; picture holds w * h * 3 bytes and does not
// overlap raw.
void Demosaic(BYTE* raw, BYTE* picture, int w, int h, BYTE Speed);

// Softens the interior of the picture with a cross-shaped kernel weighted
// towards the centre, each byte separately; the border is left as it is.
// scratch must hold w * h * 3 bytes and receives an untouched copy of the
// picture. Without scratch the picture is left unsmoothed, so a frame is still
// delivered when no scratch memory could be had.
void Smooth(BYTE* picture, int w, int h, BYTE* scratch);
