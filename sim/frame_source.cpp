#include "sim/frame_source.h"

namespace tm350::sim {

uint8_t PatternFrameSource::ByteAt(uint64_t sequence, size_t position) {
    const auto word = static_cast<uint16_t>(sequence * 256 + position / 2);
    return static_cast<uint8_t>(position % 2 == 0 ? word >> 8 : word);
}

void PatternFrameSource::Render(const FrameContext &context, std::span<uint8_t> frame) {
    const auto first = static_cast<uint16_t>(context.sequence * 256);
    for (size_t position = 0; position + 1 < frame.size(); position += 2) {
        const auto word = static_cast<uint16_t>(first + position / 2);
        frame[position] = static_cast<uint8_t>(word >> 8);
        frame[position + 1] = static_cast<uint8_t>(word);
    }
    if (frame.size() % 2 != 0) frame.back() = ByteAt(context.sequence, frame.size() - 1);
}

}  // namespace tm350::sim
