#include "camera/picture_flips.h"

#include <algorithm>

void FlipRows(BYTE* picture, int w, int h, DWORD VFlip) {
    if (VFlip != 0 || w <= 0 || h <= 0)
        return;
    // Exchanging in place needs no scratch row, so the flip cannot fail for
    // want of memory.
    const size_t stride = static_cast<size_t>(w) * 3;
    for (int k = 0; k < h / 2; ++k) {
        BYTE* top = picture + k * stride;
        BYTE* bottom = picture + (h - 1 - k) * stride;
        std::swap_ranges(top, top + stride, bottom);
    }
}

void MirrorRows(BYTE* picture, int w, int h, DWORD HFlip) {
    if (HFlip == 0 || w <= 0 || h <= 0)
        return;
    const size_t stride = static_cast<size_t>(w) * 3;
    for (int i = 0; i < h; ++i) {
        BYTE* row = picture + i * stride;
        for (int j = 0; j < w / 2; ++j)
            std::swap_ranges(row + j * 3, row + j * 3 + 3, row + (w - 1 - j) * 3);
    }
}
