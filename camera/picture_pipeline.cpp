#include "camera/picture_pipeline.h"

#include <cstring>

#include "camera/auto_exposure.h"
#include "camera/demosaic.h"
#include "camera/picture_flips.h"
#include "camera/raw_frame.h"

#include <new>
#include <memory>

namespace tm350::pipeline {

namespace {

// The factor k if every entry is min(255, (v * k) >> 6), else -1. Entry 64 is
// k itself for every k up to 255.
int LinearGainFactor(const uint8_t (&table)[256]) {
    const int factor = table[64];
    for (int v = 0; v < 256; ++v) {
        const int expected = (v * factor) >> 6;
        if (table[v] != (expected < 255 ? expected : 255)) return -1;
    }
    return factor;
}

}  // namespace

FinishPlan MakeFinishPlan(const CCameraSettings &settings, const CGainTables &gains, const CToneTable &tone) {
    FinishPlan plan;
    plan.colour = settings.WhiteBlack       ? ColourStep::Grey
                  : settings.EnableSaturation ? ColourStep::ColourMatrix
                                              : ColourStep::GainTables;
    std::memcpy(plan.gain[0], gains.blue, 256);
    std::memcpy(plan.gain[1], gains.green, 256);
    std::memcpy(plan.gain[2], gains.red, 256);
    plan.linearGains = true;
    for (int c = 0; c < 3; ++c) {
        plan.gainFactor[c] = LinearGainFactor(plan.gain[c]);
        plan.linearGains = plan.linearGains && plan.gainFactor[c] >= 0;
    }
    int matrix[4][4];
    BuildColourMatrix(matrix, settings.Saturation);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 3; ++j) plan.matrix[i][j] = matrix[i][j];
    int correction[3][3], mix[3];
    ColourMatrixFactors(settings.Saturation, correction, mix);
    plan.saturation = settings.Saturation;
    plan.factoredMatrix = true;
    for (int i = 0; i < 3; ++i) {
        plan.mix[i] = static_cast<int16_t>(mix[i]);
        plan.factoredMatrix = plan.factoredMatrix && mix[i] == plan.mix[i] && plan.matrix[3][i] == 0;
        for (int j = 0; j < 3; ++j) {
            plan.correction[i][j] = static_cast<int16_t>(correction[i][j]);
            plan.factoredMatrix = plan.factoredMatrix && correction[i][j] == plan.correction[i][j] &&
                                  plan.matrix[i][j] == mix[i] + plan.saturation * correction[i][j];
        }
    }
    std::memcpy(plan.tone, tone.level, 256);
    plan.reverseRows = settings.VFlip == 0;
    plan.mirror = settings.HFlip != 0;
    return plan;
}

void FinishPictureWith(Isa isa, const BYTE *demosaiced, BYTE *picture, int w, int h, const CCameraSettings &settings,
                       const CGainTables &gains, const CToneTable &tone) {
    if (w <= 0 || h <= 0) return;
    const CCameraSettings frame = settings;  // each setting read once
    const FinishPlan plan = MakeFinishPlan(frame, gains, tone);
    if (demosaiced != picture) {
        FinishRows(isa, demosaiced, picture, w, h, plan);
        return;
    }
    // In place the flips cannot be folded into the pass, so the steps run
    // one by one, from the same copies of the tables.
    CGainTables frameGains;
    std::memcpy(frameGains.blue, plan.gain[0], 256);
    std::memcpy(frameGains.green, plan.gain[1], 256);
    std::memcpy(frameGains.red, plan.gain[2], 256);
    CToneTable frameTone;
    std::memcpy(frameTone.level, plan.tone, 256);
    if (plan.colour == ColourStep::Grey)
        ApplyGrey(picture, w, h);
    else if (plan.colour == ColourStep::ColourMatrix)
        ApplyColourMatrix(picture, w, h, frameGains, frame.Saturation);
    else
        ApplyGainTables(picture, w, h, frameGains);
    ApplyToneTable(picture, w, h, frameTone);
    FlipRows(picture, w, h, plan.reverseRows ? 0 : 1);
    MirrorRows(picture, w, h, plan.mirror ? 1 : 0);
}

BYTE DevelopPictureWith(Isa isa, BYTE *raw, BYTE *picture, int w, int h, const CCameraSettings &settings,
                        const CGainTables &gains, const CToneTable &tone) {
    if (w <= 0 || h <= 0) return BrightnessOfSums(0, 0, 0, w, h);
    const CCameraSettings frame = settings;  // each setting read once
    const FinishPlan plan = MakeFinishPlan(frame, gains, tone);
    ExtractPicture(raw, w, h);
    uint32_t sums[3];
    if (DevelopRows(isa, raw, picture, w, h, frame.Speed != 0 ? 1 : 0, plan, sums))
        return BrightnessOfSums(sums[0], sums[1], sums[2], w, h);
    // Wider than the single pass takes: through a demosaiced picture, or,
    // without memory for it, unsmoothed in place.
    const size_t bytes = static_cast<size_t>(w) * h * 3;
    std::unique_ptr<BYTE[]> demosaiced(new (std::nothrow) BYTE[bytes]);
    BYTE *source = demosaiced ? demosaiced.get() : picture;
    // The picture area is already extracted; Demosaic would extract it again.
    DemosaicPicture(isa, raw, source, w, h, frame.Speed != 0 ? 1 : 0);
    const BYTE brightness = MeasureBrightness(source, w, h);
    FinishPictureWith(isa, source, picture, w, h, frame, gains, tone);
    return brightness;
}

}  // namespace tm350::pipeline

BYTE DevelopPicture(BYTE *raw, BYTE *picture, int w, int h, const CCameraSettings &settings, const CGainTables &gains,
                    const CToneTable &tone) {
    return tm350::pipeline::DevelopPictureWith(tm350::pipeline::BestIsa(), raw, picture, w, h, settings, gains, tone);
}

void FinishPicture(const BYTE *demosaiced, BYTE *picture, int w, int h, const CCameraSettings &settings,
                   const CGainTables &gains, const CToneTable &tone) {
    tm350::pipeline::FinishPictureWith(tm350::pipeline::BestIsa(), demosaiced, picture, w, h, settings, gains, tone);
}
