#include "usb/usb_bus.h"

#include <usbdi.h>
#include <usbdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kernel/driver_loader.h"
#include "usb/urb_trace_internal.h"
#include "usb/usb_log.h"

namespace tm350::usb {

namespace {

// One request the host controller works on: a URB (or a port reset) and the
// IRP that carries it.
struct Transfer {
    PIRP irp = nullptr;
    PURB urb = nullptr;  // null for a port reset
    ULONG done = 0;      // bytes (or isochronous packets) moved so far
    bool started = false;
};

struct Pipe {
    explicit Pipe(const EndpointInfo &info) : endpoint(info), packet(info.max_packet_size) {}

    EndpointInfo endpoint;
    bool halted = false;
    std::deque<Transfer> queue;
    // Room for one IN packet, made once: the host controller reuses it for
    // every transaction instead of allocating per packet.
    std::vector<uint8_t> packet;
};

struct Port;

// The PDO's device extension.
struct PdoExtension {
    Port *port;
};

struct Port {
    UsbDevice *device = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    unsigned number = 0;
    bool plugged = true;
    std::vector<uint8_t> configuration;  // the whole configuration descriptor, read at enumeration
    uint8_t configuration_value = 0;     // selected, 0 when unconfigured
    std::map<uint8_t, uint8_t> alternate_settings;  // interface number -> selected setting, configured only
    uint32_t generation = 0;             // bumped by every selection; old pipe handles die with it
    std::vector<Pipe> pipes;
    std::deque<Transfer> control;  // requests that need endpoint 0, in order
    // Requests whose cancel routine is on its way (it waits for the bus
    // lock) when the host has to drop them from their queue: kept here so
    // the cancel routine still finds them.
    std::deque<Transfer> cancelling;
};

constexpr unsigned kMaxPorts = 127;
// Transactions per frame and pipe: a high-speed bulk endpoint moves at most
// 13 packets per microframe.
constexpr unsigned kBulkPacketsPerFrame = 104;
constexpr unsigned kMicroframesPerFrame = 8;

}  // namespace

struct UsbBus::State {
    std::chrono::nanoseconds frame_period;
    std::unique_ptr<ntos::Driver> driver;
    mutable std::mutex mutex;  // guards everything below; never held while completing
    std::condition_variable frame_done;
    std::list<std::unique_ptr<Port>> ports;
    std::atomic<uint32_t> frame{0};
    BusCounters counters;
    bool stop = false;
    std::thread thread;
    unsigned next_pdo = 0;
    // Port numbers handed out to devices still being enumerated, so that two
    // plugs at once never share an address.
    std::vector<unsigned> enumerating;
};

namespace {

UsbBus::State *g_bus = nullptr;

// --- Pipe handles: generation, port and index, never a pointer, so a stale
// handle, or one of another device, is recognised instead of followed.

USBD_PIPE_HANDLE EncodePipe(const Port &port, size_t index) {
    return reinterpret_cast<USBD_PIPE_HANDLE>((static_cast<uintptr_t>(port.generation) << 16) |
                                              (static_cast<uintptr_t>(port.number) << 8) | (index + 1));
}

Pipe *FindPipe(Port &port, USBD_PIPE_HANDLE handle) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    const size_t index = (value & 0xFF);
    if (index == 0 || ((value >> 8) & 0xFF) != port.number || (value >> 16) != port.generation ||
        index > port.pipes.size())
        return nullptr;
    return &port.pipes[index - 1];
}

Port *PortOf(PDEVICE_OBJECT pdo) { return static_cast<PdoExtension *>(pdo->DeviceExtension)->port; }

PUCHAR TransferData(PVOID buffer, PMDL mdl) {
    if (buffer != nullptr) return static_cast<PUCHAR>(buffer);
    if (mdl != nullptr) return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    return nullptr;
}

// --- Completion -----------------------------------------------------------

struct Completion {
    PIRP irp;
    NTSTATUS status;
};

NTSTATUS StatusFor(USBD_STATUS usb) {
    if (USBD_SUCCESS(usb)) return STATUS_SUCCESS;
    if (usb == USBD_STATUS_CANCELED) return STATUS_CANCELLED;
    if (usb == USBD_STATUS_DEVICE_GONE) return STATUS_DEVICE_NOT_CONNECTED;
    if (usb == USBD_STATUS_INVALID_PARAMETER || usb == USBD_STATUS_INVALID_PIPE_HANDLE ||
        usb == USBD_STATUS_INVALID_URB_FUNCTION)
        return STATUS_INVALID_PARAMETER;
    return STATUS_UNSUCCESSFUL;
}

// Finishes a transfer the host controller took off its queue: the URB's
// status and lengths are set here, the IRP is completed later, outside the
// bus lock.
void Finish(Transfer &transfer, USBD_STATUS usb, std::vector<Completion> &completions, BusCounters &counters) {
    if (transfer.urb != nullptr) transfer.urb->UrbHeader.Status = usb;
    if (usb == USBD_STATUS_CANCELED)
        ++counters.transfers_cancelled;
    else if (USBD_ERROR(usb))
        ++counters.transfers_failed;
    else
        ++counters.transfers_completed;
    completions.push_back({transfer.irp, StatusFor(usb)});
}

// Sets the lengths of a request the host gives up on (cancelled, aborted,
// device gone) to what had moved: `done` bytes of a bulk or interrupt
// transfer, nothing of a control transfer, the packets so far of an
// isochronous one (the others report `usb` and no bytes).
void ReportUnfinished(PURB urb, ULONG done, USBD_STATUS usb);

// Finish for a request the host did not run to its end.
void Abandon(Transfer &transfer, USBD_STATUS usb, std::vector<Completion> &completions, BusCounters &counters) {
    if (transfer.urb != nullptr) ReportUnfinished(transfer.urb, transfer.done, usb);
    Finish(transfer, usb, completions, counters);
}

void CompleteAll(std::vector<Completion> &completions) {
    if (completions.empty()) return;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (const Completion &c : completions) {
        c.irp->IoStatus.Status = c.status;
        c.irp->IoStatus.Information = 0;
        IoCompleteRequest(c.irp, IO_NO_INCREMENT);
    }
    KeLowerIrql(old);
    completions.clear();
}

// --- Queues and cancel -------------------------------------------------------

// Removes the IRP from whichever queue holds it; false when none does (the
// host controller has taken it and will complete it).
bool Unqueue(Port &port, PIRP irp, Transfer *out) {
    auto take = [&](std::deque<Transfer> &queue) {
        for (auto it = queue.begin(); it != queue.end(); ++it) {
            if (it->irp == irp) {
                *out = *it;
                queue.erase(it);
                return true;
            }
        }
        return false;
    };
    if (take(port.control) || take(port.cancelling)) return true;
    for (Pipe &pipe : port.pipes)
        if (take(pipe.queue)) return true;
    return false;
}

extern "C" VOID NTAPI CancelTransfer(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    std::vector<Completion> completions;
    {
        std::lock_guard<std::mutex> lock(g_bus->mutex);
        Transfer transfer;
        if (Unqueue(*PortOf(device), irp, &transfer)) {
            Log("usb", "transfer cancelled");
            Abandon(transfer, USBD_STATUS_CANCELED, completions, g_bus->counters);
        }
    }
    CompleteAll(completions);
}

// Queues a transfer with cancellation armed; bus lock held. False when the
// IRP was cancelled before it could be queued: the caller completes it.
bool Enqueue(std::deque<Transfer> &queue, Transfer transfer) {
    IoSetCancelRoutine(transfer.irp, CancelTransfer);
    if (transfer.irp->Cancel && IoSetCancelRoutine(transfer.irp, nullptr) != nullptr) return false;
    queue.push_back(transfer);
    return true;
}

// Claims the head of a queue for completion; false (and the entry stays
// queued) when a cancel routine is already on its way to take it.
bool Claim(std::deque<Transfer> &queue) { return IoSetCancelRoutine(queue.front().irp, nullptr) != nullptr; }

// --- Control transfers ---------------------------------------------------------

struct ControlSpec {
    SetupPacket setup;
    PUCHAR data = nullptr;
    bool short_ok = true;
    bool too_long = false;  // a data stage beyond what wLength can say
};

// The SETUP packet a control URB stands for; false for a function that is
// not a control request.
bool ControlSetupOf(PURB urb, ControlSpec *spec) {
    const USHORT function = urb->UrbHeader.Function;
    auto vendorClass = [&](uint8_t type, uint8_t recipient) {
        auto &r = urb->UrbControlVendorClassRequest;
        const bool in = USBD_TRANSFER_DIRECTION_FLAG(r.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
        spec->setup.bmRequestType = static_cast<uint8_t>((in ? 0x80 : 0) | (type << 5) | recipient);
        spec->setup.bRequest = r.Request;
        spec->setup.wValue = r.Value;
        spec->setup.wIndex = r.Index;
        spec->setup.wLength = static_cast<uint16_t>(r.TransferBufferLength);
        spec->data = TransferData(r.TransferBuffer, r.TransferBufferMDL);
        spec->short_ok = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        spec->too_long = r.TransferBufferLength > 0xFFFF;
        return true;
    };
    auto descriptor = [&](uint8_t recipient) {
        auto &r = urb->UrbControlDescriptorRequest;
        spec->setup = {static_cast<uint8_t>(0x80 | recipient), USB_REQUEST_GET_DESCRIPTOR,
                       static_cast<uint16_t>(r.DescriptorType << 8 | r.Index), r.LanguageId,
                       static_cast<uint16_t>(r.TransferBufferLength)};
        spec->data = TransferData(r.TransferBuffer, r.TransferBufferMDL);
        spec->too_long = r.TransferBufferLength > 0xFFFF;
        return true;
    };
    auto feature = [&](uint8_t recipient, uint8_t request) {
        auto &r = urb->UrbControlFeatureRequest;
        spec->setup = {recipient, request, r.FeatureSelector, r.Index, 0};
        return true;
    };
    switch (function) {
    case URB_FUNCTION_VENDOR_DEVICE: return vendorClass(2, 0);
    case URB_FUNCTION_VENDOR_INTERFACE: return vendorClass(2, 1);
    case URB_FUNCTION_VENDOR_ENDPOINT: return vendorClass(2, 2);
    case URB_FUNCTION_VENDOR_OTHER: return vendorClass(2, 3);
    case URB_FUNCTION_CLASS_DEVICE: return vendorClass(1, 0);
    case URB_FUNCTION_CLASS_INTERFACE: return vendorClass(1, 1);
    case URB_FUNCTION_CLASS_ENDPOINT: return vendorClass(1, 2);
    case URB_FUNCTION_CLASS_OTHER: return vendorClass(1, 3);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return descriptor(0);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE: return descriptor(1);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: return descriptor(2);
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE: return feature(0, USB_REQUEST_SET_FEATURE);
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE: return feature(1, USB_REQUEST_SET_FEATURE);
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT: return feature(2, USB_REQUEST_SET_FEATURE);
    case URB_FUNCTION_SET_FEATURE_TO_OTHER: return feature(3, USB_REQUEST_SET_FEATURE);
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: return feature(0, USB_REQUEST_CLEAR_FEATURE);
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE: return feature(1, USB_REQUEST_CLEAR_FEATURE);
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: return feature(2, USB_REQUEST_CLEAR_FEATURE);
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER: return feature(3, USB_REQUEST_CLEAR_FEATURE);
    case URB_FUNCTION_CONTROL_TRANSFER: {
        auto &r = urb->UrbControlTransfer;
        spec->setup = SetupPacket::FromBytes(std::span<const uint8_t, 8>(r.SetupPacket, 8));
        spec->setup.wLength = static_cast<uint16_t>(std::min<ULONG>(r.TransferBufferLength, spec->setup.wLength));
        spec->data = TransferData(r.TransferBuffer, r.TransferBufferMDL);
        spec->short_ok = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        return true;
    }
    default: return false;
    }
}

// Runs one control transfer on the device; the data stage goes through a
// buffer of exactly wLength bytes. Returns the USB status and the bytes moved.
USBD_STATUS RunControl(UsbDevice &device, const ControlSpec &spec, ULONG *moved) {
    std::vector<uint8_t> stage(spec.setup.wLength);
    const bool in = spec.setup.Direction() == TransferDirection::DeviceToHost;
    if (!in && spec.data != nullptr) std::memcpy(stage.data(), spec.data, stage.size());
    const ControlResult result = device.ControlTransfer(spec.setup, stage);
    *moved = 0;
    if (result.status == ControlStatus::NoResponse) return USBD_STATUS_DEVICE_GONE;
    if (result.status == ControlStatus::Stall) return USBD_STATUS_STALL_PID;
    *moved = result.length;
    if (in && spec.data != nullptr) std::memcpy(spec.data, stage.data(), result.length);
    if (in && !spec.short_ok && result.length < spec.setup.wLength) return USBD_STATUS_ERROR_SHORT_TRANSFER;
    return USBD_STATUS_SUCCESS;
}

ULONG *TransferLengthOf(PURB urb) {
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_CONTROL_TRANSFER: return &urb->UrbControlTransfer.TransferBufferLength;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: return &urb->UrbControlDescriptorRequest.TransferBufferLength;
    default: return &urb->UrbControlVendorClassRequest.TransferBufferLength;
    }
}

void ReportUnfinished(PURB urb, ULONG done, USBD_STATUS usb) {
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: urb->UrbBulkOrInterruptTransfer.TransferBufferLength = done; break;
    case URB_FUNCTION_ISOCH_TRANSFER: {
        auto &request = urb->UrbIsochronousTransfer;
        for (ULONG packet = done; packet < request.NumberOfPackets; ++packet) {
            request.IsoPacket[packet].Length = 0;
            request.IsoPacket[packet].Status = usb;
        }
        break;
    }
    default: {
        ControlSpec spec;
        if (ControlSetupOf(urb, &spec) && spec.setup.wLength != 0) *TransferLengthOf(urb) = 0;
        break;
    }
    }
}

