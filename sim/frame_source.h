// Where the sensor's pixels come from. When the sensor starts a frame the
// camera tells its frame source (the exposure is taken then, with the
// registers as they stand); it then asks for the frame's bytes in order, a
// piece at every bus frame, as the readout advances. Producing bytes on
// demand keeps every start of frame equally cheap.
//
// A frame source is called on the host controller's thread with the camera's
// lock held: it must not block and must not call the camera.
#pragma once

#include "sim/camera_memory.h"
#include "sim/register_file.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace tm350::sim {

// The raw frame: 1176 x 772 eight-bit Bayer samples, no header.
constexpr size_t kFrameWidth = 1176;
constexpr size_t kFrameLines = 772;
constexpr size_t kFrameBytes = kFrameWidth * kFrameLines;  // 907 872

// The picture inside it: 1024 x 768 samples from line 2, byte 152 on. The
// rest of the frame is the sensor's dark border.
constexpr size_t kPictureWidth = 1024;
constexpr size_t kPictureHeight = 768;
constexpr size_t kPictureFirstLine = 2;
constexpr size_t kPictureFirstByte = 152;

struct FrameContext {
    uint64_t sequence = 0;  // frames the sensor has started since the camera was made, from 0
    ReadoutSpeed speed = ReadoutSpeed::Normal;
    const RegisterFile *registers = nullptr;  // valid during BeginFrame only
    const CameraMemory *memory = nullptr;     // valid during BeginFrame only
};

class FrameSource {
public:
    virtual ~FrameSource() = default;
    // A new frame starts; whatever was left of the previous one is dropped.
    virtual void BeginFrame(const FrameContext &context) = 0;
    // Fills `bytes` with the frame's bytes from `position` on. Calls cover
    // the frame in order without gaps, up to kFrameBytes at most.
    virtual void ReadOut(size_t position, std::span<uint8_t> bytes) = 0;
};

// A pattern that identifies every byte: the frame is a run of big-endian
// 16-bit words, word w of frame n holding (256 n + w) mod 65536. Frame 0
// begins 00 00 00 01 00 02, frame 3 begins 03 00 03 01. The words repeat
// only every 128 KiB, so a gap of up to that many bytes shows in the data.
class PatternFrameSource final : public FrameSource {
public:
    static uint8_t ByteAt(uint64_t sequence, size_t position);
    void BeginFrame(const FrameContext &context) override { sequence_ = context.sequence; }
    void ReadOut(size_t position, std::span<uint8_t> bytes) override;

private:
    uint64_t sequence_ = 0;
};

}  // namespace tm350::sim
