// The byte language of the vexusb fuzz target: an input is a sequence of
// operations, each an operation byte followed by its arguments. A reader
// that runs out of bytes reads zeros, so every input means something.
// The seed writer (seeds.cpp) speaks the same language.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace driver_fuzz {

enum Operation : uint8_t {
    kOpen,        // path selector, open flags
    kClose,       // handle slot
    kControl,     // slot, code, input length, output length, contents, call, then content bytes
    kRead,        // slot, length, call
    kWrite,       // slot, length, call
    kCancelIo,    // slot: CancelIo for every request of the handle
    kCancelOne,   // request index: CancelIoEx for that request
    kWait,        // request index: a short wait for it to complete
    kPlug,        // a camera more
    kUnplug,      // camera index, removal (bit 0: orderly)
    kStream,      // slot, on (even) or off (odd): the camera's control word
    kEnableRead,  // slot: IOCTL_CAM_ENABLE_READ {01, 00}
    kFault,       // camera index, fault kind, argument (u16)
    kStop,        // camera index: IRP_MN_STOP_DEVICE
    kStart,       // camera index: IRP_MN_START_DEVICE
    kSleep,       // the machine sleeps and wakes again
    kOperationCount
};

// Path selectors below 8 open "\\.\TM350-N" with that digit; the others
// name paths beside the cameras' (see PathOf).
constexpr uint8_t kPathCount = 16;

// Open flags.
constexpr uint8_t kOpenOverlapped = 0x01;
constexpr uint8_t kOpenNoRead = 0x02;
constexpr uint8_t kOpenNoWrite = 0x04;

// Code selector: the first byte picks how the code is made.
//   below 160: one of the driver's codes, by the next byte
//   below 224: a neighbour of one of them (next byte: the code, then a
//              byte for the kind of change and a byte for its amount)
//   otherwise: any code, the next four bytes
constexpr uint8_t kCodeOwnBelow = 160;
constexpr uint8_t kCodeNeighbourBelow = 224;

// Length selector: the first byte picks the kind.
//   below 128: the byte mod 32
//   below 192: one of the lengths the interface cares about, by the next byte
//   below 240: the next two bytes
//   otherwise: the next four bytes, at most kMaxLength
constexpr uint32_t kMaxLength = 4u << 20;

// Contents of a control request's buffers.
constexpr uint8_t kInputFromData = 0x01;    // the input's first bytes come from the data
constexpr uint8_t kOutputFromData = 0x02;   // the output's first 12 bytes come from the data
constexpr uint8_t kOutputMagic = 0x04;      // the output starts with the frame request magic
constexpr uint8_t kSameBuffer = 0x08;       // input and output are one buffer
constexpr uint8_t kOutputReadOnly = 0x10;   // the output is a read-only mapping
constexpr uint8_t kNullInput = 0x60;        // both bits: no input buffer whatever its length

// Call kinds (the call byte mod 4).
enum Call : uint8_t {
    kSynchronous,        // no OVERLAPPED: returns when the request completes
    kOverlappedEvent,    // OVERLAPPED with an event of its own
    kOverlappedNoEvent,  // OVERLAPPED without an event: the file handle is signalled
    kOverlappedCancel,   // with an event, cancelled with CancelIoEx at once
};

// Fault kinds (the kind byte mod kFaultCount).
enum Fault : uint8_t {
    kDropStreamBytes,    // argument x 16 bytes
    kTruncateNextFrame,  // at argument x 16 bytes
    kStallControl,       // the next argument mod 4 + 1 control transfers
    kHangSensor,
    kResumeSensor,
    kHaltDataEndpoint,
    kFaultCount
};

// Builds inputs in this language, for the seeds.
class Script {
public:
    Script &Op(Operation operation) { return Byte(operation); }
    Script &Byte(uint8_t value) {
        bytes_.push_back(value);
        return *this;
    }
    Script &U16(uint16_t value) { return Byte(value & 0xFF).Byte(value >> 8); }
    Script &U32(uint32_t value) { return U16(value & 0xFFFF).U16(value >> 16); }
    Script &Bytes(std::initializer_list<uint8_t> values) {
        bytes_.insert(bytes_.end(), values);
        return *this;
    }
    // A length as the length selector's "next four bytes".
    Script &Length(uint32_t value) { return Byte(0xFF).U32(value); }
    // One of the driver's codes, as the code selector's own-code form.
    Script &OwnCode(uint8_t index) { return Byte(0).Byte(index); }
    Script &AnyCode(uint32_t code) { return Byte(0xFF).U32(code); }
    const std::vector<uint8_t> &bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

// The driver's codes in the order the code selector numbers them.
extern const uint32_t kDriverCodes[];
extern const size_t kDriverCodeCount;

// Starts the simulated machine the target plays against (once).
void StartMachine();
// Every camera out and the driver unloaded, which runs the verifier's checks
// for leaks.
void StopMachine();

}  // namespace driver_fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
