// The isochronous engines: a one-shot read of a fixed number of packets
// straight into the caller's buffer, and a stream whose transfers run until
// stopped while their data and packet records collect in two rings that
// user mode drains.
//
// A set is the state of one read or one stream: its transfer units (each an
// IRP and a request block of its own, resubmitted from its completion
// routine) and, for a stream, its buffers. It is listed in the device while
// its transfers run, so that removal can stop it; references keep it until
// the last user (its transfers, a stream read, a canceller) lets go.
#include "driver/vexusb.h"

namespace {

// A packet record as user mode sees it is the stack's packet descriptor:
// offset, length and status, three u32.
constexpr ULONG kRecordBytes = sizeof(USBD_ISO_PACKET_DESCRIPTOR);
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12, "packet records are 12 bytes");

struct IsoSet;

// A ring of bytes. The write offset moves only under the stream's append
// lock, the read offset only under its read lock; the fill count, which both
// sides look at, only under the ring's own spin lock.
struct IsoRing {
    PUCHAR Base;
    ULONG Size;
    ULONG WriteOffset;
    ULONG ReadOffset;
    ULONG Fill;
    KSPIN_LOCK Lock;
    IsoSet *Set;
};

struct IsoUnit {
    ULONG FirstPacket;
    IsoSet *Set;
    PURB Urb;
    PIRP Irp;
    PUCHAR Buffer;  // a stream unit's own slice of the data buffer
    KEVENT Done;    // a read unit has read its share, or stopped
    UCHAR Parked;   // finished before the read's last unit was first sent; the set's Lock
};

enum class IsoKind { Read, Stream };

// The pipe a record names, and the flags of its transfers.
struct IsoPipe {
    USBD_PIPE_HANDLE Handle;
    ULONG TransferFlags;
};

struct IsoSet {
    LIST_ENTRY Link;  // in the device's IsoSets while its transfers run; IsoLock
    PDEVICE_EXTENSION Device;
    IsoKind Kind;
    USBD_PIPE_HANDLE Pipe;
    ULONG TransferFlags;
    ULONG PacketSize;
    ULONG PacketCount;
    ULONG PacketsPerTransfer;
    ULONG Transfers;
    PUCHAR Data;     // a read: the caller's buffer; a stream: Transfers slices of its own
    PUCHAR Records;  // a read: where the packet records go, after the data
    LONG Outstanding;  // a stream's transfers still running
    IsoRing DataRing;
    IsoRing RecordRing;
    // Guards Stopping and makes a stream's completions append one at a time:
    // two may finish on two processors at once.
    KSPIN_LOCK Lock;
    UCHAR Stopping;
    UCHAR Launching;  // a read is still sending its units the first time
    UCHAR Cancelled;  // a canceller has taken it in hand; IsoLock
    KEVENT ReadLock;  // stream reads one at a time (a synchronization event)
    LONG References;
    LONG Status;  // a read: its first failure
    IsoUnit Units[1];  // Transfers of them
};

// --- Rings -------------------------------------------------------------------

ULONG RingFill(IsoRing &ring) {
    KIRQL irql;
    KeAcquireSpinLock(&ring.Lock, &irql);
    const ULONG fill = ring.Fill;
    KeReleaseSpinLock(&ring.Lock, irql);
    return fill;
}

void RingAdd(IsoRing &ring, ULONG bytes, bool add) {
    KIRQL irql;
    KeAcquireSpinLock(&ring.Lock, &irql);
    if (add)
        ring.Fill += bytes;
    else
        ring.Fill -= bytes;
    KeReleaseSpinLock(&ring.Lock, irql);
}

// Appends all n bytes, or nothing when they do not fit.
void RingWrite(IsoRing &ring, const UCHAR *source, ULONG n) {
    if (n == 0 || n > ring.Size - RingFill(ring)) return;
    const ULONG first = n < ring.Size - ring.WriteOffset ? n : ring.Size - ring.WriteOffset;
    RtlCopyMemory(ring.Base + ring.WriteOffset, source, first);
    RtlCopyMemory(ring.Base, source + first, n - first);
    ring.WriteOffset = first < n ? n - first : ring.WriteOffset + n;
    if (ring.WriteOffset == ring.Size) ring.WriteOffset = 0;
    RingAdd(ring, n, true);
}

