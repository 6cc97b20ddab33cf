// Open, close and the device-control codes that complete at once.
#include "driver/vexusb.h"

extern "C" NTSTATUS NTAPI VexCreate(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_EXTENSION extension = Extension(device);
    if (!FlagSet(&extension->Started)) return CompleteRequest(irp, STATUS_UNSUCCESSFUL, 0);
    PINTERFACE_COPY copy = AcquireInterface(extension);
    // A handle reads from pipe index 1, which an interface of fewer pipes lacks.
    if (copy == NULL || copy->Information.NumberOfPipes < 2) {
        ReleaseInterface(copy);
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (file == NULL) {
        ReleaseInterface(copy);
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
    }
    // The handle keeps the copy it points into until it closes.
    file->FsContext = &copy->Information.Pipes[1];
    file->FsContext2 = copy;
    InterlockedIncrement(&extension->OpenCount);
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

extern "C" NTSTATUS NTAPI VexClose(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_EXTENSION extension = Extension(device);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (file != NULL) {
        ReleaseInterface(static_cast<PINTERFACE_COPY>(file->FsContext2));
        file->FsContext = NULL;
        file->FsContext2 = NULL;
    }
    // Decrement only a count above zero, without racing another close.
    for (LONG count = extension->OpenCount; count > 0; count = extension->OpenCount) {
        if (InterlockedCompareExchange(&extension->OpenCount, count - 1, count) == count) break;
    }
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

namespace {

struct ControlRequest {
    PDEVICE_EXTENSION extension;
    PIRP irp;
    PUCHAR systemBuffer;
    ULONG inputLength;
    ULONG outputLength;
    NTSTATUS status;
    ULONG_PTR information;
    // Set when the request went on to the read path or the frame read, which
    // complete it; status is then what that path returned.
    bool passedOn;
};

PURB AllocateVendorUrb() {
    const USHORT size = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    PURB urb = static_cast<PURB>(AllocatePool(size));
    if (urb != NULL) RtlZeroMemory(urb, size);
    return urb;
}

// A vendor request to the device; returns the submission's status.
NTSTATUS VendorToDevice(PDEVICE_EXTENSION extension, PURB urb, ULONG flags, UCHAR request, USHORT value,
                        USHORT index, PVOID buffer, ULONG length) {
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags,
                          0, request, value, index, buffer, NULL, length, NULL);
    return SubmitUrb(extension, urb);
}

void GetInterfaceInfo(ControlRequest &r) {
    PINTERFACE_COPY copy = AcquireInterface(r.extension);
    if (copy == NULL) return;
    const ULONG length = copy->Information.Length;
    if (r.outputLength < length) {
        r.status = STATUS_BUFFER_TOO_SMALL;
    } else {
        RtlCopyMemory(r.systemBuffer, &copy->Information, length);
        r.information = length;
    }
    ReleaseInterface(copy);
}

void GetDescriptor(ControlRequest &r, UCHAR type, ULONG length) {
    r.information = ReadDescriptor(r.extension, type, 0, 0, r.systemBuffer, length, NULL);
}

void VendorRequest(ControlRequest &r) {
    if (r.inputLength < sizeof(CAM_VENDOR_RECORD)) {
        r.status = STATUS_INVALID_PARAMETER;
        return;
    }
    const CAM_VENDOR_RECORD record = *reinterpret_cast<PCAM_VENDOR_RECORD>(r.systemBuffer);
    if (record.Direction != 0 && record.Length > r.outputLength) {
        r.status = STATUS_BUFFER_TOO_SMALL;
        return;
    }
    PURB urb = AllocateVendorUrb();
    if (urb == NULL) return;
    if (record.Direction != 0) {
        // Received over the record; a short answer is an error here.
        if (NT_SUCCESS(VendorToDevice(r.extension, urb, USBD_TRANSFER_DIRECTION_IN, record.Request, record.Value,
                                      record.Index, r.systemBuffer, record.Length)))
            r.information = urb->UrbControlVendorClassRequest.TransferBufferLength;
    } else {
        // The payload is the driver's own, never the caller's bytes.
        PUCHAR payload = record.Length != 0 ? static_cast<PUCHAR>(AllocatePool(record.Length)) : NULL;
        if (record.Length == 0 || payload != NULL) {
            for (ULONG k = 0; k < record.Length; ++k) payload[k] = static_cast<UCHAR>(k);
            if (record.Length == 1) payload[0] = record.Data;
            VendorToDevice(r.extension, urb, 0, record.Request, record.Value, record.Index, payload, record.Length);
        }
        FreePool(payload);
    }
    FreePool(urb);
}

void LoadMemory(ControlRequest &r) {
    PURB urb = AllocateVendorUrb();
    if (urb == NULL) return;
    for (ULONG k = 0; k * 512 + 512 <= r.inputLength; ++k)
        VendorToDevice(r.extension, urb, 0, 0xA0, static_cast<USHORT>(k * 512), 0, r.systemBuffer + k * 512, 512);
    FreePool(urb);
}

// The u32 pipe index at the start of the input, or false when it is missing.
bool PipeIndex(ControlRequest &r, ULONG *index) {
    if (r.inputLength < sizeof(ULONG)) return false;
    *index = *reinterpret_cast<PULONG>(r.systemBuffer);
    return true;
}

void ResetPipeCode(ControlRequest &r) {
    ULONG index;
    r.status = PipeIndex(r, &index) ? ResetPipe(r.extension, index) : STATUS_INVALID_PARAMETER;
}

// The pipe the request's u32 index names, copied: the interface may be
// replaced meanwhile. False, with the request's status set, when there is
// no such pipe.
bool RequestedPipe(ControlRequest &r, USBD_PIPE_INFORMATION *pipe) {
    ULONG index;
    if (!PipeIndex(r, &index)) {
        r.status = STATUS_INVALID_PARAMETER;
        return false;
    }
    PINTERFACE_COPY copy = AcquireInterface(r.extension);
    if (copy == NULL) {
        r.status = STATUS_UNSUCCESSFUL;
        return false;
    }
    const bool valid = index < copy->Information.NumberOfPipes;
    if (valid) *pipe = copy->Information.Pipes[index];
    ReleaseInterface(copy);
    if (!valid) r.status = STATUS_INVALID_PARAMETER;
    return valid;
}

void AbortPipeCode(ControlRequest &r) {
    USBD_PIPE_INFORMATION pipe;
    if (RequestedPipe(r, &pipe)) AbortPipe(r.extension, pipe.PipeHandle);
}

void SelectInterfaceCode(ControlRequest &r) {
    if (r.inputLength < 2) {
        r.status = STATUS_INVALID_PARAMETER;
        return;
    }
    SelectInterface(r.extension, r.systemBuffer[0], r.systemBuffer[1]);
}

void GetStringDescriptor(ControlRequest &r) {
    if (r.outputLength == 0 || r.inputLength < 4) {
        r.status = STATUS_INVALID_PARAMETER;
        return;
    }
    const UCHAR index = r.systemBuffer[0];
    const USHORT language = *reinterpret_cast<PUSHORT>(r.systemBuffer + 2);
    const ULONG received =
        ReadDescriptor(r.extension, USB_STRING_DESCRIPTOR_TYPE, index, language, r.systemBuffer, r.outputLength, NULL);
    if (received == 0)
        r.status = STATUS_UNSUCCESSFUL;
    else
        r.information = received;
}

void GetFrameNumber(ControlRequest &r) {
    if (r.outputLength < sizeof(ULONG)) {
        r.status = STATUS_INVALID_PARAMETER;
        return;
    }
    const ULONG frame = CurrentFrameNumber(r.extension);
    if (frame == 0) {
        r.status = STATUS_UNSUCCESSFUL;
        return;
    }
    *reinterpret_cast<PULONG>(r.systemBuffer) = frame;
    r.information = sizeof(ULONG);
}

// The URB function for request type x 4 + recipient, or 0 for none.
USHORT ControlFunction(UCHAR requestType, UCHAR recipient) {
    static const USHORT functions[] = {
        URB_FUNCTION_CLASS_DEVICE,  URB_FUNCTION_CLASS_INTERFACE,  URB_FUNCTION_CLASS_ENDPOINT,  URB_FUNCTION_CLASS_OTHER,
        URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_VENDOR_INTERFACE, URB_FUNCTION_VENDOR_ENDPOINT, URB_FUNCTION_VENDOR_OTHER,
    };
    if ((requestType != 1 && requestType != 2) || recipient > 3) return 0;
    return functions[(requestType - 1) * 4 + recipient];
}

void ControlTransfer(ControlRequest &r) {
    if (r.inputLength != sizeof(CAM_CONTROL_RECORD)) {
        r.status = STATUS_INVALID_PARAMETER;
        return;
    }
    const CAM_CONTROL_RECORD record = *reinterpret_cast<PCAM_CONTROL_RECORD>(r.systemBuffer);
    const USHORT function = ControlFunction(record.RequestType, record.Recipient);
    if (function == 0) {
        r.status = STATUS_INVALID_PARAMETER;
        return;
    }
    PURB urb = AllocateVendorUrb();
    if (urb == NULL) {
        r.status = STATUS_NO_MEMORY;
        return;
    }
    PMDL data = r.outputLength != 0 ? r.irp->MdlAddress : NULL;
    HANDLE secured = NULL;
    if (record.Direction != 0 && data != NULL && !SecureForWriting(r.irp, data, &secured)) {
        FreePool(urb);
        r.status = STATUS_ACCESS_VIOLATION;
        return;
    }
    const ULONG flags = (record.Direction != 0 ? USBD_TRANSFER_DIRECTION_IN : 0) | USBD_SHORT_TRANSFER_OK;
    UsbBuildVendorRequest(urb, function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags, 0, record.Request,
                          record.Value, record.Index, NULL, data, r.outputLength, NULL);
    r.status = SubmitUrbFor(r.extension, urb, r.irp);
    if (NT_SUCCESS(r.status)) r.information = urb->UrbControlVendorClassRequest.TransferBufferLength;
    if (secured != NULL) MmUnsecureVirtualMemory(secured);
    FreePool(urb);
}

// Takes the request on to a path that completes it.
void PassOn(ControlRequest &r, NTSTATUS returned) {
    r.passedOn = true;
    r.status = returned;
}

void PipeTransfer(ControlRequest &r) {
    USBD_PIPE_INFORMATION pipe;
    if (!RequestedPipe(r, &pipe)) return;
    if (pipe.PipeType != UsbdPipeTypeBulk && pipe.PipeType != UsbdPipeTypeInterrupt) {
        r.status = STATUS_INVALID_PARAMETER;
        return;
    }
    if (pipe.PipeHandle == NULL) {
        r.status = STATUS_UNSUCCESSFUL;
        return;
    }
    if (r.outputLength > pipe.MaximumTransferSize) {
        PassOn(r, VexReadWrite(r.extension->Self, r.irp));
        return;
    }
    const bool in = (pipe.EndpointAddress & 0x80) != 0;
    PMDL data = r.outputLength != 0 ? r.irp->MdlAddress : NULL;
    HANDLE secured = NULL;
    if (in && data != NULL && !SecureForWriting(r.irp, data, &secured)) {
        r.status = STATUS_ACCESS_VIOLATION;
        return;
    }
    const USHORT size = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    PURB urb = static_cast<PURB>(AllocatePool(size));
    if (urb == NULL) {
        r.status = STATUS_NO_MEMORY;
    } else {
        RtlZeroMemory(urb, size);
        UsbBuildInterruptOrBulkTransferRequest(urb, size, pipe.PipeHandle, NULL, data, data != NULL ? r.outputLength : 0,
                                               USBD_SHORT_TRANSFER_OK | (in ? USBD_TRANSFER_DIRECTION_IN : 0), NULL);
        r.status = SubmitUrbFor(r.extension, urb, r.irp);
        if (NT_SUCCESS(r.status)) r.information = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        FreePool(urb);
    }
    if (secured != NULL) MmUnsecureVirtualMemory(secured);
}

void GetLastUsbStatus(ControlRequest &r) {
    if (r.outputLength < sizeof(ULONG)) {
        r.status = STATUS_UNSUCCESSFUL;
        return;
    }
    *reinterpret_cast<PULONG>(r.systemBuffer) =
        InterlockedCompareExchange(reinterpret_cast<LONG volatile *>(&r.extension->LastUsbStatus), 0, 0);
    r.information = sizeof(ULONG);
}

void WriteMemory(ControlRequest &r) {
    if (r.inputLength != 2 || r.outputLength == 0 || r.irp->MdlAddress == NULL) return;
    PUCHAR data = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(r.irp->MdlAddress, NormalPagePriority));
    if (data == NULL) return;
    const USHORT start = *reinterpret_cast<PUSHORT>(r.systemBuffer);
    PURB urb = AllocateVendorUrb();
    if (urb == NULL) return;
    for (ULONG offset = 0; offset < r.outputLength; offset += 64) {
        const ULONG length = r.outputLength - offset < 64 ? r.outputLength - offset : 64;
        const USHORT address = static_cast<USHORT>(start + offset);
        if (!NT_SUCCESS(VendorToDevice(r.extension, urb, 0, 0xA0, address, 0, data + offset, length))) break;
    }
    FreePool(urb);
}

void GetDriverVersion(ControlRequest &r) {
    if (r.outputLength < sizeof(CAM_DRIVER_VERSION)) {
        r.status = STATUS_UNSUCCESSFUL;
        return;
    }
    PCAM_DRIVER_VERSION version = reinterpret_cast<PCAM_DRIVER_VERSION>(r.systemBuffer);
    version->Major = 1;
    version->Minor = 5;
    version->Build = 1;
    r.information = sizeof(CAM_DRIVER_VERSION);
}

void SetFeature(ControlRequest &r) {
    if (r.inputLength != 4) {
        r.status = STATUS_INVALID_PARAMETER;
        return;
    }
    const USHORT size = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
    PURB urb = static_cast<PURB>(AllocatePool(size));
    r.status = STATUS_UNSUCCESSFUL;
    if (urb == NULL) return;
    RtlZeroMemory(urb, size);
    UsbBuildFeatureRequest(urb, URB_FUNCTION_SET_FEATURE_TO_DEVICE, *reinterpret_cast<PUSHORT>(r.systemBuffer),
                           *reinterpret_cast<PUSHORT>(r.systemBuffer + 2), NULL);
    SubmitUrb(r.extension, urb);
    FreePool(urb);
}

void EnableRead(ControlRequest &r) {
    r.extension->ReadEnabled = r.inputLength >= 2 && r.systemBuffer[0] == 1 && r.systemBuffer[1] == 0;
}

void SetUserValue(ControlRequest &r) {
    if (r.inputLength < sizeof(ULONG)) {
        r.status = STATUS_INVALID_PARAMETER;
        return;
    }
    r.extension->UserValue = *reinterpret_cast<PULONG>(r.systemBuffer);
}

// The value goes to the caller's output buffer, where a caller looks for it;
// with no output buffer the code stays the no-op it always was.
void GetUserValue(ControlRequest &r) {
    if (r.outputLength == 0) return;
    PULONG out = r.outputLength >= sizeof(ULONG) && r.irp->MdlAddress != NULL
                     ? static_cast<PULONG>(MmGetSystemAddressForMdlSafe(r.irp->MdlAddress, NormalPagePriority))
                     : NULL;
    if (out == NULL) {
        r.status = STATUS_BUFFER_TOO_SMALL;
        return;
    }
    *out = r.extension->UserValue;
    r.information = sizeof(ULONG);
}

}  // namespace

extern "C" NTSTATUS NTAPI VexDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_EXTENSION extension = Extension(device);
    if (!EnterRequest(extension)) return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ControlRequest r;
    r.extension = extension;
    r.irp = irp;
    r.systemBuffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    r.inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    r.outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    r.status = STATUS_SUCCESS;
    r.information = 0;
    r.passedOn = false;

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_CAM_GET_INTERFACE_INFO: GetInterfaceInfo(r); break;
    case IOCTL_CAM_GET_DEVICE_DESCRIPTOR:
        if (r.outputLength < sizeof(USB_DEVICE_DESCRIPTOR))
            r.status = STATUS_BUFFER_TOO_SMALL;
        else
            GetDescriptor(r, USB_DEVICE_DESCRIPTOR_TYPE, sizeof(USB_DEVICE_DESCRIPTOR));
        break;
    case IOCTL_CAM_GET_CONFIG_DESCRIPTOR: GetDescriptor(r, USB_CONFIGURATION_DESCRIPTOR_TYPE, r.outputLength); break;
    case IOCTL_CAM_VENDOR_REQUEST: VendorRequest(r); break;
    case IOCTL_CAM_NOP: break;
    case IOCTL_CAM_LOAD_MEMORY: LoadMemory(r); break;
    case IOCTL_CAM_RESET_PORT: ResetPort(extension); break;
    case IOCTL_CAM_RESET_PIPE: ResetPipeCode(r); break;
    case IOCTL_CAM_ABORT_PIPE: AbortPipeCode(r); break;
    case IOCTL_CAM_SELECT_INTERFACE: SelectInterfaceCode(r); break;
    case IOCTL_CAM_GET_STRING_DESCRIPTOR: GetStringDescriptor(r); break;
    case IOCTL_CAM_READ_FRAME: PassOn(r, ReadFrame(device, irp)); break;
    case IOCTL_CAM_PIPE_TRANSFER: PipeTransfer(r); break;
    case IOCTL_CAM_GET_FRAME_NUMBER: GetFrameNumber(r); break;
    case IOCTL_CAM_CONTROL_REQUEST: ControlTransfer(r); break;
    case IOCTL_CAM_GET_LAST_USB_STATUS: GetLastUsbStatus(r); break;
    case IOCTL_CAM_WRITE_MEMORY: WriteMemory(r); break;
    case IOCTL_CAM_GET_DRIVER_VERSION: GetDriverVersion(r); break;
    case IOCTL_CAM_SET_FEATURE: SetFeature(r); break;
    case IOCTL_CAM_ENABLE_READ: EnableRead(r); break;
    case IOCTL_CAM_SET_USER_VALUE: SetUserValue(r); break;
    case IOCTL_CAM_GET_USER_VALUE: GetUserValue(r); break;
    case IOCTL_CAM_ISO_READ:
    case IOCTL_CAM_ISO_READ2: r.status = IsoRead(extension, irp, &r.information); break;
    case IOCTL_CAM_ISO_STREAM_START: r.status = IsoStreamStart(extension, irp, &r.information); break;
    case IOCTL_CAM_ISO_STREAM_STOP: r.status = IsoStreamStop(extension, irp, &r.information); break;
    case IOCTL_CAM_ISO_STREAM_READ: r.status = IsoStreamRead(extension, irp, &r.information); break;
    default: r.status = STATUS_INVALID_PARAMETER; break;
    }

    DecrementIo(extension);
    if (r.passedOn) return r.status;
    return CompleteRequest(irp, r.status, r.information);
}
