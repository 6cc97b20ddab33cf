// The driver's side of the USB stack: request blocks sent and waited for, the
// configuration read and selected at start, and the pipe services.
#include "driver/vexusb.h"

namespace {

extern "C" NTSTATUS NTAPI LowerRequestDone(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(&static_cast<PLOWER_REQUEST>(context)->Done, IO_NO_INCREMENT, FALSE);
    // The IRP stays allocated: a canceller may still be looking at it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Cancelling the caller's request cancels the lower request it waits for.
extern "C" VOID NTAPI CancelCallerWait(PDEVICE_OBJECT device, PIRP caller) {
    UNREFERENCED_PARAMETER(device);
    IoReleaseCancelSpinLock(caller->CancelIrql);
    PLOWER_REQUEST request = static_cast<PLOWER_REQUEST>(caller->Tail.Overlay.DriverContext[0]);
    IoCancelIrp(request->Irp);
    KeSetEvent(&request->CallerCancelDone, IO_NO_INCREMENT, FALSE);
}

// An internal device-control request to the lower device, waited for
// without a time limit; removal cuts the wait short by cancelling it, and so
// does cancelling `caller` when one is given. The IRP is the driver's own so
// that it outlives its completion until no canceller refers to it.
NTSTATUS CallLowerAndWait(PDEVICE_EXTENSION extension, ULONG code, PURB urb, PIRP caller = NULL) {
    PIRP irp = IoAllocateIrp(extension->LowerDevice->StackSize, FALSE);
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.Others.Argument1 = urb;
    LOWER_REQUEST request;
    request.Irp = irp;
    request.Cancellers = 0;
    request.Cancelled = 0;
    KeInitializeEvent(&request.Done, NotificationEvent, FALSE);
    KeInitializeEvent(&request.Released, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, LowerRequestDone, &request, TRUE, TRUE, TRUE);

    KIRQL irql;
    KeAcquireSpinLock(&extension->RequestLock, &irql);
    if (extension->LowerRequestsCancelled) {
        KeReleaseSpinLock(&extension->RequestLock, irql);
        IoFreeIrp(irp);
        return STATUS_DELETE_PENDING;
    }
    InsertTailList(&extension->LowerRequests, &request.Link);
    KeReleaseSpinLock(&extension->RequestLock, irql);

    IoCallDriver(extension->LowerDevice, irp);
    if (caller != NULL) {
        KeInitializeEvent(&request.CallerCancelDone, NotificationEvent, FALSE);
        caller->Tail.Overlay.DriverContext[0] = &request;
        // Under the cancel spin lock, which IoCancelIrp holds while it marks
        // the caller's request: either it sees the routine, or the request is
        // cancelled here.
        KIRQL cancelIrql;
        IoAcquireCancelSpinLock(&cancelIrql);
        const bool cancelled = caller->Cancel != FALSE;
        if (!cancelled) (void)IoSetCancelRoutine(caller, CancelCallerWait);
        IoReleaseCancelSpinLock(cancelIrql);
        if (cancelled) {
            IoCancelIrp(irp);
            KeSetEvent(&request.CallerCancelDone, IO_NO_INCREMENT, FALSE);
        }
    }
    KeWaitForSingleObject(&request.Done, Executive, KernelMode, FALSE, NULL);
    // A cancel routine already called may still be using the request.
    if (caller != NULL && IoSetCancelRoutine(caller, NULL) == NULL)
        KeWaitForSingleObject(&request.CallerCancelDone, Executive, KernelMode, FALSE, NULL);
    KeAcquireSpinLock(&extension->RequestLock, &irql);
    RemoveEntryList(&request.Link);
    const bool held = request.Cancellers > 0;
    KeReleaseSpinLock(&extension->RequestLock, irql);
    if (held) KeWaitForSingleObject(&request.Released, Executive, KernelMode, FALSE, NULL);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

}  // namespace

void CancelLowerRequests(PDEVICE_EXTENSION extension) {
    KIRQL irql;
    KeAcquireSpinLock(&extension->RequestLock, &irql);
    extension->LowerRequestsCancelled = 1;
    // One at a time: the cancel routine may complete the request at once,
    // which takes the lock, so IoCancelIrp is called without it.
    for (;;) {
        PLOWER_REQUEST found = NULL;
        for (PLIST_ENTRY entry = extension->LowerRequests.Flink; entry != &extension->LowerRequests;
             entry = entry->Flink) {
            PLOWER_REQUEST request = CONTAINING_RECORD(entry, LOWER_REQUEST, Link);
            if (!request->Cancelled) {
                found = request;
                break;
            }
        }
        if (found == NULL) break;
        found->Cancelled = 1;
        ++found->Cancellers;
        KeReleaseSpinLock(&extension->RequestLock, irql);
        IoCancelIrp(found->Irp);
        KeAcquireSpinLock(&extension->RequestLock, &irql);
        if (--found->Cancellers == 0) KeSetEvent(&found->Released, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&extension->RequestLock, irql);
}

NTSTATUS SubmitUrb(PDEVICE_EXTENSION extension, PURB urb) { return SubmitUrbFor(extension, urb, NULL); }

NTSTATUS SubmitUrbFor(PDEVICE_EXTENSION extension, PURB urb, PIRP caller) {
    const NTSTATUS status = CallLowerAndWait(extension, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, caller);
    // Requests on other threads may fail at the same time; the last word wins whole.
    if (USBD_ERROR(urb->UrbHeader.Status))
        InterlockedExchange(reinterpret_cast<LONG volatile *>(&extension->LastUsbStatus), urb->UrbHeader.Status);
    if (!NT_SUCCESS(status)) return status;
    if (USBD_ERROR(urb->UrbHeader.Status)) return STATUS_UNSUCCESSFUL;
    return status;
}

NTSTATUS ResetPort(PDEVICE_EXTENSION extension) {
    return CallLowerAndWait(extension, IOCTL_INTERNAL_USB_RESET_PORT, NULL);
}

ULONG ReadDescriptor(PDEVICE_EXTENSION extension, UCHAR type, UCHAR index, USHORT language, PVOID buffer,
                     ULONG length, NTSTATUS *status) {
    const USHORT size = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    PURB urb = static_cast<PURB>(AllocatePool(size));
    if (urb == NULL) {
        if (status != NULL) *status = STATUS_NO_MEMORY;
        return 0;
    }
    RtlZeroMemory(urb, size);
    UsbBuildGetDescriptorRequest(urb, size, type, index, language, buffer, NULL, length, NULL);
    NTSTATUS result = SubmitUrb(extension, urb);
    const ULONG received = NT_SUCCESS(result) ? urb->UrbControlDescriptorRequest.TransferBufferLength : 0;
    FreePool(urb);
    if (status != NULL) *status = result;
    return received;
}

PINTERFACE_COPY AcquireInterface(PDEVICE_EXTENSION extension) {
    KIRQL irql;
    KeAcquireSpinLock(&extension->InterfaceLock, &irql);
    PINTERFACE_COPY copy = extension->Interface;
    if (copy != NULL) InterlockedIncrement(&copy->References);
    KeReleaseSpinLock(&extension->InterfaceLock, irql);
    return copy;
}

void ReleaseInterface(PINTERFACE_COPY copy) {
    if (copy != NULL && InterlockedDecrement(&copy->References) == 0) FreePool(copy);
}

void ReplaceInterface(PDEVICE_EXTENSION extension, PINTERFACE_COPY copy) {
    KIRQL irql;
    KeAcquireSpinLock(&extension->InterfaceLock, &irql);
    PINTERFACE_COPY old = extension->Interface;
    extension->Interface = copy;
    KeReleaseSpinLock(&extension->InterfaceLock, irql);
    ReleaseInterface(old);
}

namespace {

// A copy of the interfaceDescriptor information the USB stack filled in, with one
// reference for the device.
PINTERFACE_COPY CopyInterface(const USBD_INTERFACE_INFORMATION *information) {
    const SIZE_T bytes = FIELD_OFFSET(INTERFACE_COPY, Information) + information->Length;
    PINTERFACE_COPY copy = static_cast<PINTERFACE_COPY>(AllocatePool(bytes));
    if (copy == NULL) return NULL;
    copy->References = 1;
    copy->Reserved = 0;
    RtlCopyMemory(&copy->Information, information, information->Length);
    return copy;
}

NTSTATUS SelectConfiguration(PDEVICE_EXTENSION extension, PUSB_CONFIGURATION_DESCRIPTOR descriptor) {
    PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, -1, -1, -1, -1);
    if (interfaceDescriptor == NULL) return STATUS_UNSUCCESSFUL;
    USBD_INTERFACE_LIST_ENTRY list[2];
    list[0].InterfaceDescriptor = interfaceDescriptor;
    list[0].Interface = NULL;
    list[1].InterfaceDescriptor = NULL;
    list[1].Interface = NULL;
    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
    if (urb == NULL) return STATUS_NO_MEMORY;
    PUSBD_INTERFACE_INFORMATION information = list[0].Interface;
    for (ULONG i = 0; i < interfaceDescriptor->bNumEndpoints; ++i)
        information->Pipes[i].MaximumTransferSize = VEXUSB_MAX_TRANSFER;
    NTSTATUS status = SubmitUrb(extension, urb);
    if (NT_SUCCESS(status) && USBD_SUCCESS(urb->UrbHeader.Status)) {
        extension->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        PINTERFACE_COPY copy = CopyInterface(information);
        if (copy != NULL)
            ReplaceInterface(extension, copy);
        else
            status = STATUS_NO_MEMORY;
    }
    ExFreePool(urb);
    return status;
}

}  // namespace

NTSTATUS Configure(PDEVICE_EXTENSION extension) {
    PUSB_CONFIGURATION_DESCRIPTOR header =
        static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocatePool(sizeof(USB_CONFIGURATION_DESCRIPTOR)));
    if (header == NULL) return STATUS_NO_MEMORY;
    // Cleared first: the outcome of this read is not looked at, and a failed
    // read must not leave pool garbage as the total length.
    RtlZeroMemory(header, sizeof(USB_CONFIGURATION_DESCRIPTOR));
    ReadDescriptor(extension, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, header, sizeof(USB_CONFIGURATION_DESCRIPTOR),
                   NULL);
    const ULONG length = header->wTotalLength + 16;
    FreePool(header);

    PUSB_CONFIGURATION_DESCRIPTOR descriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocatePool(length));
    if (descriptor == NULL) return STATUS_NO_MEMORY;
    RtlZeroMemory(descriptor, length);
    NTSTATUS status;
    const ULONG received = ReadDescriptor(extension, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, descriptor, length, &status);
    if (NT_SUCCESS(status)) {
        // Parsing walks wTotalLength bytes, which must all have arrived.
        if (received < sizeof(USB_CONFIGURATION_DESCRIPTOR) || descriptor->wTotalLength > received)
            status = STATUS_DEVICE_DATA_ERROR;
        else
            status = SelectConfiguration(extension, descriptor);
    }
    FreePool(descriptor);
    return status;
}