// Takes up to n bytes; the number taken.
ULONG RingRead(IsoRing &ring, PUCHAR destination, ULONG n) {
    if (n > ring.Size) return 0;
    const ULONG fill = RingFill(ring);
    if (fill == 0) return 0;
    if (n > fill) n = fill;
    const ULONG first = n < ring.Size - ring.ReadOffset ? n : ring.Size - ring.ReadOffset;
    RtlCopyMemory(destination, ring.Base + ring.ReadOffset, first);
    RtlCopyMemory(destination + first, ring.Base, n - first);
    ring.ReadOffset = first < n ? n - first : ring.ReadOffset + n;
    if (ring.ReadOffset == ring.Size) ring.ReadOffset = 0;
    RingAdd(ring, n, false);
    return n;
}

// --- Sets --------------------------------------------------------------------

void FreeSet(IsoSet *set) {
    for (ULONG u = 0; u < set->Transfers; ++u) {
        if (set->Units[u].Irp != NULL) IoFreeIrp(set->Units[u].Irp);
        FreePool(set->Units[u].Urb);
    }
    if (set->Kind == IsoKind::Stream) {
        FreePool(set->Data);
        FreePool(set->DataRing.Base);
        FreePool(set->RecordRing.Base);
    }
    FreePool(set);
}

void ReleaseSet(IsoSet *set) {
    if (InterlockedDecrement(&set->References) == 0) FreeSet(set);
}

// The set, its units' IRPs and request blocks, and a stream's buffers, with
// one reference; null when memory is short.
IsoSet *CreateSet(PDEVICE_EXTENSION extension, IsoKind kind, const CAM_ISO_RECORD &record) {
    const ULONGLONG bytes = FIELD_OFFSET(IsoSet, Units) + static_cast<ULONGLONG>(record.Transfers) * sizeof(IsoUnit);
    if (bytes > MAXULONG || bytes > static_cast<SIZE_T>(-1)) return NULL;
    IsoSet *set = static_cast<IsoSet *>(AllocatePool(static_cast<SIZE_T>(bytes)));
    if (set == NULL) return NULL;
    RtlZeroMemory(set, static_cast<SIZE_T>(bytes));
    set->Device = extension;
    set->Kind = kind;
    set->PacketSize = record.PacketSize;
    set->PacketCount = record.PacketCount;
    set->PacketsPerTransfer = record.PacketsPerTransfer;
    set->Transfers = record.Transfers;
    set->References = 1;
    set->Status = STATUS_SUCCESS;
    KeInitializeSpinLock(&set->Lock);
    KeInitializeEvent(&set->ReadLock, SynchronizationEvent, TRUE);
    bool complete = true;
    const ULONG transferBytes = record.PacketsPerTransfer * record.PacketSize;
    if (kind == IsoKind::Stream) {
        set->Data = static_cast<PUCHAR>(AllocatePool(static_cast<SIZE_T>(transferBytes) * record.Transfers));
        set->DataRing.Size = record.PacketCount * record.PacketSize;
        set->RecordRing.Size = record.PacketCount * kRecordBytes;
        set->DataRing.Base = static_cast<PUCHAR>(AllocatePool(set->DataRing.Size));
        set->RecordRing.Base = static_cast<PUCHAR>(AllocatePool(set->RecordRing.Size));
        complete = set->Data != NULL && set->DataRing.Base != NULL && set->RecordRing.Base != NULL;
        KeInitializeSpinLock(&set->DataRing.Lock);
        KeInitializeSpinLock(&set->RecordRing.Lock);
        set->DataRing.Set = set;
        set->RecordRing.Set = set;
    }
    const CCHAR stackSize = static_cast<CCHAR>(extension->LowerDevice->StackSize + 1);
    const SIZE_T urbBytes = GET_ISO_URB_SIZE(record.PacketsPerTransfer);
    for (ULONG u = 0; complete && u < record.Transfers; ++u) {
        IsoUnit &unit = set->Units[u];
        unit.Set = set;
        unit.FirstPacket = u * record.PacketsPerTransfer;
        if (kind == IsoKind::Stream) unit.Buffer = set->Data + static_cast<SIZE_T>(u) * transferBytes;
        KeInitializeEvent(&unit.Done, NotificationEvent, FALSE);
        // The IRP needs no location of its own: its completion routine runs
        // above the lower stack, where it may reuse or free it.
        unit.Irp = IoAllocateIrp(stackSize, FALSE);
        unit.Urb = static_cast<PURB>(AllocatePool(urbBytes));
        complete = unit.Irp != NULL && unit.Urb != NULL;
    }
    if (!complete) {
        FreeSet(set);
        return NULL;
    }
    return set;
}

