#include "usb/usb_bus.h"

#include "usb/host_controller.h"

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

using namespace host;

namespace {

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
    // Once the hub has reported the device gone, requests fail at once,
    // with the status the Windows stack gives for a removed device.
    if (!port.plugged) {
        lock.unlock();
        return FailUrb(irp, urb, USBD_STATUS_DEVICE_GONE);
    }
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    Transfer transfer{irp, urb};
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
        else if (iso)
            invalid = ScheduleIsochronous(*pipe, urb->UrbIsochronousTransfer, g_bus->frame);
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
        // The request must come at PASSIVE_LEVEL; above it, it is refused
        // with the status the Windows stack gives a caller at the wrong IRQL.
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST);
        std::unique_lock<std::mutex> lock(g_bus->mutex);
        if (!port.plugged) {
            lock.unlock();
            return CompleteNow(irp, STATUS_DEVICE_NOT_CONNECTED);
        }
        // A driver has to cancel its requests and see them complete before it
        // resets the port; one that still has transfers queued is refused
        // and its transfers go on untouched.
        if (HasQueuedTransfers(port)) {
            lock.unlock();
            return CompleteNow(irp, STATUS_DEVICE_BUSY);
        }
        IoMarkIrpPending(irp);
        if (!Enqueue(port.control, Transfer{irp, nullptr})) {
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

// Nothing of its own to give back: its PDOs go with their devices. With an
// unload routine the driver goes with its bus, so a machine can make a new bus.
extern "C" VOID NTAPI BusUnload(PDRIVER_OBJECT) {}

extern "C" NTSTATUS NTAPI BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    driver->DriverUnload = BusUnload;
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
        FailInFlight(*port, completions, state_->counters);
    }
    CompleteAll(completions);
    // Transfers the host controller failed in its last frame, before the bus
    // heard of the unplug, complete from its thread; they too are through
    // when this returns, so nothing of the device is in flight any more.
    {
        std::unique_lock<std::mutex> lock(state_->mutex);
        state_->frame_done.wait(lock, [&] { return !state_->completing || state_->stop; });
    }
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