// The interface descriptor for (number, alternate) in the configuration.
const USB_INTERFACE_DESCRIPTOR *FindInterface(const std::vector<uint8_t> &configuration, uint8_t number,
                                              uint8_t alternate) {
    size_t offset = 0;
    while (offset + 2 <= configuration.size()) {
        const uint8_t length = configuration[offset];
        if (length < 2 || offset + length > configuration.size()) break;
        if (configuration[offset + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto *descriptor = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(&configuration[offset]);
            if (descriptor->bInterfaceNumber == number && descriptor->bAlternateSetting == alternate) return descriptor;
        }
        offset += length;
    }
    return nullptr;
}

// Rebuilds the host's pipes from the device's active endpoints, with new
// handles; what was queued on the old pipes fails.
// Fails every request of a queue the host drops; bus lock held.
void Drain(Port &port, std::deque<Transfer> &queue, USBD_STATUS status, std::vector<Completion> &completions,
           BusCounters &counters) {
    while (!queue.empty()) {
        if (Claim(queue))
            Abandon(queue.front(), status, completions, counters);
        else
            port.cancelling.push_back(queue.front());
        queue.pop_front();
    }
}

// Rebuilds the host's pipes from the device's active endpoints, with new
// handles; what was queued on the old pipes is cancelled.
void RebuildPipes(Port &port, std::vector<Completion> &completions, BusCounters &counters) {
    for (Pipe &pipe : port.pipes) Drain(port, pipe.queue, USBD_STATUS_CANCELED, completions, counters);
    ++port.generation;
    port.pipes.clear();
    for (const EndpointInfo &endpoint : port.device->ActiveEndpoints()) port.pipes.emplace_back(endpoint);
}

// Fills one interface record of a selection from the host's pipes.
USBD_STATUS FillInterface(Port &port, PUSBD_INTERFACE_INFORMATION information) {
    const USB_INTERFACE_DESCRIPTOR *descriptor =
        FindInterface(port.configuration, information->InterfaceNumber, information->AlternateSetting);
    if (descriptor == nullptr) return USBD_STATUS_INTERFACE_NOT_FOUND;
    const ULONG room = information->Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)
                           ? 0
                           : (information->Length - FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) /
                                 sizeof(USBD_PIPE_INFORMATION);
    if (room < descriptor->bNumEndpoints) return USBD_STATUS_BUFFER_TOO_SMALL;
    information->Class = descriptor->bInterfaceClass;
    information->SubClass = descriptor->bInterfaceSubClass;
    information->Protocol = descriptor->bInterfaceProtocol;
    information->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(
        (static_cast<uintptr_t>(port.generation) << 8) | (0x80u | descriptor->bInterfaceNumber));
    ULONG count = 0;
    for (size_t i = 0; i < port.pipes.size(); ++i) {
        const EndpointInfo &endpoint = port.pipes[i].endpoint;
        if (endpoint.interface_number != descriptor->bInterfaceNumber) continue;
        USBD_PIPE_INFORMATION &pipe = information->Pipes[count++];
        pipe.MaximumPacketSize = static_cast<USHORT>(endpoint.max_packet_size * endpoint.transactions_per_microframe);
        pipe.EndpointAddress = endpoint.address;
        pipe.Interval = endpoint.interval;
        pipe.PipeType = static_cast<USBD_PIPE_TYPE>(endpoint.type);
        pipe.PipeHandle = EncodePipe(port, i);
        if (pipe.MaximumTransferSize == 0) pipe.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        if (count == room) break;
    }
    information->NumberOfPipes = count;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS SelectConfiguration(Port &port, PURB urb, std::vector<Completion> &completions, BusCounters &counters) {
    auto &select = urb->UrbSelectConfiguration;
    const USB_CONFIGURATION_DESCRIPTOR *wanted = select.ConfigurationDescriptor;
    const uint8_t value = wanted != nullptr ? wanted->bConfigurationValue : 0;
    // The interface records, checked before anything changes: the host
    // writes pipe information into each, so none may reach past the block.
    std::vector<PUSBD_INTERFACE_INFORMATION> interfaces;
    if (wanted != nullptr) {
        PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
        PUCHAR position = reinterpret_cast<PUCHAR>(&select.Interface);
        while (position + FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
            auto *information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
            if (information->Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) break;
            if (information->Length > static_cast<size_t>(end - position)) return USBD_STATUS_INVALID_PARAMETER;
            interfaces.push_back(information);
            position += information->Length;
        }
    }
    ULONG moved;
    USBD_STATUS status =
        RunControl(*port.device, {SetupPacket{0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, 0}, nullptr, true}, &moved);
    if (USBD_ERROR(status)) return status == USBD_STATUS_STALL_PID ? USBD_STATUS_SET_CONFIG_FAILED : status;
    port.configuration_value = value;
    port.alternate_settings.clear();
    if (wanted == nullptr) {
        RebuildPipes(port, completions, counters);
        select.ConfigurationHandle = nullptr;
        return USBD_STATUS_SUCCESS;
    }
    // Interfaces asked for in another alternate setting than 0 are switched first.
    for (PUSBD_INTERFACE_INFORMATION information : interfaces) {
        port.alternate_settings[information->InterfaceNumber] = 0;
        if (information->AlternateSetting == 0) continue;
        status = RunControl(*port.device,
                            {SetupPacket{0x01, USB_REQUEST_SET_INTERFACE, information->AlternateSetting,
                                         information->InterfaceNumber, 0},
                             nullptr, true},
                            &moved);
        if (USBD_ERROR(status)) return status;
        port.alternate_settings[information->InterfaceNumber] = information->AlternateSetting;
    }
    RebuildPipes(port, completions, counters);
    for (PUSBD_INTERFACE_INFORMATION information : interfaces) {
        status = FillInterface(port, information);
        if (USBD_ERROR(status)) return status;
    }
    select.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(
        (static_cast<uintptr_t>(port.generation) << 8) | value);
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS SelectInterface(Port &port, PURB urb, std::vector<Completion> &completions, BusCounters &counters) {
    auto &select = urb->UrbSelectInterface;
    if (port.configuration_value == 0) return USBD_STATUS_INVALID_PARAMETER;
    // The record gets the pipes' information: it has to lie within the block.
    const size_t room = urb->UrbHeader.Length - FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface);
    if (select.Interface.Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) || select.Interface.Length > room)
        return USBD_STATUS_INVALID_PARAMETER;
    ULONG moved;
    const USBD_STATUS status = RunControl(*port.device,
                                          {SetupPacket{0x01, USB_REQUEST_SET_INTERFACE, select.Interface.AlternateSetting,
                                                       select.Interface.InterfaceNumber, 0},
                                           nullptr, true},
                                          &moved);
    if (USBD_ERROR(status)) return status;
    port.alternate_settings[select.Interface.InterfaceNumber] = select.Interface.AlternateSetting;
    RebuildPipes(port, completions, counters);
    return FillInterface(port, &select.Interface);
}