// Lists the set in the device unless removal has ended isochronous work
// there; a stream also becomes the device's stream unless one lives.
NTSTATUS RegisterSet(IsoSet *set) {
    PDEVICE_EXTENSION extension = set->Device;
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    KeAcquireSpinLock(&extension->IsoLock, &irql);
    if (extension->IsoCancelled) {
        status = STATUS_DELETE_PENDING;
    } else if (set->Kind == IsoKind::Stream) {
        if (extension->DataRing != NULL || extension->RecordRing != NULL) {
            status = STATUS_DEVICE_BUSY;
        } else {
            extension->DataRing = &set->DataRing;
            extension->RecordRing = &set->RecordRing;
            SetFlag(&extension->StreamStop, 0);
        }
    }
    if (NT_SUCCESS(status)) InsertTailList(&extension->IsoSets, &set->Link);
    KeReleaseSpinLock(&extension->IsoLock, irql);
    return status;
}

// The set's transfers are over: it leaves the device (and a stream gives up
// the device's ring references).
void UnregisterSet(IsoSet *set) {
    PDEVICE_EXTENSION extension = set->Device;
    KIRQL irql;
    KeAcquireSpinLock(&extension->IsoLock, &irql);
    RemoveEntryList(&set->Link);
    if (set->Kind == IsoKind::Stream) {
        extension->DataRing = NULL;
        extension->RecordRing = NULL;
    }
    KeReleaseSpinLock(&extension->IsoLock, irql);
}

// The stream of the device with a reference, or null when none lives.
IsoSet *AcquireStream(PDEVICE_EXTENSION extension) {
    IsoSet *set = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&extension->IsoLock, &irql);
    if (extension->DataRing != NULL && extension->RecordRing != NULL) {
        set = static_cast<IsoRing *>(extension->DataRing)->Set;
        InterlockedIncrement(&set->References);
    }
    KeReleaseSpinLock(&extension->IsoLock, irql);
    return set;
}

// --- Transfers ---------------------------------------------------------------

