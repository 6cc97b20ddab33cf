// The queued frame read (IOCTL_CAM_READ_FRAME): one whole frame assembled
// in the caller's buffer from bulk transfers of a fixed packet size, with
// the four transfer slots kept in flight. One frame read is served at a
// time (the frame-read lock); the request being served is the head.
//
// A frame is whole transfers of exactly P bytes followed by one transfer of
// F mod P bytes (a zero-length one when P divides F). Anything else starts
// the assembly over from the start of the caller's buffer, at most ten
// times per request.
#include "driver/frame_read.h"

namespace {

const ULONG kMaximumRestarts = 10;
const ULONG kMaximumQueued = FRAME_REQUEST_RECORDS;
// The byte counts a failed frame read reports.
const ULONG_PTR kRestartsExhausted = 1;
const ULONG_PTR kDevicePoweredOff = 2;
const ULONG_PTR kTransferFailed = ~static_cast<ULONG_PTR>(0);

FRAME_READ_STATE &g = g_FrameRead;

// What a transfer made for a request carries.
struct TransferTarget {
    PDEVICE_OBJECT device;
    PDEVICE_OBJECT lowerDevice;
    USBD_PIPE_HANDLE pipe;
    ULONG length;
    PFILE_OBJECT file;
    PETHREAD thread;
};

TransferTarget TargetOf(const FRAME_REQUEST_RECORD *record) {
    TransferTarget target;
    target.device = record->Device;
    target.lowerDevice = record->LowerDevice;
    target.pipe = record->PipeHandle;
    target.length = record->PacketSize;
    target.file = record->FileObject;
    target.thread = record->Thread;
    return target;
}

class SpinLockHeld {
public:
    SpinLockHeld() { KeAcquireSpinLock(&g.SpinLock, &irql_); }
    ~SpinLockHeld() { KeReleaseSpinLock(&g.SpinLock, irql_); }

private:
    KIRQL irql_;
};

// Spin lock held. The request is no longer served: its waiter wakes and
// completes it with what its IoStatus holds by then.
void EndRequest(PFRAME_REQUEST_RECORD record) {
    record->Active = 0;
    if (g.QueuedCount > 0) --g.QueuedCount;
    if (g.Head == record) g.Head = NULL;
    if (g.Tail == record) g.Tail = NULL;
    KeSetEvent(&g.FrameDone, IO_NO_INCREMENT, FALSE);
}

// Spin lock held.
void FailRequest(PFRAME_REQUEST_RECORD record, ULONG_PTR bytes) {
    record->Request->IoStatus.Status = STATUS_UNSUCCESSFUL;
    record->Request->IoStatus.Information = bytes;
    EndRequest(record);
}

// Spin lock held.
void SetSlotIdle(ULONG slot) {
    g.Slots[slot].Busy = 0;
    g.Slots[slot].Current = NULL;
    KeSetEvent(&g.SlotIdle, IO_NO_INCREMENT, FALSE);
}

// Spin lock held.
bool AnySlotBusy() {
    for (ULONG s = 0; s < TRANSFER_SLOTS; ++s)
        if (g.Slots[s].Busy) return true;
    return false;
}

void ReleaseTransfer(PSLOT_TRANSFER transfer) {
    if (InterlockedDecrement(&transfer->References) != 0) return;
    IoFreeIrp(transfer->TransferRequest);
    FreePool(transfer);
}

// Cancels the slot's transfer at the USB stack when `stale` says so; the
// transfer is held while it is cancelled, so its completion cannot free it
// under IoCancelIrp. Not at the spin lock: cancelling may complete it here.
template <typename Predicate>
void CancelSlotIf(ULONG slot, Predicate stale) {
    PSLOT_TRANSFER transfer = NULL;
    {
        SpinLockHeld lock;
        PSLOT_TRANSFER current = g.Slots[slot].Current;
        if (current != NULL && stale(current)) {
            transfer = current;
            InterlockedIncrement(&transfer->References);
        }
    }
    if (transfer == NULL) return;
    IoCancelIrp(transfer->TransferRequest);
    ReleaseTransfer(transfer);
}

extern "C" NTSTATUS NTAPI SlotComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);

