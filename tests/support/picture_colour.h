// Colour measurements on a delivered picture (1024 x 768, blue, green, red
// per pixel), for tests that look at the simulated chart through the image
// pipeline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/chart_scene.h"

namespace tm350::test {

struct Colour {
    double blue = 0, green = 0, red = 0;
};

// Mean colour of a picture area; the inset keeps the demosaic's mixing at
// the patch edges out.
inline Colour MeanColour(const std::vector<uint8_t> &picture, tm350::sim::Area area, int inset = 8) {
    constexpr size_t kPictureWidth = 1024;
    Colour mean;
    int count = 0;
    for (int y = area.top + inset; y < area.top + area.height - inset; ++y)
        for (int x = area.left + inset; x < area.left + area.width - inset; ++x) {
            const uint8_t *pixel = &picture[(static_cast<size_t>(y) * kPictureWidth + x) * 3];
            mean.blue += pixel[0];
            mean.green += pixel[1];
            mean.red += pixel[2];
            ++count;
        }
    mean.blue /= count;
    mean.green /= count;
    mean.red /= count;
    return mean;
}

}  // namespace tm350::test
