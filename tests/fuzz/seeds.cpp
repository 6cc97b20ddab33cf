// The checked-in seed inputs, written in the fuzz target's byte language:
// every control code with a record that gets past its checks, reads and
// writes, cancellation, and the cameras plugged, pulled, faulted, stopped
// and put to sleep around open handles.
#include "seeds.h"

#include <windows.h>
#include <winioctl.h>

#include "driver/vexusb_interface.h"

namespace driver_fuzz {
namespace {

enum Code : uint8_t {  // indices into kDriverCodes
    kGetInterfaceInfo, kGetDeviceDescriptor, kGetConfigDescriptor, kVendorRequest, kNop, kLoadMemory,
    kResetPort, kResetPipe, kAbortPipe, kSelectInterface, kGetStringDescriptor, kReadFrame,
    kPipeTransfer, kGetFrameNumber, kControlRequest, kGetLastUsbStatus, kIsoRead, kIsoRead2,
    kWriteMemory, kGetDriverVersion, kIsoStreamStart, kIsoStreamStop, kIsoStreamRead, kSetFeature,
    kEnableReadCode, kSetUserValue, kGetUserValue,
};

constexpr uint8_t kSlot0 = 0;

Script &LengthOf(Script &script, uint32_t length) {
    return length < 32 ? script.Byte(static_cast<uint8_t>(length)) : script.Length(length);
}

struct ControlCall {
    uint8_t code;
    std::vector<uint8_t> input;
    uint32_t input_length;
    uint32_t output_length;
    Call call = kSynchronous;
    std::vector<uint8_t> output_prefix = {};  // up to 12 bytes
};

Script &Control(Script &script, const ControlCall &c) {
    script.Op(kControl).Byte(kSlot0).OwnCode(c.code);
    LengthOf(script, c.input_length);
    LengthOf(script, c.output_length);
    uint8_t contents = 0;
    if (!c.input.empty()) contents |= kInputFromData;
    if (!c.output_prefix.empty()) contents |= kOutputFromData;
    script.Byte(contents).Byte(c.call).Byte(0);  // fill byte 0
    if (!c.output_prefix.empty())
        for (size_t i = 0; i < 12; ++i) script.Byte(i < c.output_prefix.size() ? c.output_prefix[i] : 0);
    for (uint8_t byte : c.input) script.Byte(byte);
    return script;
}

std::vector<uint8_t> U32s(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> bytes;
    for (uint32_t value : values)
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(value >> shift));
    return bytes;
}

// Camera 0 opened overlapped, reads enabled.
Script Opened() {
    Script script;
    script.Op(kOpen).Byte(0).Byte(kOpenOverlapped).Op(kEnableRead).Byte(kSlot0);
    return script;
}

Script Streaming() {
    Script script = Opened();
    script.Op(kStream).Byte(kSlot0).Byte(0);
    return script;
}

Script &SelectIsochronous(Script &script) {
    return Control(script, {kSelectInterface, {0, 1}, 2, 0});
}

}  // namespace