// Clears the host's halt and, for the functions that do, the device's.
USBD_STATUS ResetPipe(Port &port, PURB urb) {
    Pipe *pipe = FindPipe(port, urb->UrbPipeRequest.PipeHandle);
    if (pipe == nullptr) return USBD_STATUS_INVALID_PIPE_HANDLE;
    const USHORT function = urb->UrbHeader.Function;
    if (function != URB_FUNCTION_SYNC_RESET_PIPE) {
        ULONG moved;
        const USBD_STATUS status = RunControl(
            *port.device,
            {SetupPacket{0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, pipe->endpoint.address, 0}, nullptr,
             true},
            &moved);
        if (USBD_ERROR(status)) return status;
    }
    if (function != URB_FUNCTION_SYNC_CLEAR_STALL) pipe->halted = false;
    return USBD_STATUS_SUCCESS;
}

// A port reset: the device starts over and the host puts back its address,
// configuration and alternate settings, so pipe handles stay valid.
USBD_STATUS ResetPort(Port &port) {
    port.device->Reset();
    ULONG moved;
    USBD_STATUS status =
        RunControl(*port.device, {SetupPacket{0x00, USB_REQUEST_SET_ADDRESS, static_cast<uint16_t>(port.number), 0, 0},
                                  nullptr, true},
                   &moved);
    if (USBD_ERROR(status) || port.configuration_value == 0) return status;
    status = RunControl(*port.device,
                        {SetupPacket{0x00, USB_REQUEST_SET_CONFIGURATION, port.configuration_value, 0, 0}, nullptr, true},
                        &moved);
    for (const auto &[interface_number, alternate_setting] : port.alternate_settings) {
        if (USBD_ERROR(status) || alternate_setting == 0) continue;
        status = RunControl(
            *port.device,
            {SetupPacket{0x01, USB_REQUEST_SET_INTERFACE, alternate_setting, interface_number, 0}, nullptr, true},
            &moved);
    }
    for (Pipe &pipe : port.pipes) pipe.halted = false;
    return status;
}

