// Where the sensor's pixels come from. The camera asks its frame source for
// a whole raw frame when the sensor starts reading one out; the bytes then
// travel through the camera's FIFO to the host.
//
// A frame source is called on the host controller's thread with the camera's
// lock held: it must not block and must not call the camera.
#pragma once

#include "sim/register_file.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace tm350::sim {

// The raw frame: 1176 x 772 eight-bit Bayer samples, no header.
constexpr size_t kFrameWidth = 1176;
constexpr size_t kFrameLines = 772;
constexpr size_t kFrameBytes = kFrameWidth * kFrameLines;  // 907 872

struct FrameContext {
    uint64_t sequence = 0;  // frames the sensor has started since the camera was made, from 0
    ReadoutSpeed speed = ReadoutSpeed::Normal;
    const RegisterFile *registers = nullptr;  // as they stand when the readout starts
};

class FrameSource {
public:
    virtual ~FrameSource() = default;
    // Fills `frame` (kFrameBytes bytes) with the frame the context describes.
    virtual void Render(const FrameContext &context, std::span<uint8_t> frame) = 0;
};

// A pattern that identifies every byte: the frame is a run of big-endian
// 16-bit words, word w of frame n holding (256 n + w) mod 65536. Frame 0
// begins 00 00 00 01 00 02, frame 3 begins 03 00 03 01. The words repeat
// only every 128 KiB, so a gap of up to that many bytes shows in the data.
class PatternFrameSource final : public FrameSource {
public:
    static uint8_t ByteAt(uint64_t sequence, size_t position);
    void Render(const FrameContext &context, std::span<uint8_t> frame) override;
};

}  // namespace tm350::sim