std::vector<Seed> Seeds() {
    std::vector<Seed> seeds;
    auto add = [&](const char *name, Script script) { seeds.push_back({name, script.bytes()}); };
    auto control = [&](const char *name, const ControlCall &call) {
        Script script = Opened();
        add(name, Control(script, call).Op(kClose).Byte(kSlot0));
    };

    {
        Script script;
        for (uint8_t path = 0; path < kPathCount; ++path) script.Op(kOpen).Byte(path).Byte(path & kOpenOverlapped);
        add("open_every_path", script);
    }
    control("get_interface_info", {kGetInterfaceInfo, {}, 0, 256});
    control("get_device_descriptor", {kGetDeviceDescriptor, {}, 0, 18});
    control("get_config_descriptor", {kGetConfigDescriptor, {}, 0, 255});
    control("vendor_request_in", {kVendorRequest, {0x11, 0, 0, 0, 0xC0, 0x24, 3, 0, 1, 0}, 10, 10});
    control("vendor_request_out", {kVendorRequest, {0xA0, 0, 0, 0x10, 0, 0, 4, 0, 0, 0}, 10, 0});
    control("nop", {kNop, {}, 0, 0});
    control("load_memory", {kLoadMemory, {1, 2, 3, 4}, 1000, 0});
    control("reset_port", {kResetPort, {}, 0, 0});
    control("reset_pipe", {kResetPipe, {1, 0, 0, 0}, 4, 0});
    control("abort_pipe", {kAbortPipe, {1, 0, 0, 0}, 4, 0});
    control("abort_pipe_out_of_range", {kAbortPipe, {7, 0, 0, 0}, 4, 0});
    control("get_string_descriptor", {kGetStringDescriptor, {2, 0, 9, 4}, 4, 255});
    control("get_frame_number", {kGetFrameNumber, {}, 0, 4});
    control("control_request_read_word", {kControlRequest, {1, 2, 0, 0, 0x11, 0, 0, 0, 0xC0, 0x24}, 10, 3});
    control("control_request_class", {kControlRequest, {0, 1, 3, 0, 0x01, 0, 0, 0, 0, 0}, 10, 0});
    control("get_last_usb_status", {kGetLastUsbStatus, {}, 0, 4});
    control("write_memory", {kWriteMemory, {0xC0, 0xFF}, 2, 130});
    control("get_driver_version", {kGetDriverVersion, {}, 0, 6});
    control("set_feature", {kSetFeature, {1, 0, 0, 0}, 4, 0});
    control("enable_read_off", {kEnableReadCode, {1, 1}, 2, 0});
    {
        Script script = Opened();
        Control(script, {kSetUserValue, {0x78, 0x56, 0x34, 0x12}, 4, 0});
        add("user_value", Control(script, {kGetUserValue, {}, 0, 4}));
    }
    {
        Script script = Streaming();
        Control(script, {kReadFrame, {}, 0, 10000, kOverlappedEvent, U32s({CAM_FRAME_REQUEST_MAGIC, 1000, 4096})});
        add("read_frame", script.Op(kWait).Byte(0));
    }
    {
        Script script = Streaming();
        Control(script, {kReadFrame, {}, 0, 4096, kOverlappedEvent, U32s({0x12345678, 0, 512})});
        add("read_frame_wrong_magic", script);
    }
    {
        Script script = Streaming();
        add("pipe_transfer", Control(script, {kPipeTransfer, {1, 0, 0, 0}, 4, 512, kOverlappedEvent}));
    }
    {
        Script script = Opened();
        add("pipe_transfer_handed_to_read_path", Control(script, {kPipeTransfer, {1, 0, 0, 0}, 4, 3584001}));
    }
    for (uint8_t code : {kIsoRead, kIsoRead2}) {
        Script script = Opened();
        SelectIsochronous(script);
        Control(script, {code, U32s({1, 3072, 32, 8, 4}), 20, 32 * (3072 + 12), kOverlappedEvent});
        add(code == kIsoRead ? "iso_read" : "iso_read2", script);
    }
    {
        Script script = Opened();
        SelectIsochronous(script);
        Control(script, {kIsoStreamStart, U32s({1, 3072, 64, 8, 2}), 20, 0});
        Control(script, {kIsoStreamRead, U32s({1, 3072, 8, 8, 2}), 20, 8 * (3072 + 12)});
        add("iso_stream", Control(script, {kIsoStreamStop, {}, 0, 0}));
    }
    {
        Script script = Opened();
        add("iso_stream_read_without_stream", Control(script, {kIsoStreamRead, U32s({1, 64, 1, 1, 1}), 20, 76}));
    }
    {
        // Codes beside the driver's: an unknown function, and a known one with another method.
        Script script = Opened();
        script.Op(kControl).Byte(kSlot0).AnyCode(0x222001).Byte(4).Byte(4).Byte(0).Byte(0).Byte(0);
        script.Op(kControl).Byte(kSlot0).Byte(kCodeOwnBelow).Byte(kControlRequest).Byte(2).Byte(3);
        script.Byte(10).Byte(3).Byte(kInputFromData).Byte(0).Byte(0);
        for (uint8_t byte : {1, 2, 0, 0, 0x11, 0, 0, 0, 0xC0, 0x24}) script.Byte(byte);
        add("neighbour_codes", script);
    }
    {
        Script script = Streaming();
        for (int i = 0; i < 4; ++i) script.Op(kRead).Byte(kSlot0).Length(301056).Byte(kOverlappedEvent);
        script.Op(kRead).Byte(kSlot0).Length(4704).Byte(kOverlappedNoEvent);
        add("reads_of_a_frame", script.Op(kWait).Byte(0).Op(kWait).Byte(4).Op(kClose).Byte(kSlot0));
    }
    {
        Script script = Opened();
        script.Op(kRead).Byte(kSlot0).Byte(0).Byte(kSynchronous);
        script.Op(kRead).Byte(kSlot0).Length(3584001).Byte(kOverlappedEvent);
        add("read_zero_and_too_long", script.Op(kWrite).Byte(kSlot0).Length(512).Byte(kOverlappedEvent));
    }
    {
        Script script;
        script.Op(kOpen).Byte(0).Byte(0).Op(kEnableRead).Byte(kSlot0);
        add("read_on_synchronous_handle_never_answered", script.Op(kRead).Byte(kSlot0).Length(512).Byte(kSynchronous));
    }
    {
        Script script;
        script.Op(kRead).Byte(kSlot0).Length(512).Byte(kOverlappedEvent);
        add("read_before_enable", script);
    }
    {
        Script script = Opened();
        script.Op(kRead).Byte(kSlot0).Length(512).Byte(kOverlappedEvent);
        script.Op(kRead).Byte(kSlot0).Length(512).Byte(kOverlappedCancel);
        script.Op(kCancelOne).Byte(0).Op(kCancelIo).Byte(kSlot0);
        add("cancel", script);
    }
    {
        Script script = Opened();
        script.Op(kRead).Byte(kSlot0).Length(512).Byte(kOverlappedEvent);
        add("close_with_read_pending", script.Op(kClose).Byte(kSlot0));
    }
    {
        Script script;
        script.Op(kPlug).Op(kOpen).Byte(2).Byte(kOpenOverlapped);
        Control(script, {kGetDriverVersion, {}, 0, 6});
        add("plug_third_camera", script);
    }
    {
        Script script;
        for (int i = 0; i < 7; ++i) script.Op(kPlug);
        add("plug_nine_cameras", script.Op(kOpen).Byte(7).Byte(0));
    }
    {
        Script script = Opened();
        script.Op(kRead).Byte(kSlot0).Length(4096).Byte(kOverlappedEvent);
        script.Op(kUnplug).Byte(0).Byte(0);
        Control(script, {kGetDriverVersion, {}, 0, 6});
        add("surprise_removal_with_read_pending", script.Op(kOpen).Byte(0).Byte(kOpenOverlapped));
    }
    {
        Script script = Opened();
        script.Op(kUnplug).Byte(0).Byte(1).Op(kClose).Byte(kSlot0).Op(kUnplug).Byte(0).Byte(1);
        add("orderly_removal_vetoed_then_done", script.Op(kPlug).Op(kOpen).Byte(0).Byte(0));
    }
    {
        Script script = Opened();
        script.Op(kFault).Byte(0).Byte(kStallControl).U16(1);
        Control(script, {kControlRequest, {1, 2, 0, 0, 0x11, 0, 0, 0, 0xC0, 0x24}, 10, 3});
        add("stalled_control_transfer", Control(script, {kGetLastUsbStatus, {}, 0, 4}));
    }
    {
        Script script = Streaming();
        script.Op(kFault).Byte(0).Byte(kHaltDataEndpoint).U16(0);
        script.Op(kRead).Byte(kSlot0).Length(512).Byte(kOverlappedEvent).Op(kWait).Byte(0);
        add("halted_data_endpoint", Control(script, {kResetPipe, {1, 0, 0, 0}, 4, 0}));
    }
    {
        Script script = Streaming();
        script.Op(kFault).Byte(0).Byte(kTruncateNextFrame).U16(600);
        script.Op(kFault).Byte(0).Byte(kDropStreamBytes).U16(64);
        Control(script, {kReadFrame, {}, 0, 907872, kOverlappedEvent, U32s({CAM_FRAME_REQUEST_MAGIC, 50, 512})});
        add("faulted_frame", script.Op(kFault).Byte(0).Byte(kHangSensor).U16(0).Op(kWait).Byte(0));
    }
    {
        Script script = Opened();
        script.Op(kRead).Byte(kSlot0).Length(512).Byte(kOverlappedEvent);
        script.Op(kStop).Byte(0);
        Control(script, {kGetInterfaceInfo, {}, 0, 256});
        add("stop_and_start", script.Op(kStart).Byte(0).Op(kRead).Byte(kSlot0).Length(512).Byte(kOverlappedEvent));
    }
    {
        // A stopped camera's stack put to sleep: vexusb passes the system
        // request down from its device request's callback, on another thread.
        Script script;
        add("stop_then_sleep", script.Op(kStop).Byte(0).Op(kSleep).Op(kStop).Byte(1).Op(kSleep).Op(kSleep));
    }
    {
        Script script = Streaming();
        script.Op(kRead).Byte(kSlot0).Length(301056).Byte(kOverlappedEvent);
        add("sleep_with_read_pending", script.Op(kSleep).Op(kRead).Byte(kSlot0).Length(512).Byte(kOverlappedEvent));
    }
    {
        // Method-buffered codes with one buffer for input and output, and a
        // read-only buffer for a device-to-host data stage.
        Script script = Opened();
        script.Op(kControl).Byte(kSlot0).OwnCode(kGetDriverVersion).Byte(6).Byte(6).Byte(kSameBuffer).Byte(0).Byte(0);
        script.Op(kControl).Byte(kSlot0).OwnCode(kControlRequest).Byte(10).Byte(3).Byte(
            kInputFromData | kOutputReadOnly).Byte(0).Byte(0);
        for (uint8_t byte : {1, 2, 0, 0, 0x11, 0, 0, 0, 0xC0, 0x24}) script.Byte(byte);
        add("shared_and_read_only_buffers", script);
    }
    return seeds;
}

}  // namespace driver_fuzz
