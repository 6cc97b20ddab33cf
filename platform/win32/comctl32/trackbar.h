// The trackbar ("msctls_trackbar32").
#pragma once

#include <windows.h>

namespace tm350::comctl32 {

void RegisterTrackbarClass();

// The position the thumb stands for when its centre is at `along` pixels
// along the channel's axis; clamped to the range.
int PositionAtPoint(RECT client, LONG style, int range_min, int range_max, int along);

}  // namespace tm350::comctl32
