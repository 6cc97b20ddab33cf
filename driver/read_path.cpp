// The read path: a read or write of N bytes on an open handle becomes one
// bulk transfer of N bytes on the handle's pipe, straight into the caller's
// locked pages. The control requests that hand a transfer over to it arrive
// here too, as IRP_MJ_DEVICE_CONTROL.
#include "driver/vexusb.h"

namespace {

// One read in flight, owned by it until its completion.
typedef struct _READ_CONTEXT {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER Urb;
    PMDL Partial;
    PDEVICE_EXTENSION Extension;
} READ_CONTEXT, *PREAD_CONTEXT;

void FreeReadContext(PREAD_CONTEXT context) {
    if (context->Partial != NULL) IoFreeMdl(context->Partial);
    FreePool(context);
}

extern "C" NTSTATUS NTAPI ReadComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    PREAD_CONTEXT read = static_cast<PREAD_CONTEXT>(context);
    if (NT_SUCCESS(irp->IoStatus.Status)) irp->IoStatus.Information = read->Urb.TransferBufferLength;
    PDEVICE_EXTENSION extension = read->Extension;
    FreeReadContext(read);
    // Last: removal may delete the device as soon as the count drops.
    DecrementIo(extension);
    return STATUS_CONTINUE_COMPLETION;
}

// The transfer writes into the caller's buffer when the pipe is an IN pipe
// (the USB stack takes a bulk transfer's direction from its endpoint), and
// only a read and an out-direct control request were checked for writing.
bool WritesIntoUncheckedBuffer(PIRP irp, const USBD_PIPE_INFORMATION *pipe) {
    if ((pipe->EndpointAddress & 0x80) == 0) return false;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_READ) return false;
    if (stack->MajorFunction == IRP_MJ_WRITE) return true;
    return METHOD_FROM_CTL_CODE(stack->Parameters.DeviceIoControl.IoControlCode) == METHOD_IN_DIRECT;
}

// The caller must own the buffer writable when it hands it over. The
// securing handle is given back at once: unsecuring needs passive or APC
// level in the caller's process, which a completion routine never has, and
// the transfer writes through the locked pages the MDL describes, not
// through the caller's mapping.
bool CallerOwnsWritable(PIRP irp, PMDL data) {
    HANDLE secured;
    if (!SecureForWriting(irp, data, &secured)) return false;
    if (secured != NULL) MmUnsecureVirtualMemory(secured);
    return true;
}

}  // namespace

extern "C" NTSTATUS NTAPI VexReadWrite(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_EXTENSION extension = Extension(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = stack->FileObject;
    const PUSBD_PIPE_INFORMATION pipe =
        file != NULL ? static_cast<PUSBD_PIPE_INFORMATION>(file->FsContext) : NULL;
    if (!extension->ReadEnabled || pipe == NULL || pipe->PipeType != UsbdPipeTypeBulk)
        return CompleteRequest(irp, STATUS_INVALID_HANDLE, 0);
    if (pipe->PipeHandle == NULL) return CompleteRequest(irp, STATUS_UNSUCCESSFUL, 0);

    // Without an MDL there is no buffer; the I/O manager makes none for a
    // transfer of 0 bytes, which succeeds at once.
    PMDL data = irp->MdlAddress;
    const ULONG length = data != NULL ? MmGetMdlByteCount(data) : 0;
    const ULONG asked = stack->MajorFunction == IRP_MJ_DEVICE_CONTROL
                            ? stack->Parameters.DeviceIoControl.OutputBufferLength
                            : stack->Parameters.Read.Length;
    if (data == NULL && asked != 0) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    if (length > VEXUSB_MAX_TRANSFER) return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    if (length == 0) return CompleteRequest(irp, STATUS_SUCCESS, 0);
    if (WritesIntoUncheckedBuffer(irp, pipe) && !CallerOwnsWritable(irp, data))
        return CompleteRequest(irp, STATUS_ACCESS_VIOLATION, 0);

    PREAD_CONTEXT read = static_cast<PREAD_CONTEXT>(AllocatePool(sizeof(READ_CONTEXT)));
    if (read == NULL) return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    RtlZeroMemory(read, sizeof(READ_CONTEXT));
    read->Extension = extension;
    PVOID address = MmGetMdlVirtualAddress(data);
    read->Partial = IoAllocateMdl(address, length, FALSE, FALSE, NULL);
    if (read->Partial == NULL) {
        FreeReadContext(read);
        return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    IoBuildPartialMdl(data, read->Partial, address, length);
    const ULONG flags = USBD_SHORT_TRANSFER_OK | (stack->MajorFunction == IRP_MJ_READ ? USBD_TRANSFER_DIRECTION_IN : 0);
    UsbBuildInterruptOrBulkTransferRequest(reinterpret_cast<PURB>(&read->Urb),
                                           sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe->PipeHandle, NULL,
                                           read->Partial, length, flags, NULL);

    // A read that arrives once removal has begun is refused here, with its
    // count given back: the removal has aborted the pipes already and would
    // not see this transfer.
    if (!EnterRequest(extension)) {
        FreeReadContext(read);
        return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->MinorFunction = 0;
    next->Flags = 0;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &read->Urb;
    IoSetCompletionRoutine(irp, ReadComplete, read, TRUE, TRUE, TRUE);
    IoMarkIrpPending(irp);
    const NTSTATUS status = IoCallDriver(extension->LowerDevice, irp);
    // The request may have completed already; only the status is left to look at.
    if (!NT_SUCCESS(status) && status != STATUS_CANCELLED && status != STATUS_DEVICE_NOT_CONNECTED &&
        EnterRequest(extension)) {
        ResetPipe(extension, 0);
        DecrementIo(extension);
    }
    return STATUS_PENDING;
}
