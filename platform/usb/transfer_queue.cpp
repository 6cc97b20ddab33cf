// Requests on their way through the host controller: pipe handles, the
// queues, cancellation, and completion outside the bus lock.
#include "usb/host_controller.h"

#include <usbdi.h>
#include <usbdlib.h>

namespace tm350::usb::host {

namespace {

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

}  // namespace

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

// Queues a transfer with cancellation armed; bus lock held. False when the
// IRP was cancelled before it could be queued: the caller completes it.
bool Enqueue(std::deque<Transfer> &queue, Transfer transfer) {
    IoSetCancelRoutine(transfer.irp, CancelTransfer);
    // IoCancelIrp sets Cancel on another processor, without the bus lock.
    if (__atomic_load_n(&transfer.irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(transfer.irp, nullptr) != nullptr)
        return false;
    queue.push_back(transfer);
    return true;
}

// Claims the head of a queue for completion; false (and the entry stays
// queued) when a cancel routine is already on its way to take it.
bool Claim(std::deque<Transfer> &queue) { return IoSetCancelRoutine(queue.front().irp, nullptr) != nullptr; }

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

// Fails everything a port has queued; bus lock held.
void FailPort(Port &port, USBD_STATUS status, std::vector<Completion> &completions, BusCounters &counters) {
    Drain(port, port.control, status, completions, counters);
    for (Pipe &pipe : port.pipes) Drain(port, pipe.queue, status, completions, counters);
}

// The device is gone from its port. What the host controller had queued
// was on the wire, or next to go: as on Windows, the transfer in flight on
// each data endpoint fails with a transaction error and halts its endpoint,
// the transfers behind it fail on the halted endpoint, and endpoint 0's
// requests fail with a transaction error too. All of it completes before
// the hub reports the device missing, so before its PDO can go.
void FailInFlight(Port &port, std::vector<Completion> &completions, BusCounters &counters) {
    Drain(port, port.control, USBD_STATUS_XACT_ERROR, completions, counters);
    for (Pipe &pipe : port.pipes) {
        if (pipe.queue.empty()) continue;
        if (pipe.endpoint.type == TransferType::Isochronous) {
            // No halt on an isochronous endpoint: every packet not yet sent fails.
            Drain(port, pipe.queue, USBD_STATUS_XACT_ERROR, completions, counters);
            continue;
        }
        std::deque<Transfer> in_flight;
        in_flight.push_back(pipe.queue.front());
        pipe.queue.pop_front();
        Drain(port, in_flight, pipe.halted ? USBD_STATUS_ENDPOINT_HALTED : USBD_STATUS_XACT_ERROR, completions,
              counters);
        pipe.halted = true;
        Drain(port, pipe.queue, USBD_STATUS_ENDPOINT_HALTED, completions, counters);
    }
}

bool HasQueuedTransfers(const Port &port) {
    if (!port.control.empty()) return true;
    for (const Pipe &pipe : port.pipes)
        if (!pipe.queue.empty()) return true;
    return false;
}

}  // namespace tm350::usb::host
