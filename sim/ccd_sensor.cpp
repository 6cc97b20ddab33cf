#include "sim/ccd_sensor.h"

#include <algorithm>
#include <array>
#include <bit>

namespace tm350::sim {
namespace {

enum SampleColour : uint8_t { kRed, kGreen, kBlue };

// The mosaic: on even rows the columns whose parity is the phase hold blue,
// the others green; on odd rows they hold green, the others red. The high
// speed readout starts one column later, which is phase 1.
SampleColour ColourAt(unsigned row_parity, unsigned column_parity, unsigned phase) {
    if (row_parity == 0) return column_parity == phase ? kBlue : kGreen;
    return column_parity == phase ? kGreen : kRed;
}

uint64_t Mix(uint64_t value) {
    // splitmix64's finaliser: every input bit reaches every output bit.
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

uint8_t Clip(int level) { return static_cast<uint8_t>(std::clamp(level, 0, 255)); }

// A random byte's count of set bits, less 4: binomial noise from -4 to +4.
constexpr std::array<int8_t, 256> kNoiseOfByte = [] {
    std::array<int8_t, 256> noise{};
    for (unsigned byte = 0; byte < 256; ++byte) noise[byte] = static_cast<int8_t>(std::popcount(byte) - 4);
    return noise;
}();

}  // namespace

std::unique_ptr<FrameSource> MakeFrameSource(const SensorOptions &options) {
    if (options.scene == Scene::Pattern) return std::make_unique<PatternFrameSource>();
    return std::make_unique<CcdSensor>(options.noise, options.seed);
}

uint32_t ExposureRows(uint32_t exposure_register) {
    const uint32_t lines = (exposure_register >> 12) & 0xFFF;
    return lines >= kExposureRowsCeiling ? 0 : kExposureRowsCeiling - lines;
}

uint32_t FrameNumberOf(std::span<const uint8_t> frame) {
    uint32_t number = 0;
    for (size_t k = 0; k < kFrameNumberBytes && k < frame.size(); ++k) number = number << 8 | frame[k];
    return number;
}

size_t HotPixelOffsets(const CameraMemory &memory, std::span<size_t, kDefectSlotsPerSize> offsets) {
    // The full-size picture's table, size index 0: the only size whose
    // picture width (1024) the stored positions are written for.
    if (memory.ReadWord(kDefectMarkerAddress) != kDefectMarker || memory.ReadWord(kDefectTagAddress) != 0) return 0;
    const size_t count = std::min<size_t>(memory.ReadWord(kDefectCountAddress), kDefectSlotsPerSize);
    size_t found = 0;
    for (size_t i = 0; i < count; ++i) {
        const auto entry = static_cast<uint16_t>(kDefectEntriesAddress + 4 * i);
        const uint16_t x = memory.ReadWord(entry);
        const auto y = static_cast<int16_t>(memory.ReadWord(static_cast<uint16_t>(entry + 2)));
        const long long offset = static_cast<long long>(y) * static_cast<long long>(kPictureWidth) +
                                 static_cast<int16_t>(x);
        if (x <= 2 || offset < 2 || offset >= static_cast<long long>(kFrameBytes)) continue;
        offsets[found++] = static_cast<size_t>(offset);
    }
    return found;
}

std::vector<size_t> HotPixelOffsets(const CameraMemory &memory) {
    std::array<size_t, kDefectSlotsPerSize> offsets;
    const size_t count = HotPixelOffsets(memory, offsets);
    return {offsets.begin(), offsets.begin() + count};
}

CcdSensor::CcdSensor(Noise noise, uint32_t seed) : scene_(ChartScene::Get()), noise_(noise), seed_(seed) {}

void CcdSensor::BeginFrame(const FrameContext &context) {
    sequence_ = context.sequence;
    noise_key_ = Mix(Mix(seed_) ^ sequence_);
    ball_x_ = ChartScene::BallCentreX(sequence_);

    uint64_t exposure = 0;
    if (context.registers != nullptr)
        exposure = uint64_t{ExposureRows(context.registers->Read(0, kExposureRegister))} *
                   context.registers->Read(0, kGainRegister);
    const unsigned phase = context.speed == ReadoutSpeed::High ? 1 : 0;
    for (unsigned row_parity = 0; row_parity < 2; ++row_parity) {
        for (unsigned column_parity = 0; column_parity < 2; ++column_parity) {
            const SampleColour colour = ColourAt(row_parity, column_parity, phase);
            const uint16_t light = colour == kRed     ? ChartScene::kLight.red
                                   : colour == kGreen ? ChartScene::kLight.green
                                                      : ChartScene::kLight.blue;
            for (unsigned material = 0; material < ChartScene::kMaterials; ++material) {
                const Reflectance reflectance = ChartScene::ReflectanceOf(material);
                const uint8_t share = colour == kRed     ? reflectance.red
                                      : colour == kGreen ? reflectance.green
                                                         : reflectance.blue;
                // Below 2^51: the share takes 8 bits, the light 9, the exposure 34.
                const uint64_t level = uint64_t{share} * light * exposure / (256 * kUnitExposure);
                levels_[row_parity][column_parity][material] = static_cast<uint8_t>(std::min<uint64_t>(level, 255));
            }
        }
    }
    hot_pixel_count_ = context.memory != nullptr ? HotPixelOffsets(*context.memory, hot_pixels_) : 0;
}

void CcdSensor::ReadOut(size_t position, std::span<uint8_t> bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const size_t at = position + done;
        const size_t column = at % kFrameWidth;
        const size_t length = std::min(bytes.size() - done, kFrameWidth - column);
        FillLine(at / kFrameWidth, column, bytes.subspan(done, length));
        done += length;
    }
    if (noise_ == Noise::On) AddNoise(position, bytes);