NTSTATUS UsbStart(PDEVICE_EXTENSION extension) {
    PUSB_DEVICE_DESCRIPTOR descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(AllocatePool(sizeof(USB_DEVICE_DESCRIPTOR)));
    if (descriptor == NULL) return STATUS_NO_MEMORY;
    NTSTATUS status;
    ReadDescriptor(extension, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, sizeof(USB_DEVICE_DESCRIPTOR), &status);
    if (!NT_SUCCESS(status)) {
        FreePool(descriptor);
        return status;
    }
    // A second start (after a stop) reads the descriptor again.
    FreePool(extension->DeviceDescriptor);
    extension->DeviceDescriptor = descriptor;
    return Configure(extension);
}

NTSTATUS Deconfigure(PDEVICE_EXTENSION extension) {
    const USHORT size = sizeof(struct _URB_SELECT_CONFIGURATION);
    PURB urb = static_cast<PURB>(AllocatePool(size));
    if (urb == NULL) return STATUS_NO_MEMORY;
    RtlZeroMemory(urb, size);
    UsbBuildSelectConfigurationRequest(urb, size, NULL);
    SubmitUrb(extension, urb);
    FreePool(urb);
    return STATUS_SUCCESS;
}

NTSTATUS SelectInterface(PDEVICE_EXTENSION extension, UCHAR interfaceNumber, UCHAR alternateSetting) {
    ULONG capacity = 265;
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocatePool(capacity));
    if (descriptor == NULL) return STATUS_NO_MEMORY;
    NTSTATUS status;
    ULONG received = ReadDescriptor(extension, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, descriptor, capacity, &status);
    if (!NT_SUCCESS(status) || received < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        descriptor->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        FreePool(descriptor);
        return STATUS_UNSUCCESSFUL;
    }
    if (descriptor->wTotalLength > capacity) {
        capacity = descriptor->wTotalLength;
        FreePool(descriptor);
        descriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocatePool(capacity));
        if (descriptor == NULL) return STATUS_NO_MEMORY;
        received = ReadDescriptor(extension, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, descriptor, capacity, &status);
    }
    // Parsing walks wTotalLength bytes, which must all have arrived.
    if (!NT_SUCCESS(status) || received < sizeof(USB_CONFIGURATION_DESCRIPTOR) || received < descriptor->wTotalLength) {
        FreePool(descriptor);
        return STATUS_UNSUCCESSFUL;
    }
    PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, interfaceNumber, alternateSetting, -1, -1, -1);
    if (interfaceDescriptor == NULL) {
        FreePool(descriptor);
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG pipes = interfaceDescriptor->bNumEndpoints;
    const USHORT size = static_cast<USHORT>(GET_SELECT_INTERFACE_REQUEST_SIZE(pipes));
    PURB urb = static_cast<PURB>(AllocatePool(size));
    if (urb == NULL) {
        FreePool(descriptor);
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(urb, size);
    UsbBuildSelectInterfaceRequest(urb, size, extension->ConfigurationHandle, interfaceNumber, alternateSetting);
    urb->UrbSelectInterface.Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
    urb->UrbSelectInterface.Interface.NumberOfPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i) urb->UrbSelectInterface.Interface.Pipes[i].MaximumTransferSize = VEXUSB_MAX_TRANSFER;
    status = SubmitUrb(extension, urb);
    if (NT_SUCCESS(status)) {
        PINTERFACE_COPY copy = CopyInterface(&urb->UrbSelectInterface.Interface);
        if (copy != NULL)
            ReplaceInterface(extension, copy);
        else
            status = STATUS_NO_MEMORY;
    }
    FreePool(urb);
    FreePool(descriptor);
    return status;
}