// Sends the unit's K packets from its first packet on, each packet k at
// offset k x S of its transfer.
NTSTATUS SubmitUnit(IsoUnit &unit, PIO_COMPLETION_ROUTINE routine) {
    IsoSet *set = unit.Set;
    const ULONG packets = set->PacketsPerTransfer;
    const ULONG size = set->PacketSize;
    PURB urb = unit.Urb;
    const USHORT urbBytes = static_cast<USHORT>(GET_ISO_URB_SIZE(packets));
    RtlZeroMemory(urb, urbBytes);
    urb->UrbIsochronousTransfer.Hdr.Length = urbBytes;
    urb->UrbIsochronousTransfer.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    urb->UrbIsochronousTransfer.PipeHandle = set->Pipe;
    urb->UrbIsochronousTransfer.TransferFlags = set->TransferFlags;
    urb->UrbIsochronousTransfer.TransferBufferLength = packets * size;
    urb->UrbIsochronousTransfer.TransferBuffer =
        set->Kind == IsoKind::Stream ? unit.Buffer : set->Data + static_cast<SIZE_T>(unit.FirstPacket) * size;
    urb->UrbIsochronousTransfer.NumberOfPackets = packets;
    for (ULONG k = 0; k < packets; ++k) {
        urb->UrbIsochronousTransfer.IsoPacket[k].Offset = k * size;
        urb->UrbIsochronousTransfer.IsoPacket[k].Length = size;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(unit.Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(unit.Irp, routine, &unit, TRUE, TRUE, TRUE);
    return IoCallDriver(set->Device->LowerDevice, unit.Irp);
}

enum class Next { Submit, Stop, Park };

// Readies a finished unit's IRP for its next transfer. A read unit that
// finished while the read was still sending its units the first time waits
// for the last of them (the pipe takes transfers in the order sent, and
// packet p of the read must follow packet p - 1).
Next PrepareResubmit(IsoUnit &unit) {
    IoReuseIrp(unit.Irp, STATUS_NOT_SUPPORTED);
    IsoSet *set = unit.Set;
    KIRQL irql;
    KeAcquireSpinLock(&set->Lock, &irql);
    const Next next = set->Stopping ? Next::Stop : set->Launching ? Next::Park : Next::Submit;
    if (next == Next::Park) unit.Parked = 1;
    KeReleaseSpinLock(&set->Lock, irql);
    return next;
}

// Stops the set: no unit is resubmitted any more. Removal aborts the pipes
// right after, which ends the transfers queued at the USB stack; one being
// resubmitted at that moment runs its K packets and then stops. The IRPs
// are not cancelled here: a completion may be reusing one at the same time.
void StopSet(IsoSet *set) {
    KIRQL irql;
    KeAcquireSpinLock(&set->Lock, &irql);
    set->Stopping = 1;
    KeReleaseSpinLock(&set->Lock, irql);
}

void RecordFailure(IsoSet *set, NTSTATUS status) { InterlockedCompareExchange(&set->Status, status, STATUS_SUCCESS); }

extern "C" NTSTATUS NTAPI ReadUnitDone(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    IsoUnit &unit = *static_cast<IsoUnit *>(context);
    IsoSet *set = unit.Set;
    const ULONG packets = set->PacketsPerTransfer;
    RtlCopyMemory(set->Records + static_cast<SIZE_T>(unit.FirstPacket) * kRecordBytes,
                  unit.Urb->UrbIsochronousTransfer.IsoPacket, packets * kRecordBytes);
    bool more = true;
    // Failed packets show in their records and the read goes on; a transfer
    // that failed as a whole (cancelled, the camera gone, refused) ends it,
    // or the unit would resubmit into the same failure again and again.
    const NTSTATUS status = irp->IoStatus.Status;
    if (!NT_SUCCESS(status) && unit.Urb->UrbHeader.Status != USBD_STATUS_ISOCH_REQUEST_FAILED) {
        RecordFailure(set, status);
        more = false;
    }
    unit.FirstPacket += set->Transfers * packets;
    if (unit.FirstPacket >= set->PacketCount) more = false;
    const Next next = more ? PrepareResubmit(unit) : Next::Stop;
    if (more && next == Next::Stop) RecordFailure(set, STATUS_CANCELLED);
    if (next == Next::Submit)
        SubmitUnit(unit, ReadUnitDone);
    else if (next == Next::Stop)
        KeSetEvent(&unit.Done, IO_NO_INCREMENT, FALSE);
    // The IRP stays the set's; it is freed with the set.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The last transfer of a stream ends it: the device forgets its rings, and
// the stream stops counting as outstanding I/O once its memory is given back
// (or left to a reader or canceller that still holds it, whose own request
// keeps removal waiting).
void EndStream(IsoSet *set) {
    PDEVICE_EXTENSION extension = set->Device;
    UnregisterSet(set);
    ReleaseSet(set);
    DecrementIo(extension);
}

extern "C" NTSTATUS NTAPI StreamUnitDone(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    IsoUnit &unit = *static_cast<IsoUnit *>(context);
    IsoSet *set = unit.Set;
    const ULONG packets = set->PacketsPerTransfer;
    KIRQL irql;
    KeAcquireSpinLock(&set->Lock, &irql);
    RingWrite(set->RecordRing, reinterpret_cast<const UCHAR *>(unit.Urb->UrbIsochronousTransfer.IsoPacket),
              packets * kRecordBytes);
    RingWrite(set->DataRing, unit.Buffer, packets * set->PacketSize);
    KeReleaseSpinLock(&set->Lock, irql);
    const bool more = NT_SUCCESS(irp->IoStatus.Status) && !FlagSet(&set->Device->StreamStop) &&
                      PrepareResubmit(unit) == Next::Submit;
    if (more)
        SubmitUnit(unit, StreamUnitDone);
    else if (InterlockedDecrement(&set->Outstanding) == 0)
        EndStream(set);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// --- Requests ----------------------------------------------------------------

// An engine's first transfers start as soon as possible. The USB stack
// schedules an ASAP transfer right after the pipe's previous one however
// long ago that ended (up to 1024 frames), so an engine started soon after
// another on the same pipe would find its first packets all late, and a
// stream's transfers would fail for good. A pipe reset restarts the
// schedule; it is left out while another engine of the device runs, whose
// transfers it would disturb.
void RestartSchedule(PDEVICE_EXTENSION extension, USBD_PIPE_HANDLE pipe) {
    KIRQL irql;
    KeAcquireSpinLock(&extension->IsoLock, &irql);
    const bool idle = IsListEmpty(&extension->IsoSets) != FALSE;
    KeReleaseSpinLock(&extension->IsoLock, irql);
    if (!idle) return;
    struct _URB_PIPE_REQUEST request;
    RtlZeroMemory(&request, sizeof(request));
    request.Hdr.Length = sizeof(request);
    request.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE;
    request.PipeHandle = pipe;
    SubmitUrb(extension, reinterpret_cast<PURB>(&request));
}

// The record at the start of the request's input, checked as every code
// that starts transfers checks it, and the pipe it names.
NTSTATUS CheckRecord(PDEVICE_EXTENSION extension, PIRP irp, CAM_ISO_RECORD *record, IsoPipe *pipe) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(CAM_ISO_RECORD)) return STATUS_INVALID_PARAMETER;
    *record = *static_cast<PCAM_ISO_RECORD>(irp->AssociatedIrp.SystemBuffer);
    PINTERFACE_COPY copy = AcquireInterface(extension);
    if (copy == NULL) return STATUS_UNSUCCESSFUL;
    NTSTATUS status = STATUS_SUCCESS;
    if (record->PipeIndex >= copy->Information.NumberOfPipes) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        const USBD_PIPE_INFORMATION &information = copy->Information.Pipes[record->PipeIndex];
        if (information.PipeType != UsbdPipeTypeIsochronous) {
            status = STATUS_INVALID_PARAMETER;
        } else if (information.PipeHandle == NULL) {
            status = STATUS_UNSUCCESSFUL;
        } else {
            pipe->Handle = information.PipeHandle;
            pipe->TransferFlags = USBD_START_ISO_TRANSFER_ASAP | USBD_SHORT_TRANSFER_OK |
                                  (USB_ENDPOINT_DIRECTION_IN(information.EndpointAddress) ? USBD_TRANSFER_DIRECTION_IN : 0);
        }
    }
    ReleaseInterface(copy);
    if (!NT_SUCCESS(status)) return status;
    // Empty packets or transfers would make the engines spin on nothing, and
    // the sizes below are 32-bit: a record whose products overflow would
    // size buffers smaller than the transfers that fill them. A transfer's
    // request block must fit its 16-bit length too.
    const ULONGLONG transferBytes = static_cast<ULONGLONG>(record->PacketsPerTransfer) * record->PacketSize;
    if (record->PacketSize == 0 || record->PacketsPerTransfer == 0 || record->Transfers == 0 ||
        transferBytes * record->Transfers > MAXULONG ||
        GET_ISO_URB_SIZE(static_cast<ULONGLONG>(record->PacketsPerTransfer)) > 0xFFFF)
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// Every unit of the read has been sent once: those that finished meanwhile
// go again now, lowest next packet first, and those that finish while this
// runs wait their turn too. Only this thread sends until none waits, so the
// pipe gets packet p after packet p - 1: every packet below the lowest
// waiting one has been sent already.
void SubmitParkedUnits(IsoSet *set) {
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&set->Lock, &irql);
        IsoUnit *next = NULL;
        for (ULONG u = 0; u < set->Transfers; ++u) {
            IsoUnit &unit = set->Units[u];
            if (unit.Parked && (next == NULL || unit.FirstPacket < next->FirstPacket)) next = &unit;
        }
        if (next == NULL)
            set->Launching = 0;
        else
            next->Parked = 0;
        const bool stopping = set->Stopping != 0;
        KeReleaseSpinLock(&set->Lock, irql);
        if (next == NULL) return;
        if (!stopping) {
            SubmitUnit(*next, ReadUnitDone);
        } else {
            RecordFailure(set, STATUS_CANCELLED);
            KeSetEvent(&next->Done, IO_NO_INCREMENT, FALSE);
        }
    }
}

