// The camera's FIFO between the sensor and the USB data endpoint.
//
// The sensor pushes each frame's bytes in as it reads them out and marks
// where the frame ends; the data endpoint takes packets out. Bytes that find
// the FIFO full are lost, as on a camera whose host has no transfer pending:
// the sensor cannot wait. A frame end is kept even when bytes before it were
// lost, so the host still sees the frame end, only shorter. A frame of which
// no byte got in leaves nothing, not even its end.
//
// Packets never span two frames. A bulk packet is full (the packet size) or
// the last bytes of a frame, which may be none: a frame whose length is a
// whole number of packets ends with a zero-length packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace tm350::sim {

class FrameFifo {
public:
    explicit FrameFifo(size_t capacity) : storage_(capacity) {}

    size_t Capacity() const { return storage_.size(); }
    size_t Buffered() const { return static_cast<size_t>(write_ - read_); }

    // Appends what fits and returns how many bytes got in.
    size_t Push(std::span<const uint8_t> bytes);
    // Ends the frame pushed since the last end. `damaged` travels with the
    // end mark, so whoever takes the frame's last packet knows the frame
    // lost bytes on the way.
    void EndFrame(bool damaged);
    // Drops everything, frame ends included.
    void Clear();

    struct Packet {
        uint16_t length = 0;
        bool ends_frame = false;
        bool frame_damaged = false;  // only meaningful when ends_frame
    };

    // The next bulk packet of at most room.size() bytes: full when that many
    // bytes of the current frame are buffered, else the frame's remaining
    // bytes when its end is buffered; nothing otherwise.
    std::optional<Packet> TakeBulk(std::span<uint8_t> room);
    // The next isochronous packet: whatever of the current frame is
    // buffered, up to room.size() bytes, possibly none.
    Packet TakeIsochronous(std::span<uint8_t> room);

private:
    struct FrameEnd {
        uint64_t position = 0;  // stream offset just past the frame's last byte
        bool damaged = false;
    };

    // Bytes of the current frame ready to go, up to its end if buffered.
    size_t FrameBytesBuffered() const;
    void CopyOut(std::span<uint8_t> destination);

    std::vector<uint8_t> storage_;
    // Stream offsets since the FIFO was made; the storage index is the
    // offset modulo the capacity.
    uint64_t read_ = 0;
    uint64_t write_ = 0;
    uint64_t frame_start_ = 0;  // offset where the frame being pushed began
    std::deque<FrameEnd> ends_;
};

}  // namespace tm350::sim
