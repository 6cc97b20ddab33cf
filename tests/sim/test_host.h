// A minimal USB host for driving a simulated device from tests: control
// transfers by their fields, enumeration, and bus frames in which a bulk or
// isochronous reader drains an IN endpoint the way a host controller with a
// transfer always pending would.
#pragma once

#include "sim/camera.h"
#include "sim/frame_source.h"
#include "usb/usb_device.h"

#include <cstdint>
#include <span>
#include <vector>

namespace tm350::test {

struct Reply {
    usb::ControlStatus status = usb::ControlStatus::Stall;
    std::vector<uint8_t> data;
};

// A camera that sends the counting pattern, for tests that check every byte.
inline sim::CameraOptions PatternCamera() {
    return {.sensor = sim::SensorOptions{.scene = sim::Scene::Pattern}};
}

// Bytes [from, to) of pattern frame `sequence`, as the camera sends them.
inline std::vector<uint8_t> PatternFrame(uint64_t sequence, size_t from = 0, size_t to = sim::kFrameBytes) {
    std::vector<uint8_t> bytes;
    bytes.reserve(to - from);
    for (size_t position = from; position < to; ++position)
        bytes.push_back(sim::PatternFrameSource::ByteAt(sequence, position));
    return bytes;
}

class TestHost {
public:
    explicit TestHost(usb::UsbDevice &device) : device_(device) {}

    // Device-to-host request: returns the status and the bytes replied.
    Reply In(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex, uint16_t wLength) {
        std::vector<uint8_t> room(wLength, 0xEE);
        const auto result = device_.ControlTransfer({bmRequestType, bRequest, wValue, wIndex, wLength}, room);
        room.resize(result.length);
        return {result.status, room};
    }

    // Host-to-device request carrying `data` as its data stage.
    usb::ControlStatus Out(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                           std::vector<uint8_t> data = {}) {
        const auto length = static_cast<uint16_t>(data.size());
        return device_.ControlTransfer({bmRequestType, bRequest, wValue, wIndex, length}, data).status;
    }

    Reply GetDescriptor(uint8_t type, uint8_t index, uint16_t language, uint16_t wLength) {
        return In(0x80, 0x06, static_cast<uint16_t>(type << 8 | index), language, wLength);
    }

    // Reset, address 5, configuration 1: what a USB stack does before a
    // driver sees the device.
    void Enumerate() {
        device_.Reset();
        Out(0x00, 0x05, 5, 0);
        Out(0x00, 0x09, 1, 0);
    }

    // Camera register write as the device channel sends it.
    usb::ControlStatus WriteRegister(uint8_t address, uint32_t value) {
        return Out(0x40, 0x18, static_cast<uint16_t>(value >> 8),
                   static_cast<uint16_t>(address << 8 | (value & 0xFF)));
    }
    usb::ControlStatus SetControlWord(uint16_t value) { return Out(0x40, 0x01, value, 0x000F); }
    void SetHighSpeed() {
        WriteRegister(0x30, 0);
        WriteRegister(0x36, 0x26B);
        WriteRegister(0x15, 1);
    }

    usb::UsbDevice &device() { return device_; }

private:
    usb::UsbDevice &device_;
};

// Collects the transfers a bulk IN endpoint delivers: every packet is
// appended to the transfer in progress, and a short packet (zero-length
// included) ends it, as does reaching `transfer_length` when one is set
// (a read of that many bytes).
class BulkReader {
public:
    BulkReader(usb::UsbDevice &device, uint8_t endpoint, uint16_t max_packet = 512)
        : device_(device), endpoint_(endpoint), max_packet_(max_packet) {}

    // Polls until the endpoint NAKs (or stalls); returns the handshakes
    // other than Ack seen last.
    usb::Handshake Drain() {
        std::vector<uint8_t> room(max_packet_);
        for (;;) {
            const auto result = device_.InPacket(endpoint_, room);
            if (result.handshake != usb::Handshake::Ack) return result.handshake;
            ++packets;
            current.insert(current.end(), room.begin(), room.begin() + result.length);
            if (result.length == max_packet_ && current.size() == transfer_length) {
                full_packets_in_transfers.push_back(full_packets_in_current_ + 1);
                full_packets_in_current_ = 0;
                transfers.push_back(std::move(current));
                current.clear();
            } else if (result.length < max_packet_) {
                if (result.length == 0) ++zero_length_packets;
                else short_packet_lengths.push_back(result.length);
                full_packets_in_transfers.push_back(full_packets_in_current_);
                full_packets_in_current_ = 0;
                transfers.push_back(std::move(current));
                current.clear();
            } else {
                ++full_packets_in_current_;
            }
        }
    }

    // One bus frame: start of frame, then the host drains the endpoint.
    usb::Handshake Frame() {
        device_.StartOfFrame(frame_number_++);
        return Drain();
    }

    // Runs frames until `count` transfers have ended or `limit` frames have
    // passed; returns the frames run.
    unsigned RunUntilTransfers(size_t count, unsigned limit) {
        unsigned frames = 0;
        while (transfers.size() < count && frames < limit) {
            Frame();
            ++frames;
        }
        return frames;
    }

    size_t transfer_length = 0;  // 0: transfers end only with a short packet
    std::vector<std::vector<uint8_t>> transfers;
    std::vector<uint8_t> current;
    std::vector<unsigned> full_packets_in_transfers;
    std::vector<uint16_t> short_packet_lengths;
    unsigned zero_length_packets = 0;
    uint64_t packets = 0;

private:
    usb::UsbDevice &device_;
    uint8_t endpoint_;
    uint16_t max_packet_;
    uint32_t frame_number_ = 0;
    unsigned full_packets_in_current_ = 0;
};

}  // namespace tm350::test