// A bulk IN transfer of the target's length into the slot's staging buffer,
// in a transfer request with a stack location of the driver's own above the
// lower device's.
PSLOT_TRANSFER MakeTransfer(ULONG slot, const TransferTarget &target) {
    PSLOT_TRANSFER transfer = static_cast<PSLOT_TRANSFER>(AllocatePool(sizeof(SLOT_TRANSFER)));
    if (transfer == NULL) return NULL;
    RtlZeroMemory(transfer, sizeof(SLOT_TRANSFER));
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(target.lowerDevice->StackSize + 1), FALSE);
    if (irp == NULL) {
        FreePool(transfer);
        return NULL;
    }
    transfer->Slot = slot;
    transfer->TransferRequest = irp;
    transfer->Device = target.device;
    transfer->LowerDevice = target.lowerDevice;
    transfer->Length = target.length;
    transfer->References = 1;
    UsbBuildInterruptOrBulkTransferRequest(reinterpret_cast<PURB>(&transfer->Urb),
                                           sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), target.pipe,
                                           g.Slots[slot].StagingBuffer, NULL, target.length,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(irp);
    own->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    own->MinorFunction = 0;
    own->DeviceObject = target.device;
    own->FileObject = target.file;
    irp->Tail.Overlay.Thread = target.thread;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &transfer->Urb;
    IoSetCompletionRoutine(irp, SlotComplete, transfer, TRUE, TRUE, TRUE);
    return transfer;
}

// The slot is busy and the transfer counted on its device already.
NTSTATUS Submit(PSLOT_TRANSFER transfer) {
    {
        SpinLockHeld lock;
        PTRANSFER_SLOT slot = &g.Slots[transfer->Slot];
        slot->Current = transfer;
        slot->TransferRequest = transfer->TransferRequest;
        slot->LowerDevice = transfer->LowerDevice;
    }
    return IoCallDriver(transfer->LowerDevice, transfer->TransferRequest);
}

// A new transfer for the slot, which a completion kept busy, for the head
// it was made for; the count on the head's device is taken.
void Resubmit(ULONG slot, const TransferTarget &target) {
    PSLOT_TRANSFER transfer = MakeTransfer(slot, target);
    if (transfer != NULL) {
        Submit(transfer);
        return;
    }
    {
        SpinLockHeld lock;
        SetSlotIdle(slot);
        // A head without any transfer would wait for ever.
        if (g.Head != NULL && !AnySlotBusy()) EndRequest(g.Head);
    }
    DecrementIo(Extension(target.device));
}

// Spin lock held. Starts the assembly over; false when the request ended.
bool Restart(PFRAME_REQUEST_RECORD head) {
    if (++head->Restarts >= kMaximumRestarts) {
        FailRequest(head, kRestartsExhausted);
        return false;
    }
    head->Received = 0;
    return true;
}

// Spin lock held. Takes `length` bytes the slot received for the head;
// true when the slot is to go on for it.
bool Assemble(PFRAME_REQUEST_RECORD head, PTRANSFER_SLOT slot, ULONG length) {
    const ULONG packet = head->PacketSize;
    const ULONG room = head->FrameBytes - head->Received;
    if (length == packet) {
        if (packet > room) return Restart(head);
        RtlCopyMemory(head->Buffer + head->Received, slot->StagingBuffer, packet);
        head->Received += packet;
        return true;
    }
    if (length == room && length == head->TailBytes) {
        RtlCopyMemory(head->Buffer + head->Received, slot->StagingBuffer, length);
        head->Request->IoStatus.Status = STATUS_SUCCESS;
        head->Request->IoStatus.Information = head->Received;
        head->Received += length;
        head->Done = 1;
        EndRequest(head);
        return false;
    }
    return Restart(head);
}

