#include "numbered_frames.h"

namespace capture_test {

namespace {

constexpr size_t kBlock = 64;
constexpr size_t kBits = 16;
constexpr uint8_t kSetLevel = 200;
constexpr uint8_t kClearLevel = 20;
constexpr uint8_t kBackground = 100;
// Green above this in a block's middle reads as a set bit, below the lower
// bound as a clear one; in between is no bit at all.
constexpr uint8_t kSetAbove = 140;
constexpr uint8_t kClearBelow = 70;

}  // namespace

uint8_t NumberedFrames::ByteAt(uint64_t sequence, size_t position) {
    using namespace tm350::sim;
    const size_t line = position / kFrameWidth;
    const size_t column = position % kFrameWidth;
    if (line < kPictureFirstLine || line >= kPictureFirstLine + kPictureHeight || column < kPictureFirstByte) return 0;
    const size_t row = line - kPictureFirstLine;
    const size_t x = column - kPictureFirstByte;
    if (row >= kBlock) return kBackground;
    const size_t bit = x / kBlock;
    return (sequence >> bit) & 1 ? kSetLevel : kClearLevel;
}

void NumberedFrames::ReadOut(size_t position, std::span<uint8_t> bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = ByteAt(sequence_, position + i);
}

std::optional<uint16_t> FrameNumberOf(std::span<const uint8_t> sample) {
    constexpr size_t kWidth = tm350::sim::kPictureWidth, kHeight = tm350::sim::kPictureHeight;
    if (sample.size() < kWidth * kHeight * 3) return std::nullopt;
    // Bottom-up: the picture's top rows are the last ones in memory.
    const size_t row = kHeight - 1 - kBlock / 2;
    uint16_t number = 0;
    for (size_t bit = 0; bit < kBits; ++bit) {
        const uint8_t green = sample[(row * kWidth + bit * kBlock + kBlock / 2) * 3 + 1];
        if (green > kSetAbove) {
            number |= static_cast<uint16_t>(1u << bit);
        } else if (green >= kClearBelow) {
            return std::nullopt;
        }
    }
    return number;
}

}  // namespace capture_test
