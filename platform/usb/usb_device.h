// The device side of the simulated USB bus: what a host controller calls on
// a device.
//
// A USB device only ever answers the host. Everything it does happens inside
// one of the operations below, called by the host controller on the host
// controller's own thread, one transaction at a time:
//
//   Reset           a bus (port) reset
//   StartOfFrame    the start of every 1 ms bus frame
//   ControlTransfer a whole control transfer on endpoint 0: SETUP, the data
//                   stage if any, and the status stage
//   InPacket        one IN transaction on a data endpoint
//   OutPacket       one OUT transaction on a data endpoint
//
// Start of frame is the device's only clock. A device counts frames, never
// reads a wall clock, so a host controller that runs frames faster than real
// time makes the device faster too, and one that stops calling stops time.
//
// No operation blocks: "nothing to send yet" is a NAK, never a wait. An
// operation may be called while other threads inspect the device (tests,
// the bus): implementations guard their state with their own lock.
//
// A transaction ends with one handshake:
//   Ack         the data moved (an IN packet shorter than the endpoint's
//               maximum packet size is a short packet: it ends the transfer)
//   Nak         the endpoint is fine but has no data (IN) or no room (OUT)
//               now; the host tries again later
//   Stall       the endpoint is halted, or the request is not supported; on a
//               data endpoint the halt stays until the host clears it with
//               CLEAR_FEATURE(ENDPOINT_HALT) on endpoint 0
//   NoResponse  the device did not answer at all: it has been unplugged
//
// Isochronous endpoints have no handshakes: their IN packets always Ack,
// with zero bytes when the device has nothing to send.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tm350::usb {

enum class TransferDirection : uint8_t { HostToDevice = 0, DeviceToHost = 1 };
enum class RequestType : uint8_t { Standard = 0, Class = 1, Vendor = 2, Reserved = 3 };
// Recipient codes 4 to 31 are reserved; they all read as Reserved.
enum class RequestRecipient : uint8_t { Device = 0, Interface = 1, Endpoint = 2, Other = 3, Reserved = 4 };

// The eight bytes of a SETUP packet, fields little-endian on the wire.
struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;

    constexpr TransferDirection Direction() const {
        return (bmRequestType & 0x80) != 0 ? TransferDirection::DeviceToHost : TransferDirection::HostToDevice;
    }
    constexpr RequestType Type() const { return static_cast<RequestType>((bmRequestType >> 5) & 0x03); }
    constexpr RequestRecipient Recipient() const {
        const uint8_t code = bmRequestType & 0x1F;
        return code < 4 ? static_cast<RequestRecipient>(code) : RequestRecipient::Reserved;
    }

    static constexpr SetupPacket FromBytes(std::span<const uint8_t, 8> bytes) {
        return SetupPacket{
            .bmRequestType = bytes[0],
            .bRequest = bytes[1],
            .wValue = static_cast<uint16_t>(bytes[2] | bytes[3] << 8),
            .wIndex = static_cast<uint16_t>(bytes[4] | bytes[5] << 8),
            .wLength = static_cast<uint16_t>(bytes[6] | bytes[7] << 8),
        };
    }
    constexpr std::array<uint8_t, 8> Bytes() const {
        return {bmRequestType,
                bRequest,
                static_cast<uint8_t>(wValue),
                static_cast<uint8_t>(wValue >> 8),
                static_cast<uint8_t>(wIndex),
                static_cast<uint8_t>(wIndex >> 8),
                static_cast<uint8_t>(wLength),
                static_cast<uint8_t>(wLength >> 8)};
    }

    friend constexpr bool operator==(const SetupPacket &, const SetupPacket &) = default;
};

// Standard request codes (bRequest of a standard request).
enum class StandardRequest : uint8_t {
    GetStatus = 0x00,
    ClearFeature = 0x01,
    SetFeature = 0x03,
    SetAddress = 0x05,
    GetDescriptor = 0x06,
    SetDescriptor = 0x07,
    GetConfiguration = 0x08,
    SetConfiguration = 0x09,
    GetInterface = 0x0A,
    SetInterface = 0x0B,
    SynchFrame = 0x0C,
};

// Descriptor types (high byte of wValue in GET_DESCRIPTOR).
enum class DescriptorType : uint8_t {
    Device = 0x01,
    Configuration = 0x02,
    String = 0x03,
    Interface = 0x04,
    Endpoint = 0x05,
    DeviceQualifier = 0x06,
    OtherSpeedConfiguration = 0x07,
};

// Feature selectors of SET_FEATURE and CLEAR_FEATURE.
enum class FeatureSelector : uint16_t { EndpointHalt = 0, DeviceRemoteWakeup = 1, TestMode = 2 };

// The low two bits of an endpoint's bmAttributes. The numbers are also the
// pipe types a USB stack reports.
enum class TransferType : uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

enum class BusSpeed : uint8_t { Low, Full, High };