// Runs at dispatch level, possibly on several processors at once; the spin
// lock serialises what completions do to the head and the slots.
extern "C" NTSTATUS NTAPI SlotComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    PSLOT_TRANSFER transfer = static_cast<PSLOT_TRANSFER>(context);
    const ULONG s = transfer->Slot;
    const NTSTATUS status = irp->IoStatus.Status;
    const ULONG received = transfer->Urb.TransferBufferLength;
    PDEVICE_EXTENSION source = Extension(transfer->Device);
    bool resubmit = false;
    TransferTarget target;
    {
        SpinLockHeld lock;
        PTRANSFER_SLOT slot = &g.Slots[s];
        slot->Current = NULL;
        PFRAME_REQUEST_RECORD head = g.Head;
        if (head == NULL) {
            // Nobody is waiting for a frame: the data are dropped.
        } else if (transfer->LowerDevice != head->LowerDevice || transfer->Length != head->PacketSize) {
            // Made for another camera or another packet size (and cancelled
            // by the start of this request): it goes on for this one.
            resubmit = true;
        } else if (!NT_SUCCESS(status)) {
            FailRequest(head, status == STATUS_DEVICE_POWERED_OFF ? kDevicePoweredOff : kTransferFailed);
        } else {
            resubmit = Assemble(head, slot, received);
        }
        if (resubmit) {
            // The head's request keeps its device alive until now; the new
            // transfer keeps it alive from here on.
            if (EnterRequest(Extension(head->Device))) {
                target = TargetOf(head);
                slot->ExpectedLength = head->PacketSize;
            } else {
                resubmit = false;
                EndRequest(head);
            }
        }
        if (!resubmit) SetSlotIdle(s);
    }
    if (resubmit) Resubmit(s, target);
    ReleaseTransfer(transfer);
    // Last: the device may go as soon as its count drops.
    DecrementIo(source);
    // The transfer request is the driver's own.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a transfer for every idle slot; STATUS_PENDING when every slot that
// was idle has one in flight.
NTSTATUS StartRequest(PFRAME_REQUEST_RECORD record) {
    const TransferTarget target = TargetOf(record);
    PDEVICE_EXTENSION extension = Extension(record->Device);
    for (LONG s = TRANSFER_SLOTS - 1; s >= 0; --s) {
        CancelSlotIf(static_cast<ULONG>(s), [&](PSLOT_TRANSFER current) {
            g.Slots[s].ExpectedLength = target.length;
            return current->LowerDevice != target.lowerDevice || current->Length != target.length;
        });
    }
    for (ULONG s = 0; s < TRANSFER_SLOTS; ++s) {
        {
            SpinLockHeld lock;
            if (g.Slots[s].Busy) continue;
            if (!EnterRequest(extension)) return STATUS_DELETE_PENDING;
            g.Slots[s].Busy = 1;
            g.Slots[s].ExpectedLength = target.length;
        }
        PSLOT_TRANSFER transfer = MakeTransfer(s, target);
        if (transfer == NULL) {
            {
                SpinLockHeld lock;
                SetSlotIdle(s);
            }
            DecrementIo(extension);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        const NTSTATUS status = Submit(transfer);
        if (!NT_SUCCESS(status)) return STATUS_UNSUCCESSFUL;
    }
    return STATUS_PENDING;
}

NTSTATUS CompletePreset(PIRP irp) { return CompleteRequest(irp, STATUS_UNSUCCESSFUL, 0); }

// The waiter that timed out ends the request being served, which wakes its
// holder: the lock is then given up.
void AbandonHead() {
    SpinLockHeld lock;
    if (g.Head != NULL) EndRequest(g.Head);
}

// A frame that never comes (a camera that stopped sending) would otherwise
// hold the caller's thread until another frame read times out or the camera
// goes: cancelling the request (CancelIoEx from another thread) ends it as a
// waiter that timed out would, with STATUS_CANCELLED.
extern "C" VOID NTAPI CancelFrameRead(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    {
        SpinLockHeld lock;
        if (g.Head != NULL && g.Head->Active && g.Head->Request == irp) {
            irp->IoStatus.Status = STATUS_CANCELLED;
            irp->IoStatus.Information = 0;
            EndRequest(g.Head);
        }
    }
    KeSetEvent(&g.CancelDone, IO_NO_INCREMENT, FALSE);
}

// Waits for the frame with the request cancellable.
void AwaitFrame(PIRP irp) {
    KeClearEvent(&g.CancelDone);
    // Under the cancel spin lock, which IoCancelIrp holds while it marks the
    // request: either it sees the routine, or the routine is not set and the
    // request is ended here.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp->Cancel) {
        irp->CancelIrql = irql;
        CancelFrameRead(NULL, irp);
    } else {
        (void)IoSetCancelRoutine(irp, CancelFrameRead);
        IoReleaseCancelSpinLock(irql);
    }
    KeWaitForSingleObject(&g.FrameDone, Executive, KernelMode, FALSE, NULL);
    // A cancel routine already called may still be running: the request is
    // completed only once it is done with it.
    if (IoSetCancelRoutine(irp, NULL) == NULL) KeWaitForSingleObject(&g.CancelDone, Executive, KernelMode, FALSE, NULL);
}