void RunControlQueue(Port &port, std::vector<Completion> &completions, BusCounters &counters) {
    while (!port.control.empty()) {
        if (!Claim(port.control)) return;  // its cancel routine completes it
        Transfer transfer = port.control.front();
        port.control.pop_front();
        if (!port.plugged || !port.device->Attached()) {
            Abandon(transfer, USBD_STATUS_DEVICE_GONE, completions, counters);
            continue;
        }
        USBD_STATUS status;
        if (transfer.urb == nullptr) {
            status = ResetPort(port);
        } else {
            switch (transfer.urb->UrbHeader.Function) {
            case URB_FUNCTION_SELECT_CONFIGURATION: status = SelectConfiguration(port, transfer.urb, completions, counters); break;
            case URB_FUNCTION_SELECT_INTERFACE: status = SelectInterface(port, transfer.urb, completions, counters); break;
            case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            case URB_FUNCTION_SYNC_RESET_PIPE:
            case URB_FUNCTION_SYNC_CLEAR_STALL: status = ResetPipe(port, transfer.urb); break;
            default: {
                ControlSpec spec;
                ControlSetupOf(transfer.urb, &spec);
                ULONG moved;
                status = RunControl(*port.device, spec, &moved);
                if (spec.setup.wLength != 0 || moved != 0) *TransferLengthOf(transfer.urb) = moved;
                break;
            }
            }
        }
        Finish(transfer, status, completions, counters);
    }
}

