#include "sim/frame_fifo.h"

#include <algorithm>
#include <cstring>

namespace tm350::sim {

size_t FrameFifo::Push(std::span<const uint8_t> bytes) {
    const size_t accepted = std::min(bytes.size(), Capacity() - Buffered());
    size_t done = 0;
    while (done < accepted) {
        const size_t index = static_cast<size_t>(write_ % Capacity());
        const size_t piece = std::min(accepted - done, Capacity() - index);
        std::memcpy(storage_.data() + index, bytes.data() + done, piece);
        done += piece;
        write_ += piece;
    }
    return accepted;
}

void FrameFifo::EndFrame(bool damaged) {
    if (write_ != frame_start_) ends_.push_back({write_, damaged});
    frame_start_ = write_;
}

void FrameFifo::Clear() {
    read_ = write_;
    frame_start_ = write_;
    ends_.clear();
}

size_t FrameFifo::FrameBytesBuffered() const {
    const uint64_t limit = ends_.empty() ? write_ : ends_.front().position;
    return static_cast<size_t>(limit - read_);
}

void FrameFifo::CopyOut(std::span<uint8_t> destination) {
    size_t done = 0;
    while (done < destination.size()) {
        const size_t index = static_cast<size_t>(read_ % Capacity());
        const size_t piece = std::min(destination.size() - done, Capacity() - index);
        std::memcpy(destination.data() + done, storage_.data() + index, piece);
        done += piece;
        read_ += piece;
    }
}

std::optional<FrameFifo::Packet> FrameFifo::TakeBulk(std::span<uint8_t> room) {
    const size_t available = FrameBytesBuffered();
    if (available >= room.size()) {
        CopyOut(room);
        return Packet{.length = static_cast<uint16_t>(room.size())};
    }
    if (ends_.empty()) return std::nullopt;
    CopyOut(room.first(available));
    const bool damaged = ends_.front().damaged;
    ends_.pop_front();
    return Packet{.length = static_cast<uint16_t>(available), .ends_frame = true, .frame_damaged = damaged};
}

FrameFifo::Packet FrameFifo::TakeIsochronous(std::span<uint8_t> room) {
    const size_t available = FrameBytesBuffered();
    const size_t length = std::min(available, room.size());
    CopyOut(room.first(length));
    Packet packet{.length = static_cast<uint16_t>(length)};
    if (!ends_.empty() && length == available) {
        packet.ends_frame = true;
        packet.frame_damaged = ends_.front().damaged;
        ends_.pop_front();
    }
    return packet;
}

}  // namespace tm350::sim