    const size_t end = position + bytes.size();
    for (size_t k = 0; k < hot_pixel_count_; ++k)
        if (hot_pixels_[k] >= position && hot_pixels_[k] < end) bytes[hot_pixels_[k] - position] = kHotPixelLevel;
    for (size_t k = position; k < std::min(end, kFrameNumberBytes); ++k)
        bytes[k - position] = static_cast<uint8_t>(sequence_ >> (8 * (kFrameNumberBytes - 1 - k)));
}

// Bytes [column, column + bytes.size()) of one raw line.
void CcdSensor::FillLine(size_t line, size_t column, std::span<uint8_t> bytes) const {
    if (line < kPictureFirstLine || line >= kPictureFirstLine + kPictureHeight) {
        std::fill(bytes.begin(), bytes.end(), 0);
        return;
    }
    size_t k = 0;
    if (column < kPictureFirstByte) {
        k = std::min(bytes.size(), kPictureFirstByte - column);
        std::fill_n(bytes.begin(), k, 0);
    }
    if (k == bytes.size()) return;

    const int row = static_cast<int>(line - kPictureFirstLine);
    const int first = static_cast<int>(column + k - kPictureFirstByte);
    const int last = static_cast<int>(column + bytes.size() - kPictureFirstByte);  // one past
    uint8_t *out = bytes.data() + k - first;  // out[x] is picture column x
    const auto &levels = levels_[row & 1];
    const uint8_t *materials = scene_.Row(row);
    for (int x = first; x < last; ++x) out[x] = levels[x & 1][materials[x]];

    const int reach = scene_.BallHalfWidth(row);
    if (reach < 0) return;
    // The ball wraps round the sides: it may show at its centre and once
    // more a picture width to the left or right of it.
    for (const int centre : {ball_x_ - ChartScene::kWidth, ball_x_, ball_x_ + ChartScene::kWidth}) {
        const int from = std::max(first, centre - reach);
        const int to = std::min(last, centre + reach + 1);
        for (int x = from; x < to; ++x) out[x] = levels[x & 1][ChartScene::kBall];
    }
}

// Each run of 8 bytes that starts at a multiple of 8 takes one 64-bit draw
// keyed by the frame and the run's position, a byte of it per sample: how
// the frame is split into read-out pieces changes nothing.
void CcdSensor::AddNoise(size_t position, std::span<uint8_t> bytes) const {
    for (size_t k = 0; k < bytes.size();) {
        const size_t at = position + k;
        uint64_t bits = Mix(noise_key_ ^ (at / 8)) >> (8 * (at % 8));
        const size_t run = std::min(8 - at % 8, bytes.size() - k);
        for (const size_t end = k + run; k < end; ++k, bits >>= 8)
            bytes[k] = Clip(bytes[k] + kNoiseOfByte[bits & 0xFF]);
    }
}

}  // namespace tm350::sim