// --- Data transfers -------------------------------------------------------------

void RunBulk(Port &port, Pipe &pipe, std::vector<Completion> &completions, BusCounters &counters) {
    for (unsigned budget = kBulkPacketsPerFrame; budget > 0 && !pipe.queue.empty();) {
        Transfer &transfer = pipe.queue.front();
        auto &request = transfer.urb->UrbBulkOrInterruptTransfer;
        const ULONG length = request.TransferBufferLength;
        PUCHAR data = TransferData(request.TransferBuffer, request.TransferBufferMDL);
        const uint16_t max_packet = pipe.endpoint.max_packet_size;
        USBD_STATUS status = USBD_STATUS_PENDING;
        if (pipe.halted) {
            status = USBD_STATUS_ENDPOINT_HALTED;
        } else if (length == 0 && !pipe.endpoint.IsIn()) {
            // A zero-length OUT transfer is one zero-length packet.
            const Handshake handshake = port.device->OutPacket(pipe.endpoint.address, {});
            --budget;
            if (handshake == Handshake::Nak) return;
            status = handshake == Handshake::Ack ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID;
        } else if (length == 0) {
            status = USBD_STATUS_SUCCESS;
        }
        while (status == USBD_STATUS_PENDING && budget > 0) {
            --budget;
            const ULONG chunk = std::min<ULONG>(max_packet, length - transfer.done);
            if (pipe.endpoint.IsIn()) {
                std::vector<uint8_t> &room = pipe.packet;
                const PacketResult result = port.device->InPacket(pipe.endpoint.address, room);
                if (result.handshake == Handshake::Nak) return;  // try again next frame
                if (result.handshake == Handshake::NoResponse) {
                    status = USBD_STATUS_DEVICE_GONE;
                    break;
                }
                if (result.handshake == Handshake::Stall) {
                    pipe.halted = true;
                    status = USBD_STATUS_STALL_PID;
                    break;
                }
                if (result.length > chunk) {
                    // More than the host asked for: the rest of the packet has nowhere to go.
                    std::memcpy(data + transfer.done, room.data(), chunk);
                    transfer.done += chunk;
                    status = USBD_STATUS_BABBLE_DETECTED;
                    break;
                }
                std::memcpy(data + transfer.done, room.data(), result.length);
                transfer.done += result.length;
                if (result.length < max_packet) {
                    const bool short_ok = (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
                    status = transfer.done == length || short_ok ? USBD_STATUS_SUCCESS : USBD_STATUS_ERROR_SHORT_TRANSFER;
                    break;
                }
            } else {
                const Handshake handshake =
                    port.device->OutPacket(pipe.endpoint.address, std::span<const uint8_t>(data + transfer.done, chunk));
                if (handshake == Handshake::Nak) return;
                if (handshake == Handshake::NoResponse) {
                    status = USBD_STATUS_DEVICE_GONE;
                    break;
                }
                if (handshake == Handshake::Stall) {
                    pipe.halted = true;
                    status = USBD_STATUS_STALL_PID;
                    break;
                }
                transfer.done += chunk;
            }
            if (transfer.done == length) status = USBD_STATUS_SUCCESS;
        }
        if (status == USBD_STATUS_PENDING) return;
        if (!Claim(pipe.queue)) return;  // being cancelled: the cancel routine reports the bytes so far
        request.TransferBufferLength = transfer.done;
        Finish(transfer, status, completions, counters);
        pipe.queue.pop_front();
    }
}

void RunIsochronous(Port &port, Pipe &pipe, std::vector<Completion> &completions, BusCounters &counters) {
    // One packet per microframe and transaction slot of this frame.
    unsigned slots = kMicroframesPerFrame;
    while (slots > 0 && !pipe.queue.empty()) {
        Transfer &transfer = pipe.queue.front();
        auto &request = transfer.urb->UrbIsochronousTransfer;
        PUCHAR data = TransferData(request.TransferBuffer, request.TransferBufferMDL);
        if (!transfer.started) {
            transfer.started = true;
            request.StartFrame = g_bus->frame;
            request.ErrorCount = 0;
        }
        while (slots > 0 && transfer.done < request.NumberOfPackets) {
            --slots;
            USBD_ISO_PACKET_DESCRIPTOR &packet = request.IsoPacket[transfer.done];
            // A packet's room runs to the next packet's offset (the buffer's
            // end for the last), never past the buffer.
            const ULONG next = std::min(transfer.done + 1 < request.NumberOfPackets
                                            ? request.IsoPacket[transfer.done + 1].Offset
                                            : request.TransferBufferLength,
                                        request.TransferBufferLength);
            const ULONG room = next > packet.Offset ? next - packet.Offset : 0;
            packet.Length = 0;
            packet.Status = USBD_STATUS_SUCCESS;
            // A high-bandwidth endpoint moves up to transactions_per_microframe
            // packets in one microframe, all into this packet; a short one ends it.
            const uint16_t max_packet = pipe.endpoint.max_packet_size;
            const unsigned transactions = std::max<unsigned>(1, pipe.endpoint.transactions_per_microframe);
            std::vector<uint8_t> &buffer = pipe.packet;
            for (unsigned transaction = 0; transaction < transactions; ++transaction) {
                const PacketResult result = port.device->InPacket(pipe.endpoint.address, buffer);
                if (result.handshake != Handshake::Ack) {
                    if (result.handshake == Handshake::NoResponse)
                        packet.Status = USBD_STATUS_DEVICE_GONE;
                    else if (transaction == 0)
                        packet.Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
                    break;
                }
                const ULONG length = std::min<ULONG>(result.length, room - packet.Length);
                if (length > 0) std::memcpy(data + packet.Offset + packet.Length, buffer.data(), length);
                packet.Length += length;
                if (result.length > length) {
                    packet.Status = USBD_STATUS_DATA_OVERRUN;
                    break;
                }
                if (result.length < max_packet) break;
            }
            if (USBD_ERROR(packet.Status)) ++request.ErrorCount;
            ++transfer.done;
        }
        if (transfer.done < request.NumberOfPackets) return;
        if (!Claim(pipe.queue)) return;
        const USBD_STATUS status =
            request.ErrorCount == request.NumberOfPackets ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS;
        Finish(transfer, status, completions, counters);
        pipe.queue.pop_front();
    }
}

// Fails everything a port has queued; bus lock held.
void FailPort(Port &port, USBD_STATUS status, std::vector<Completion> &completions, BusCounters &counters) {
    Drain(port, port.control, status, completions, counters);
    for (Pipe &pipe : port.pipes) Drain(port, pipe.queue, status, completions, counters);
}

void RunFrame(UsbBus::State &bus, std::vector<Completion> &completions) {
    const uint32_t frame = ++bus.frame;
    ++bus.counters.frames;
    for (auto &owned : bus.ports) {
        Port &port = *owned;
        if (!port.plugged) continue;
        if (!port.device->Attached()) {
            FailPort(port, USBD_STATUS_DEVICE_GONE, completions, bus.counters);
            continue;
        }
        port.device->StartOfFrame(frame);
        RunControlQueue(port, completions, bus.counters);
        for (Pipe &pipe : port.pipes) {
            if (pipe.queue.empty()) continue;
            if (pipe.endpoint.type == TransferType::Isochronous)
                RunIsochronous(port, pipe, completions, bus.counters);
            else
                RunBulk(port, pipe, completions, bus.counters);
        }
    }
}

void HostControllerThread(UsbBus::State *bus) {
    auto next = std::chrono::steady_clock::now();
    std::vector<Completion> completions;
    for (;;) {
        next += bus->frame_period;
        std::this_thread::sleep_until(next);
        {
            std::lock_guard<std::mutex> lock(bus->mutex);
            if (bus->stop) break;
            RunFrame(*bus, completions);
        }
        CompleteAll(completions);
        bus->frame_done.notify_all();
        // A machine that fell behind (a debugger, a loaded host) does not
        // try to catch up with a burst of frames.
        const auto now = std::chrono::steady_clock::now();
        if (now - next > 50 * bus->frame_period) next = now;
    }
}

// --- The bus driver ------------------------------------------------------------

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS FailUrb(PIRP irp, PURB urb, USBD_STATUS usb) {
    urb->UrbHeader.Status = usb;
    irp->IoStatus.Information = 0;
    return CompleteNow(irp, StatusFor(usb));
}

// Each isochronous packet's room runs from its offset to the next packet's:
// the offsets have to ascend and stay within the buffer.
bool IsochronousLayoutValid(const struct _URB_ISOCH_TRANSFER &request) {
    ULONG previous = 0;
    for (ULONG i = 0; i < request.NumberOfPackets; ++i) {
        const ULONG offset = request.IsoPacket[i].Offset;
        if (offset < previous || offset > request.TransferBufferLength) return false;
        previous = offset;
    }
    return true;
}

// The smallest header length each function's request block may carry.
ULONG MinimumLength(USHORT function) {
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    case URB_FUNCTION_SELECT_INTERFACE: return sizeof(struct _URB_SELECT_INTERFACE);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: return sizeof(struct _URB_PIPE_REQUEST) - sizeof(ULONG);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: return sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_ISOCH_TRANSFER: return FIELD_OFFSET(struct _URB_ISOCH_TRANSFER, IsoPacket);
    case URB_FUNCTION_CONTROL_TRANSFER: return sizeof(struct _URB_CONTROL_TRANSFER);
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_OTHER:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER: return sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: return sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    default: return sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    }
}