NTSTATUS ReadPackets(PDEVICE_EXTENSION extension, PIRP irp) {
    CAM_ISO_RECORD record;
    IsoPipe pipe;
    NTSTATUS status = CheckRecord(extension, irp, &record, &pipe);
    if (!NT_SUCCESS(status)) return status;
    const ULONG total = record.PacketCount;
    const ULONG perRound = record.PacketsPerTransfer * record.Transfers;
    if (total % perRound != 0) return STATUS_INVALID_PARAMETER;
    const ULONGLONG needed = static_cast<ULONGLONG>(total) * (record.PacketSize + static_cast<ULONGLONG>(kRecordBytes));
    if (needed > MAXULONG) return STATUS_INVALID_PARAMETER;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < needed) return STATUS_UNSUCCESSFUL;
    // No packets, no transfer: one would write into a buffer that has no room.
    if (total == 0) return STATUS_SUCCESS;
    PMDL mdl = irp->MdlAddress;
    if (mdl == NULL) return STATUS_INVALID_PARAMETER;
    HANDLE secured = NULL;
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_CAM_ISO_READ2 &&
        !SecureForWriting(irp, mdl, &secured))
        return STATUS_ACCESS_VIOLATION;
    PUCHAR buffer = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    IsoSet *set = buffer != NULL ? CreateSet(extension, IsoKind::Read, record) : NULL;
    if (set == NULL) {
        if (secured != NULL) MmUnsecureVirtualMemory(secured);
        return buffer != NULL ? STATUS_NO_MEMORY : STATUS_INSUFFICIENT_RESOURCES;
    }
    set->Pipe = pipe.Handle;
    set->TransferFlags = pipe.TransferFlags;
    set->Data = buffer;
    set->Records = buffer + static_cast<SIZE_T>(total) * record.PacketSize;
    set->Launching = 1;
    RestartSchedule(extension, set->Pipe);
    status = RegisterSet(set);
    if (NT_SUCCESS(status)) {
        for (ULONG u = 0; u < set->Transfers; ++u) SubmitUnit(set->Units[u], ReadUnitDone);
        SubmitParkedUnits(set);
        for (ULONG u = 0; u < set->Transfers; ++u)
            KeWaitForSingleObject(&set->Units[u].Done, Executive, KernelMode, FALSE, NULL);
        UnregisterSet(set);
        status = set->Status;
    }
    ReleaseSet(set);
    if (secured != NULL) MmUnsecureVirtualMemory(secured);
    return status;
}

}  // namespace

