#include "camera/demosaic.h"

#include <cstring>

#include "camera/raw_frame.h"

namespace {

void SetPixel(BYTE* pixel, int blue, int green, int red) {
    pixel[0] = static_cast<BYTE>(blue);
    pixel[1] = static_cast<BYTE>(green);
    pixel[2] = static_cast<BYTE>(red);
}

}  // namespace

void Demosaic(BYTE* raw, BYTE* picture, int w, int h, BYTE Speed) {
    if (w <= 0 || h <= 0)
        return;
    ExtractPicture(raw, w, h);
    const int phase = Speed != 0 ? 1 : 0;
    const size_t stride = static_cast<size_t>(w) * 3;

    for (int j = 0; j < w; ++j) {
        SetPixel(picture + j * 3, 0, 0, 0);
        SetPixel(picture + (h - 1) * stride + j * 3, 0, 0, 0);
    }
    for (int i = 0; i < h; ++i) {
        SetPixel(picture + i * stride, 0, 0, 0);
        SetPixel(picture + i * stride + (w - 1) * 3, 0, 0, 0);
    }

    for (int i = 1; i < h - 1; ++i) {
        const BYTE* above = raw + static_cast<size_t>(i - 1) * w;
        const BYTE* row = raw + static_cast<size_t>(i) * w;
        const BYTE* below = raw + static_cast<size_t>(i + 1) * w;
        BYTE* out = picture + i * stride;
        const bool blueRow = (i % 2) == 0;
        for (int j = 1; j < w - 1; ++j) {
            const int x = row[j];
            const int l = row[j - 1];
            const int r = row[j + 1];
            const int u = above[j];
            const int d = below[j];
            const int ur = above[j + 1];
            const int cross = l + r + u + d;
            const int diag = above[j - 1] + above[j + 1] + below[j - 1] + below[j + 1];
            const bool phaseColumn = (j % 2) == phase;
            BYTE* pixel = out + j * 3;
            if (blueRow && phaseColumn)
                SetPixel(pixel, x, cross >> 2, diag >> 2);
            else if (blueRow)
                SetPixel(pixel, (l + r) >> 1, (x + ur) >> 1, (u + d) >> 1);
            else if (phaseColumn)
                SetPixel(pixel, (u + d) >> 1, (x + ur) >> 1, (l + r) >> 1);
            else
                SetPixel(pixel, diag >> 2, cross >> 2, x);
        }
    }
}

void Smooth(BYTE* picture, int w, int h, BYTE* scratch) {
    if (scratch == nullptr || w <= 0 || h <= 0)
        return;
    const size_t stride = static_cast<size_t>(w) * 3;
    std::memcpy(scratch, picture, stride * h);
    for (int i = 1; i < h - 1; ++i) {
        const BYTE* above = scratch + (i - 1) * stride;
        const BYTE* row = scratch + i * stride;
        const BYTE* below = scratch + (i + 1) * stride;
        BYTE* out = picture + i * stride;
        for (size_t k = 3; k < stride - 3; ++k)
            out[k] = static_cast<BYTE>((row[k - 3] + 4 * row[k] + row[k + 3] + above[k] + below[k]) >> 3);
    }
}