NTSTATUS SubmitUrb(Port &port, PIRP irp, PURB urb) {
    if (urb == nullptr) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    TraceUrb(*urb);
    const USHORT function = urb->UrbHeader.Function;
    if (urb->UrbHeader.Length < MinimumLength(function)) return FailUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    std::vector<Completion> completions;
    std::unique_lock<std::mutex> lock(g_bus->mutex);
    if (!port.plugged || !port.device->Attached()) {
        lock.unlock();
        return FailUrb(irp, urb, USBD_STATUS_DEVICE_GONE);
    }
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    Transfer transfer{irp, urb, 0, false};
    switch (function) {
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        urb->UrbGetCurrentFrameNumber.FrameNumber = g_bus->frame;
        lock.unlock();
        return FailUrb(irp, urb, USBD_STATUS_SUCCESS);
    case URB_FUNCTION_ABORT_PIPE: {
        Pipe *pipe = FindPipe(port, urb->UrbPipeRequest.PipeHandle);
        if (pipe == nullptr) {
            lock.unlock();
            return FailUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
        }
        Drain(port, pipe->queue, USBD_STATUS_CANCELED, completions, g_bus->counters);
        lock.unlock();
        Log("usb", "pipe aborted");
        CompleteAll(completions);
        return FailUrb(irp, urb, USBD_STATUS_SUCCESS);
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    case URB_FUNCTION_ISOCH_TRANSFER: {
        const USBD_PIPE_HANDLE handle = function == URB_FUNCTION_ISOCH_TRANSFER
                                            ? urb->UrbIsochronousTransfer.PipeHandle
                                            : urb->UrbBulkOrInterruptTransfer.PipeHandle;
        Pipe *pipe = FindPipe(port, handle);
        const bool iso = pipe != nullptr && pipe->endpoint.type == TransferType::Isochronous;
        USBD_STATUS invalid = USBD_STATUS_SUCCESS;
        if (pipe == nullptr)
            invalid = USBD_STATUS_INVALID_PIPE_HANDLE;
        else if (iso != (function == URB_FUNCTION_ISOCH_TRANSFER))
            invalid = USBD_STATUS_INVALID_PARAMETER;
        else if (iso && (urb->UrbIsochronousTransfer.NumberOfPackets == 0 ||
                         urb->UrbHeader.Length < GET_ISO_URB_SIZE(urb->UrbIsochronousTransfer.NumberOfPackets) -
                                                     sizeof(USBD_ISO_PACKET_DESCRIPTOR) ||
                         !IsochronousLayoutValid(urb->UrbIsochronousTransfer)))
            invalid = USBD_STATUS_INVALID_PARAMETER;
        else if (TransferData(urb->UrbBulkOrInterruptTransfer.TransferBuffer,
                              urb->UrbBulkOrInterruptTransfer.TransferBufferMDL) == nullptr &&
                 urb->UrbBulkOrInterruptTransfer.TransferBufferLength != 0)
            invalid = USBD_STATUS_INVALID_PARAMETER;
        if (invalid != USBD_STATUS_SUCCESS) {
            lock.unlock();
            return FailUrb(irp, urb, invalid);
        }
        IoMarkIrpPending(irp);
        if (!Enqueue(pipe->queue, transfer)) {
            lock.unlock();
            urb->UrbHeader.Status = USBD_STATUS_CANCELED;
            ReportUnfinished(urb, 0, USBD_STATUS_CANCELED);
            CompleteNow(irp, STATUS_CANCELLED);
        }
        return STATUS_PENDING;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION:
    case URB_FUNCTION_SELECT_INTERFACE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        break;
    default: {
        ControlSpec spec;
        if (!ControlSetupOf(urb, &spec)) {
            lock.unlock();
            return FailUrb(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
        }
        if (spec.too_long || (spec.setup.wLength != 0 && spec.data == nullptr)) {
            lock.unlock();
            return FailUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        }
        break;
    }
    }
    IoMarkIrpPending(irp);
    if (!Enqueue(port.control, transfer)) {
        lock.unlock();
        urb->UrbHeader.Status = USBD_STATUS_CANCELED;
        ReportUnfinished(urb, 0, USBD_STATUS_CANCELED);
        CompleteNow(irp, STATUS_CANCELLED);
    }
    return STATUS_PENDING;
}

extern "C" NTSTATUS NTAPI BusInternalControl(PDEVICE_OBJECT device, PIRP irp) {
    Port &port = *PortOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: return SubmitUrb(port, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_RESET_PORT: {
        std::unique_lock<std::mutex> lock(g_bus->mutex);
        if (!port.plugged || !port.device->Attached()) {
            lock.unlock();
            return CompleteNow(irp, STATUS_DEVICE_NOT_CONNECTED);
        }
        IoMarkIrpPending(irp);
        if (!Enqueue(port.control, Transfer{irp, nullptr, 0, false})) {
            lock.unlock();
            CompleteNow(irp, STATUS_CANCELLED);
        }
        return STATUS_PENDING;
    }
    default: return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// The port goes only once no cancel routine is still on its way to one of
// its requests: such a routine looks the port up when it gets the bus lock.
void RemovePort(Port *port) {
    std::vector<Completion> completions;
    std::unique_lock<std::mutex> lock(g_bus->mutex);
    FailPort(*port, USBD_STATUS_DEVICE_GONE, completions, g_bus->counters);
    while (!port->cancelling.empty()) {
        lock.unlock();
        std::this_thread::yield();
        lock.lock();
    }
    g_bus->ports.remove_if([port](const std::unique_ptr<Port> &p) { return p.get() == port; });
    lock.unlock();
    CompleteAll(completions);
}

extern "C" NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT device, PIRP irp) {
    Port *port = PortOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: return CompleteNow(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
        capabilities->Removable = TRUE;
        capabilities->UniqueID = FALSE;
        capabilities->DeviceD1 = FALSE;
        capabilities->DeviceD2 = FALSE;
        capabilities->Address = port->number;
        capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s)
            capabilities->DeviceState[s] = PowerDeviceD3;
        return CompleteNow(irp, STATUS_SUCCESS);
    }
    case IRP_MN_REMOVE_DEVICE: {
        bool gone;
        {
            std::lock_guard<std::mutex> lock(g_bus->mutex);
            gone = !port->plugged;
        }
        // A device still on its port keeps its PDO, as a bus driver's child
        // does until it is reported missing.
        if (!gone) return CompleteNow(irp, STATUS_SUCCESS);
        CompleteNow(irp, STATUS_SUCCESS);
        RemovePort(port);
        IoDeleteDevice(device);
        return STATUS_SUCCESS;
    }
    default: {
        const NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

extern "C" NTSTATUS NTAPI BusPower(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState)
            PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
        return CompleteNow(irp, STATUS_SUCCESS);
    }
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

extern "C" NTSTATUS NTAPI BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BusInternalControl;
    driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
    driver->MajorFunction[IRP_MJ_POWER] = BusPower;
    return STATUS_SUCCESS;
}

}  // namespace

UsbBus::UsbBus(FrameTiming timing) : state_(new State) {
    if (g_bus != nullptr) ContractViolation("a second USB bus in one process; one is allowed");
    g_bus = state_;
    state_->frame_period = timing == FrameTiming::Real ? std::chrono::microseconds(1000) : std::chrono::microseconds(100);
    ntos::DriverLoad load = ntos::LoadBuiltinDriver(u"tm350usb", BusDriverEntry);
    if (!NT_SUCCESS(load.status)) ContractViolation("the USB bus driver did not load (status 0x%08X)", static_cast<unsigned>(load.status));
    state_->driver = std::move(load.driver);
    state_->thread = std::thread(HostControllerThread, state_);
}

void UsbBus::Halt() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->stop = true;
    }
    state_->frame_done.notify_all();
    if (state_->thread.joinable()) state_->thread.join();
}

