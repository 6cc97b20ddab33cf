// The trackbar ("msctls_trackbar32").
#pragma once

#include <windows.h>

namespace tm350::comctl32 {

void RegisterTrackbarClass();

// Where the parts of a trackbar lie in its client area. The channel is
// inset by 8 pixels at each end; the thumb is 11 pixels along the channel
// and up to 21 across it; the thumb's leading edge moves over the channel's
// length less the thumb's, in proportion to the position within the range.
struct TrackbarGeometry {
    RECT channel;
    RECT thumb;
};

TrackbarGeometry ComputeTrackbarGeometry(RECT client, LONG style, int range_min, int range_max, int position);

// The position the thumb stands for when its centre is at `along` pixels
// along the channel's axis; clamped to the range.
int PositionAtPoint(RECT client, LONG style, int range_min, int range_max, int along);

}  // namespace tm350::comctl32
