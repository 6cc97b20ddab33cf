// The camera's CCD: a Bayer-masked sensor looking at the chart scene.
//
// What a frame holds:
// - the picture area (lines 2 to 769, bytes 152 to 1175) sees the scene
//   through the Bayer mosaic whose phase the readout speed selects: at
//   normal speed even rows run blue, green ... and odd rows green, red ...;
//   at high speed every row is shifted by one column;
// - each sample is reflectance x light x exposure rows x analog gain,
//   scaled so that kUnitExposure (300 rows at gain 224, what the capture
//   filter starts with) shows a white surface under full light at 255, and
//   clipped at 255. Exposure (register 0x63, rows = 792 minus bits 12 to
//   23, never below 0) and gain (register 0x01) are taken when the frame
//   starts, so a write reaches the next frame, not the one being read out;
// - hot pixels, stuck at 255, at the raw offsets y x 1024 + x of the
//   stored defect table's entries for the full-size picture, where the
//   capture filter's defect patch looks for them (entries the patch would
//   skip, with x up to 2 or outside the frame, have none);
// - dark bytes (0) everywhere outside the picture, except the first four
//   bytes of line 0, which carry the number of the frame (big-endian, its
//   low 32 bits): nothing of the system reads there, tools and tests may;
// - with noise on, every byte but those of the hot pixels and the frame
//   number is off by -4 to +4 (binomial, standard deviation 1.4), clipped
//   to 0..255. The noise is a function of the seed, the frame number and
//   the byte's position alone, so a seed reproduces a run.
#pragma once

#include "sim/chart_scene.h"
#include "sim/frame_source.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace tm350::sim {

// What a camera's frames show: the chart through the CCD, or the counting
// pattern (PatternFrameSource) that identifies every byte.
enum class Scene : uint8_t { Chart, Pattern };
enum class Noise : uint8_t { On, Off };

struct SensorOptions {
    Scene scene = Scene::Chart;
    Noise noise = Noise::On;
    uint32_t seed = 1;
};

std::unique_ptr<FrameSource> MakeFrameSource(const SensorOptions &options);

constexpr uint32_t kExposureRowsCeiling = 792;
constexpr uint64_t kUnitExposure = 300 * 224;  // rows x gain
constexpr uint8_t kHotPixelLevel = 255;
constexpr size_t kFrameNumberBytes = 4;

// Exposure rows from the value of register 0x63.
uint32_t ExposureRows(uint32_t exposure_register);
// The frame number a chart frame carries in its first bytes.
uint32_t FrameNumberOf(std::span<const uint8_t> frame);
// Raw offsets of the hot pixels for the defect table in this memory, in the
// table's order; none when the memory holds no table. Writes at most
// kDefectSlotsPerSize of them and returns how many.
size_t HotPixelOffsets(const CameraMemory &memory, std::span<size_t, kDefectSlotsPerSize> offsets);
std::vector<size_t> HotPixelOffsets(const CameraMemory &memory);

class CcdSensor final : public FrameSource {
public:
    CcdSensor(Noise noise, uint32_t seed);

    void BeginFrame(const FrameContext &context) override;
    void ReadOut(size_t position, std::span<uint8_t> bytes) override;

private:
    void FillLine(size_t line, size_t column, std::span<uint8_t> bytes) const;
    void AddNoise(size_t position, std::span<uint8_t> bytes) const;

    const ChartScene &scene_;
    const Noise noise_;
    const uint32_t seed_;

    // Set by BeginFrame for the frame being read out.
    uint64_t sequence_ = 0;
    uint64_t noise_key_ = 0;
    int ball_x_ = 0;
    // levels_[row parity][column parity][material]: each material's level
    // in the colour the mosaic has at such a site.
    std::array<std::array<std::array<uint8_t, ChartScene::kMaterials>, 2>, 2> levels_{};
    std::array<size_t, kDefectSlotsPerSize> hot_pixels_{};
    size_t hot_pixel_count_ = 0;
};

}  // namespace tm350::sim
