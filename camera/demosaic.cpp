#include "camera/demosaic.h"

#include <cstring>

#include "camera/picture_pipeline.h"
#include "camera/raw_frame.h"

void tm350::pipeline::DemosaicWith(Isa isa, BYTE* raw, BYTE* picture, int w, int h, BYTE Speed) {
    if (w <= 0 || h <= 0)
        return;
    ExtractPicture(raw, w, h);
    DemosaicPicture(isa, raw, picture, w, h, Speed != 0 ? 1 : 0);
}

void Demosaic(BYTE* raw, BYTE* picture, int w, int h, BYTE Speed) {
    tm350::pipeline::DemosaicWith(tm350::pipeline::BestIsa(), raw, picture, w, h, Speed);
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