// A data endpoint of the current configuration, as the host controller
// schedules it.
struct EndpointInfo {
    uint8_t address = 0;  // bit 7 set: IN (device to host)
    TransferType type = TransferType::Bulk;
    uint16_t max_packet_size = 0;           // bytes per transaction (bits 0-10 of wMaxPacketSize)
    uint8_t transactions_per_microframe = 1;  // 1 to 3; above 1 only for high-bandwidth endpoints
    uint8_t interval = 0;                   // bInterval as the descriptor gives it
    uint8_t interface_number = 0;
    uint8_t alternate_setting = 0;

    constexpr bool IsIn() const { return (address & 0x80) != 0; }
    friend constexpr bool operator==(const EndpointInfo &, const EndpointInfo &) = default;
};

enum class ControlStatus : uint8_t { Ack, Stall, NoResponse };

struct ControlResult {
    ControlStatus status = ControlStatus::Stall;
    // Data stage bytes moved: for device-to-host the bytes the device wrote
    // (at most wLength; fewer is a short data stage), for host-to-device all
    // of them on Ack. 0 unless Ack.
    uint16_t length = 0;

    static constexpr ControlResult Ack(uint16_t length = 0) { return {ControlStatus::Ack, length}; }
    static constexpr ControlResult Stall() { return {ControlStatus::Stall, 0}; }
    static constexpr ControlResult NoResponse() { return {ControlStatus::NoResponse, 0}; }
    friend constexpr bool operator==(const ControlResult &, const ControlResult &) = default;
};

enum class Handshake : uint8_t { Ack, Nak, Stall, NoResponse };

struct PacketResult {
    Handshake handshake = Handshake::Nak;
    uint16_t length = 0;  // bytes written into the host's room; 0 unless Ack

    static constexpr PacketResult Ack(uint16_t length) { return {Handshake::Ack, length}; }
    static constexpr PacketResult Nak() { return {Handshake::Nak, 0}; }
    static constexpr PacketResult Stall() { return {Handshake::Stall, 0}; }
    static constexpr PacketResult NoResponse() { return {Handshake::NoResponse, 0}; }
    friend constexpr bool operator==(const PacketResult &, const PacketResult &) = default;
};

// What a host controller calls on a device. All operations are called by the
// host controller (the bus's thread); inspection calls may come from any
// thread. None blocks.
class UsbDevice {
public:
    UsbDevice() = default;
    UsbDevice(const UsbDevice &) = delete;
    UsbDevice &operator=(const UsbDevice &) = delete;
    virtual ~UsbDevice() = default;

    // The speed the device runs at on its port; fixed for the device's life.
    virtual BusSpeed Speed() const = 0;

    // False once the device has been unplugged: it answers nothing
    // (NoResponse) and ignores resets and frames until it is plugged in
    // again. The bus reports the port change to the host.
    virtual bool Attached() const = 0;

    // The address SET_ADDRESS gave the device; 0 after a reset. The bus
    // routes transactions by it.
    virtual uint8_t Address() const = 0;

    // A bus reset of the device's port: back to address 0, not configured,
    // every interface at alternate setting 0, no endpoint halted. What the
    // function itself keeps across a reset is the device's business.
    virtual void Reset() = 0;

    // The start of bus frame `frame_number`, called once for every 1 ms
    // frame, frames in order, before that frame's transactions. The device
    // counts calls; it does not interpret gaps in the numbers.
    virtual void StartOfFrame(uint32_t frame_number) = 0;

    // One whole control transfer on endpoint 0. `data` is the data stage and
    // always holds exactly setup.wLength bytes: for a device-to-host request
    // the room the device writes its reply into (at most wLength bytes, a
    // standard descriptor longer than that is cut to wLength), for a
    // host-to-device request the bytes the host sends. A request the device
    // does not support, or whose fields it refuses, is answered with Stall;
    // endpoint 0 recovers at the next SETUP, so nothing needs clearing.
    virtual ControlResult ControlTransfer(const SetupPacket &setup, std::span<uint8_t> data) = 0;

    // One IN transaction on data endpoint `endpoint_address` (bit 7 set).
    // `room` must hold at least the endpoint's maximum packet size; the
    // device writes one packet into it. A packet shorter than the maximum
    // packet size, a zero-length one included, ends the host's transfer.
    virtual PacketResult InPacket(uint8_t endpoint_address, std::span<uint8_t> room) = 0;

    // One OUT transaction on data endpoint `endpoint_address` (bit 7 clear)
    // carrying `data`, at most the endpoint's maximum packet size.
    virtual Handshake OutPacket(uint8_t endpoint_address, std::span<const uint8_t> data) = 0;

    // The data endpoints of the current configuration in the alternate
    // settings now selected, in descriptor order per interface (the order a
    // USB stack numbers its pipes in). Empty while not configured.
    virtual std::vector<EndpointInfo> ActiveEndpoints() const = 0;
};

}  // namespace tm350::usb
