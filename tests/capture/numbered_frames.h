// A frame source for the simulated camera whose pictures carry their frame
// number where the whole image pipeline keeps it readable: sixteen blocks of
// 64 x 64 pixels across the top of the picture, bright for a set bit and
// dark for a clear one, on a flat mid-grey. From a delivered sample a test
// reads which sensor frame it came from, so it sees lost, reordered and
// stale frames exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "sim/frame_source.h"

namespace capture_test {

class NumberedFrames final : public tm350::sim::FrameSource {
public:
    void BeginFrame(const tm350::sim::FrameContext &context) override { sequence_ = context.sequence; }
    void ReadOut(size_t position, std::span<uint8_t> bytes) override;

    // The byte at `position` of raw frame `sequence`.
    static uint8_t ByteAt(uint64_t sequence, size_t position);

private:
    uint64_t sequence_ = 0;
};

// The low 16 bits of the frame number a delivered sample shows (1024 x 768,
// blue, green, red, bottom-up rows as the capture filter delivers them), or
// nothing when the blocks do not read as bits.
std::optional<uint16_t> FrameNumberOf(std::span<const uint8_t> sample);

}  // namespace capture_test