UsbBus::~UsbBus() {
    Halt();
    if (!state_->ports.empty()) ContractViolation("the USB bus stopped with %zu devices on its ports; none may be left", state_->ports.size());
    state_->driver.reset();
    g_bus = nullptr;
    delete state_;
}

PDEVICE_OBJECT UsbBus::Plug(UsbDevice &device) {
    auto port = std::make_unique<Port>();
    port->device = &device;
    // Gives the reserved port number back however Plug ends; by then the
    // port is on the list, or the device is not plugged in at all.
    struct Reservation {
        State *state;
        unsigned number = 0;
        ~Reservation() {
            if (number == 0) return;
            std::lock_guard<std::mutex> lock(state->mutex);
            std::erase(state->enumerating, number);
        }
    } reservation{state_};
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        std::vector<bool> used(kMaxPorts + 1, false);
        for (auto &p : state_->ports) used[p->number] = true;
        for (unsigned taken : state_->enumerating) used[taken] = true;
        unsigned number = 1;
        while (number <= kMaxPorts && used[number]) ++number;
        if (number > kMaxPorts) return nullptr;
        port->number = number;
        state_->enumerating.push_back(number);
        reservation.number = number;
        // Enumeration: reset, address, the device and configuration descriptors.
        device.Reset();
        ULONG moved;
        if (USBD_ERROR(RunControl(device, {SetupPacket{0x00, USB_REQUEST_SET_ADDRESS, static_cast<uint16_t>(number), 0, 0},
                                           nullptr, true},
                                  &moved)))
            return nullptr;
        USB_CONFIGURATION_DESCRIPTOR header;
        if (USBD_ERROR(RunControl(device,
                                  {SetupPacket{0x80, USB_REQUEST_GET_DESCRIPTOR, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0,
                                               sizeof(header)},
                                   reinterpret_cast<PUCHAR>(&header), true},
                                  &moved)) ||
            moved < sizeof(header))
            return nullptr;
        port->configuration.resize(header.wTotalLength);
        if (USBD_ERROR(RunControl(device,
                                  {SetupPacket{0x80, USB_REQUEST_GET_DESCRIPTOR, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0,
                                               header.wTotalLength},
                                   port->configuration.data(), true},
                                  &moved)))
            return nullptr;
        port->configuration.resize(moved);
    }
    const std::u16string name = u"\\Device\\USBPDO-" + [&] {
        std::lock_guard<std::mutex> lock(state_->mutex);
        std::string digits = std::to_string(state_->next_pdo++);
        return std::u16string(digits.begin(), digits.end());
    }();
    UNICODE_STRING unicode;
    unicode.Buffer = const_cast<PWCH>(reinterpret_cast<PCWCH>(name.c_str()));
    unicode.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    unicode.MaximumLength = unicode.Length;
    PDEVICE_OBJECT pdo = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(state_->driver->Object(), sizeof(PdoExtension), &unicode, FILE_DEVICE_UNKNOWN,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo)))
        return nullptr;
    static_cast<PdoExtension *>(pdo->DeviceExtension)->port = port.get();
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    port->pdo = pdo;
    const unsigned number = port->number;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->ports.push_back(std::move(port));
    }
    Log("usb", "device plugged in on port %u", number);
    return pdo;
}

void UsbBus::Unplug(PDEVICE_OBJECT physical_device) {
    std::vector<Completion> completions;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        Port *port = PortOf(physical_device);
        port->plugged = false;
        FailPort(*port, USBD_STATUS_DEVICE_GONE, completions, state_->counters);
    }
    CompleteAll(completions);
    Log("usb", "device unplugged");
}

UsbDevice *UsbBus::DeviceOf(PDEVICE_OBJECT physical_device) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    for (auto &port : state_->ports)
        if (port->pdo == physical_device) return port->device;
    return nullptr;
}

uint32_t UsbBus::FrameNumber() const { return state_->frame; }

void UsbBus::WaitFrames(uint32_t frames) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    const uint32_t target = state_->frame + frames;
    state_->frame_done.wait(lock, [&] { return static_cast<int32_t>(state_->frame - target) >= 0 || state_->stop; });
}

BusCounters UsbBus::Counters() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->counters;
}

DRIVER_OBJECT *UsbBus::Driver() const { return state_->driver->Object(); }

}  // namespace tm350::usb
