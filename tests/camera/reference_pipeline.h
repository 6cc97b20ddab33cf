// The image pipeline written the plainest way, one step after another with
// the formulas exactly as they read, to prove the fast pipeline gives the same
// bytes. Nothing here is shared with the code it checks.
#pragma once

#include <cstdint>
#include <vector>

namespace reference {

struct Settings {
    int Speed = 0;
    int r = 74, g = 64, b = 96;
    int WhiteBlack = 0, EnableSaturation = 1, Saturation = 100;
    int VFlip = 0, HFlip = 0;
    bool smooth = true;  // false: no scratch memory, the frame goes unsmoothed
};

using Bytes = std::vector<uint8_t>;
using GainTables = uint8_t[3][256];  // blue, green, red

// Extraction of the w x h picture from a raw frame, then the demosaic.
Bytes Demosaic(Bytes raw, int w, int h, int Speed);

void BuildGainTables(GainTables &tables, int r, int g, int b);

// Everything after the demosaic, in the output pin's order.
void Finish(Bytes &picture, int w, int h, const Settings &settings, const GainTables &gains,
            const uint8_t (&tone)[256]);

}  // namespace reference