NTSTATUS IsoRead(PDEVICE_EXTENSION extension, PIRP irp, ULONG_PTR *information) {
    *information = 0;
    return ReadPackets(extension, irp);
}

// A second start while a stream lives is refused with STATUS_DEVICE_BUSY:
// the device has room for one stream's rings, and replacing them would leave
// the first stream running unreachable. A stopped stream lives until its
// last transfer has ended.
NTSTATUS IsoStreamStart(PDEVICE_EXTENSION extension, PIRP irp, ULONG_PTR *information) {
    *information = 0;
    CAM_ISO_RECORD record;
    IsoPipe pipe;
    NTSTATUS status = CheckRecord(extension, irp, &record, &pipe);
    if (!NT_SUCCESS(status)) return status;
    // The rings are 32-bit sized and must hold something.
    if (record.PacketCount == 0 || static_cast<ULONGLONG>(record.PacketCount) * record.PacketSize > MAXULONG ||
        static_cast<ULONGLONG>(record.PacketCount) * kRecordBytes > MAXULONG)
        return STATUS_INVALID_PARAMETER;
    IsoSet *set = CreateSet(extension, IsoKind::Stream, record);
    if (set == NULL) return STATUS_NO_MEMORY;
    set->Pipe = pipe.Handle;
    set->TransferFlags = pipe.TransferFlags;
    set->Outstanding = static_cast<LONG>(set->Transfers);
    RestartSchedule(extension, set->Pipe);
    status = RegisterSet(set);
    if (!NT_SUCCESS(status)) {
        ReleaseSet(set);
        return status;
    }
    // The running transfers hold the stream, and removal waits for them.
    InterlockedIncrement(&set->References);
    IncrementIo(extension);
    for (ULONG u = 0; u < set->Transfers; ++u) SubmitUnit(set->Units[u], StreamUnitDone);
    ReleaseSet(set);
    return STATUS_SUCCESS;
}