namespace {

// The pipe request's length, 4 bytes shorter for a USB stack older than 1.01.
USHORT PipeRequestLength() {
    USBD_VERSION_INFORMATION version;
    RtlZeroMemory(&version, sizeof(version));
    USBD_GetUSBDIVersion(&version);
    USHORT length = sizeof(struct _URB_PIPE_REQUEST);
    if (version.USBDI_Version < 0x101) length -= 4;
    return length;
}

NTSTATUS PipeRequest(PDEVICE_EXTENSION extension, USHORT function, USBD_PIPE_HANDLE pipe, NTSTATUS noMemory) {
    PURB urb = static_cast<PURB>(AllocatePool(sizeof(struct _URB_PIPE_REQUEST)));
    if (urb == NULL) return noMemory;
    RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
    urb->UrbHeader.Length = PipeRequestLength();
    urb->UrbHeader.Function = function;
    urb->UrbPipeRequest.PipeHandle = pipe;
    NTSTATUS status = SubmitUrb(extension, urb);
    FreePool(urb);
    return status;
}

}  // namespace

NTSTATUS ResetPipe(PDEVICE_EXTENSION extension, ULONG pipeIndex) {
    PINTERFACE_COPY copy = AcquireInterface(extension);
    if (copy == NULL) return STATUS_UNSUCCESSFUL;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (pipeIndex < copy->Information.NumberOfPipes)
        status = PipeRequest(extension, URB_FUNCTION_RESET_PIPE, copy->Information.Pipes[pipeIndex].PipeHandle,
                             STATUS_INSUFFICIENT_RESOURCES);
    ReleaseInterface(copy);
    return status;
}

NTSTATUS AbortPipe(PDEVICE_EXTENSION extension, USBD_PIPE_HANDLE pipe) {
    return PipeRequest(extension, URB_FUNCTION_ABORT_PIPE, pipe, STATUS_INSUFFICIENT_RESOURCES);
}

void AbortPipes(PDEVICE_EXTENSION extension) {
    PINTERFACE_COPY copy = AcquireInterface(extension);
    if (copy == NULL) return;
    for (ULONG i = 0; i < copy->Information.NumberOfPipes; ++i)
        AbortPipe(extension, copy->Information.Pipes[i].PipeHandle);
    ReleaseInterface(copy);
}

ULONG CurrentFrameNumber(PDEVICE_EXTENSION extension) {
    const USHORT size = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    PURB urb = static_cast<PURB>(AllocatePool(size));
    if (urb == NULL) return 0;
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Length = size;
    urb->UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    NTSTATUS status = SubmitUrb(extension, urb);
    const ULONG frame = NT_SUCCESS(status) ? urb->UrbGetCurrentFrameNumber.FrameNumber : 0;
    FreePool(urb);
    return frame;
}
