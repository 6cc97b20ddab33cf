// The vectorised inner loops of the image pipeline. One source,
// pipeline_kernels.inc, is compiled once per instruction set; the public
// operations pick the best one the processor has. Every variant gives the same
// bytes as the plain per-pixel formulas.
#pragma once

#include <cstdint>

namespace tm350::pipeline {

enum class ColourStep : uint8_t { Grey, ColourMatrix, GainTables };

// Everything a frame's finishing pass needs, gathered once at the start of the
// frame, so that a setting changed meanwhile takes effect on the next frame
// and never half-way through this one.
struct FinishPlan {
    ColourStep colour;
    // The gain tables as copied for this frame (index 0 blue, 1 green, 2 red).
    uint8_t gain[3][256];
    // Whether each table is min(255, (v * k) >> 6) for gainFactor[c] = k, which
    // the vector code computes instead of looking up. Only a table caught
    // half-rebuilt breaks the rule, and then the plain code runs.
    bool linearGains;
    int gainFactor[3];
    // Colour correction times saturation, in units of 1/16384: matrix[i][j]
    // is what input channel i (0 red, 1 green, 2 blue, 3 constant) adds to
    // output channel j (0 red, 1 green, 2 blue).
    int32_t matrix[4][3];
    // The same matrix as matrix[i][j] = mix[i] + saturation * correction[i][j]
    // with a zero constant row, which the vector code multiplies out with
    // 16-bit factors; false when the matrix does not have that form.
    bool factoredMatrix;
    int16_t correction[3][3];
    int16_t mix[3];
    int32_t saturation;
    uint8_t tone[256];
    bool reverseRows;  // VFlip 0: the bottom-up sample shows the picture upright
    bool mirror;       // HFlip set
};

enum class Isa : uint8_t { Portable, Avx2, Avx512Vbmi };

// The instruction sets this processor can run, best last.
bool IsaAvailable(Isa isa);
Isa BestIsa();

// The demosaiced picture, its black border included, from the extracted
// mosaic (rows of w samples).
void DemosaicPicture(Isa isa, const uint8_t *mosaic, uint8_t *picture, int w, int h, int phase);

// Smooth, the colour step, the tone table and both flips in one pass from the
// demosaiced picture in source to the finished picture in target. The two
// must not overlap.
void FinishRows(Isa isa, const uint8_t *source, uint8_t *target, int w, int h, const FinishPlan &plan);

// The widest picture the single pass takes: it keeps three demosaiced rows
// on the stack.
constexpr int kMaxDevelopWidth = 2048;

// Demosaic and finishing in one pass, three demosaiced rows at a time, so
// the demosaiced picture never exists as a whole. sums receives the blue,
// green and red totals over the picture's centre quarter (rows h/4 to
// 3h/4 - 1, columns w/4 to 3w/4 - 1) for the brightness measurement. False,
// with nothing done, for a picture wider than kMaxDevelopWidth.
bool DevelopRows(Isa isa, const uint8_t *mosaic, uint8_t *target, int w, int h, int phase, const FinishPlan &plan,
                 uint32_t sums[3]);

#define TM350_PIPELINE_KERNELS                                                                              \
    void DemosaicPicture(const uint8_t *mosaic, uint8_t *picture, int w, int h, int phase);                \
    void FinishRows(const uint8_t *source, uint8_t *target, int w, int h, const FinishPlan &plan);          \
    bool DevelopRows(const uint8_t *mosaic, uint8_t *target, int w, int h, int phase, const FinishPlan &plan, \
                     uint32_t sums[3]);
namespace portable {
TM350_PIPELINE_KERNELS
}  // namespace portable
namespace avx2 {
TM350_PIPELINE_KERNELS
}  // namespace avx2
namespace avx512vbmi {
TM350_PIPELINE_KERNELS
}  // namespace avx512vbmi
#undef TM350_PIPELINE_KERNELS

}  // namespace tm350::pipeline