NTSTATUS IsoStreamStop(PDEVICE_EXTENSION extension, PIRP irp, ULONG_PTR *information) {
    UNREFERENCED_PARAMETER(irp);
    *information = 0;
    SetFlag(&extension->StreamStop, 1);
    return STATUS_SUCCESS;
}

NTSTATUS IsoStreamRead(PDEVICE_EXTENSION extension, PIRP irp, ULONG_PTR *information) {
    *information = 0;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(CAM_ISO_RECORD)) return STATUS_INVALID_PARAMETER;
    const CAM_ISO_RECORD record = *static_cast<PCAM_ISO_RECORD>(irp->AssociatedIrp.SystemBuffer);
    const ULONG size = record.PacketSize;
    const ULONG packets = record.PacketCount;
    const ULONG output = stack->Parameters.DeviceIoControl.OutputBufferLength;
    // The records that go with the data are counted in packets of S bytes,
    // so S must not be 0.
    if (size == 0 || static_cast<ULONGLONG>(packets) * (size + static_cast<ULONGLONG>(kRecordBytes)) != output)
        return STATUS_INVALID_PARAMETER;
    IsoSet *set = AcquireStream(extension);
    if (set == NULL) return STATUS_UNSUCCESSFUL;
    NTSTATUS status = STATUS_SUCCESS;
    PUCHAR buffer = NULL;
    if (output != 0) {
        buffer = irp->MdlAddress != NULL
                     ? static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority))
                     : NULL;
        if (buffer == NULL) status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (buffer != NULL) {
        KeWaitForSingleObject(&set->ReadLock, Executive, KernelMode, FALSE, NULL);
        const ULONG data = RingRead(set->DataRing, buffer, packets * size);
        const ULONG records = RingRead(set->RecordRing, buffer + data, (data / size) * kRecordBytes);
        KeSetEvent(&set->ReadLock, IO_NO_INCREMENT, FALSE);
        *information = data + records;
    }
    ReleaseSet(set);
    return status;
}

void CancelIsochronous(PDEVICE_EXTENSION extension) {
    KIRQL irql;
    KeAcquireSpinLock(&extension->IsoLock, &irql);
    extension->IsoCancelled = 1;
    // One set at a time: stopping one cancels IRPs, whose completions may
    // end the set and take the lock, so it is done without it.
    for (;;) {
        IsoSet *found = NULL;
        for (PLIST_ENTRY entry = extension->IsoSets.Flink; entry != &extension->IsoSets; entry = entry->Flink) {
            IsoSet *set = CONTAINING_RECORD(entry, IsoSet, Link);
            if (!set->Cancelled) {
                found = set;
                break;
            }
        }
        if (found == NULL) break;
        found->Cancelled = 1;
        InterlockedIncrement(&found->References);
        KeReleaseSpinLock(&extension->IsoLock, irql);
        StopSet(found);
        ReleaseSet(found);
        KeAcquireSpinLock(&extension->IsoLock, &irql);
    }
    KeReleaseSpinLock(&extension->IsoLock, irql);
}