// The pipe the request's handle reads from, or null when it cannot take a
// frame read.
PUSBD_PIPE_INFORMATION PipeOf(PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    PUSBD_PIPE_INFORMATION pipe = file != NULL ? static_cast<PUSBD_PIPE_INFORMATION>(file->FsContext) : NULL;
    if (pipe == NULL || pipe->PipeType != UsbdPipeTypeBulk || pipe->PipeHandle == NULL) return NULL;
    return pipe;
}

}  // namespace

NTSTATUS ReadFrame(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG frameBytes = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR buffer = frameBytes != 0 && irp->MdlAddress != NULL
                        ? static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority))
                        : NULL;
    if (buffer == NULL) return CompletePreset(irp);
    // A buffer too short to hold the magic does not hold it.
    ULONG magic = 0;
    if (frameBytes >= sizeof(magic)) RtlCopyMemory(&magic, buffer, sizeof(magic));
    if (magic != CAM_FRAME_REQUEST_MAGIC) return VexReadWrite(device, irp);
    if (frameBytes < sizeof(CAM_FRAME_REQUEST_HEADER)) return CompletePreset(irp);
    CAM_FRAME_REQUEST_HEADER header;
    RtlCopyMemory(&header, buffer, sizeof(header));
    // A packet never exceeds the staging buffer it lands in; 0 would never
    // make progress.
    if (header.PacketSize == 0 || header.PacketSize > STAGING_BUFFER_BYTES) return CompletePreset(irp);

    // In 64 bits: every timeout up to 4,294,967,295 ms waits as long as asked.
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000LL * static_cast<LONGLONG>(header.Timeout);
    NTSTATUS status = KeWaitForSingleObject(&g.Lock, Executive, KernelMode, TRUE, &timeout);
    if (status == STATUS_TIMEOUT) {
        AbandonHead();
        status = KeWaitForSingleObject(&g.Lock, Executive, KernelMode, TRUE, &timeout);
    }
    if (status != STATUS_SUCCESS) return CompletePreset(irp);

    // Holding the lock.
    PUSBD_PIPE_INFORMATION pipe = PipeOf(irp);
    PFRAME_REQUEST_RECORD record = NULL;
    if (pipe != NULL) {
        SpinLockHeld lock;
        if (g.QueuedCount < kMaximumQueued && g.NextFree != NULL) {
            record = g.NextFree;
            record->LowerDevice = Extension(device)->LowerDevice;
            record->Device = device;
            record->Request = irp;
            record->FrameBytes = frameBytes;
            record->Received = 0;
            record->Buffer = buffer;
            record->Done = 0;
            record->Spare = 0;
            record->Restarts = 0;
            record->PacketSize = header.PacketSize;
            record->TailBytes = frameBytes % header.PacketSize;
            record->PipeHandle = pipe->PipeHandle;
            record->FileObject = stack->FileObject;
            record->Thread = irp->Tail.Overlay.Thread;
            irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
            irp->IoStatus.Information = 0;
            KeClearEvent(&g.FrameDone);
            ++g.QueuedCount;
            record->Active = 1;
            g.Head = record;
            g.Tail = record;
        }
    }
    if (record == NULL) {
        KeReleaseSemaphore(&g.Lock, IO_NO_INCREMENT, 1, FALSE);
        return CompletePreset(irp);
    }
    if (StartRequest(record) != STATUS_PENDING) {
        {
            SpinLockHeld lock;
            if (record->Active) EndRequest(record);
        }
        KeReleaseSemaphore(&g.Lock, IO_NO_INCREMENT, 1, FALSE);
        return CompletePreset(irp);
    }
    g.NextFree = g.NextFree->Next;
    AwaitFrame(irp);
    KeReleaseSemaphore(&g.Lock, IO_NO_INCREMENT, 1, FALSE);
    status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void EndFrameReads(PDEVICE_EXTENSION extension) {
    PDEVICE_OBJECT device = extension->Self;
    {
        SpinLockHeld lock;
        if (g.Head != NULL && g.Head->Device == device) EndRequest(g.Head);
    }
    for (ULONG s = 0; s < TRANSFER_SLOTS; ++s)
        CancelSlotIf(s, [&](PSLOT_TRANSFER current) { return current->Device == device; });
}

void WaitForIdleSlots() {
    for (;;) {
        {
            SpinLockHeld lock;
            if (!AnySlotBusy()) return;
        }
        KeWaitForSingleObject(&g.SlotIdle, Executive, KernelMode, FALSE, NULL);
    }
}
