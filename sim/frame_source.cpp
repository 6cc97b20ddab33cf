#include "sim/frame_source.h"

namespace tm350::sim {

uint8_t PatternFrameSource::ByteAt(uint64_t sequence, size_t position) {
    const auto word = static_cast<uint16_t>(sequence * 256 + position / 2);
    return static_cast<uint8_t>(position % 2 == 0 ? word >> 8 : word);
}

void PatternFrameSource::ReadOut(size_t position, std::span<uint8_t> bytes) {
    for (size_t k = 0; k < bytes.size(); ++k)
        bytes[k] = ByteAt(sequence_, position + k);
}

}  // namespace tm350::sim
