// Plug and play and power requests.
#include "driver/vexusb.h"

namespace {

extern "C" NTSTATUS NTAPI SignalOnCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    // The request stays ours: the dispatch routine completes it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits until the lower stack has finished it.
NTSTATUS PassDownAndWait(PDEVICE_EXTENSION extension, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalOnCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(extension->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS PassDown(PDEVICE_EXTENSION extension, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(extension->LowerDevice, irp);
}

// Ends what the device is waiting for: the isochronous engines stop
// resubmitting (an abort alone misses a transfer being resubmitted at that
// moment), aborting the pipes ends every transfer in flight on them,
// cancelling ends the requests on the default pipe that a camera may never
// answer, and the frame read served for the device ends with its transfers,
// whichever pipe handle they carry.
void EndPendingIo(PDEVICE_EXTENSION extension) {
    CancelIsochronous(extension);
    AbortPipes(extension);
    CancelLowerRequests(extension);
    EndFrameReads(extension);
}

NTSTATUS Remove(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_EXTENSION extension = Extension(device);
    SetFlag(&extension->Removing, 1);
    // So that the wait below ends.
    EndPendingIo(extension);
    DecrementIo(extension);  // this request
    DecrementIo(extension);  // the count's initial 1
    KeWaitForSingleObject(&extension->RemovalEvent, Executive, KernelMode, FALSE, NULL);

    FreePool(extension->DeviceDescriptor);
    extension->DeviceDescriptor = NULL;
    ReplaceInterface(extension, NULL);
    if (extension->LinkMade) {
        extension->LinkMade = 0;
        UNICODE_STRING linkName;
        RtlInitUnicodeString(&linkName, extension->LinkName);
        IoDeleteSymbolicLink(&linkName);
    }
    PDEVICE_OBJECT lower = extension->LowerDevice;
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

// Counts a plug-and-play request in unless removal has begun; a camera that
// is gone still gets its remove request handled.
bool EnterPnpRequest(PDEVICE_EXTENSION extension) {
    IncrementIo(extension);
    if (!FlagSet(&extension->Removing)) return true;
    DecrementIo(extension);
    return false;
}

}  // namespace

extern "C" NTSTATUS NTAPI VexDispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_EXTENSION extension = Extension(device);
    if (!EnterPnpRequest(extension)) return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = PassDownAndWait(extension, irp);
        if (!NT_SUCCESS(status)) {
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            break;
        }
        status = UsbStart(extension);
        if (status == STATUS_SUCCESS) {
            SetFlag(&extension->Started, 1);
            SetFlag(&extension->Stopped, 0);
        }
        CompleteRequest(irp, status, 0);
        break;
    case IRP_MN_REMOVE_DEVICE:
        return Remove(device, irp);
    case IRP_MN_SURPRISE_REMOVAL:
        // The camera is gone: what waits for it fails now, and so does
        // anything new, so that programs close their handles and the remove
        // request can follow.
        SetFlag(&extension->SurpriseRemoved, 1);
        EndPendingIo(extension);
        irp->IoStatus.Status = STATUS_SUCCESS;
        status = PassDown(extension, irp);
        break;
    case IRP_MN_STOP_DEVICE:
        SetFlag(&extension->Stopped, 1);
        PassDown(extension, irp);
        status = Deconfigure(extension);
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
        if (capabilities->Version >= 1) {
            status = PassDownAndWait(extension, irp);
            if (NT_SUCCESS(status)) capabilities->SurpriseRemovalOK = TRUE;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        } else {
            status = PassDown(extension, irp);
        }
        break;
    }
    default:
        status = PassDown(extension, irp);
        break;
    }
    DecrementIo(extension);
    return status;
}

namespace {

// The re-configuration is outstanding I/O from its queueing to its end, so
// removal waits for it; it is skipped for a device that is being removed,
// is gone, was never started or is stopped.
extern "C" VOID NTAPI ConfigureWorkItem(PDEVICE_OBJECT device, PVOID context) {
    PDEVICE_EXTENSION extension = Extension(device);
    if (FlagSet(&extension->Started) && !FlagSet(&extension->Stopped) && !FlagSet(&extension->Removing) &&
        !FlagSet(&extension->SurpriseRemoved))
        Configure(extension);
    IoFreeWorkItem(static_cast<PIO_WORKITEM>(context));
    DecrementIo(extension);
}

// Configuration waits for the camera, which a power callback (at dispatch
// level) must not do; a system worker thread does it.
void ConfigureAfterResume(PDEVICE_OBJECT device) {
    PDEVICE_EXTENSION extension = Extension(device);
    if (!EnterRequest(extension)) return;
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    if (item == NULL) {
        DecrementIo(extension);
        return;
    }
    IoQueueWorkItem(item, ConfigureWorkItem, DelayedWorkQueue, item);
}

extern "C" VOID NTAPI DeviceUpComplete(PDEVICE_OBJECT device, UCHAR minorFunction, POWER_STATE state, PVOID context,
                                       PIO_STATUS_BLOCK ioStatus) {
    UNREFERENCED_PARAMETER(minorFunction);
    UNREFERENCED_PARAMETER(state);
    UNREFERENCED_PARAMETER(ioStatus);
    PIRP systemIrp = static_cast<PIRP>(context);
    PoStartNextPowerIrp(systemIrp);
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
    // The camera's pipes are new after a resume.
    ConfigureAfterResume(device);
}

// The system request is held until the device request's callback completes
// it (and starts the next power request for it then); when no device
// request could be made, it completes here.
extern "C" NTSTATUS NTAPI SystemUpComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(context);
    if (NT_SUCCESS(irp->IoStatus.Status)) {
        POWER_STATE state;
        state.DeviceState = PowerDeviceD0;
        if (PoRequestPowerIrp(device, IRP_MN_SET_POWER, state, DeviceUpComplete, irp, NULL) == STATUS_PENDING)
            return STATUS_MORE_PROCESSING_REQUIRED;
    }
    PoStartNextPowerIrp(irp);
    return STATUS_CONTINUE_COMPLETION;
}

extern "C" VOID NTAPI DeviceDownComplete(PDEVICE_OBJECT device, UCHAR minorFunction, POWER_STATE state,
                                         PVOID context, PIO_STATUS_BLOCK ioStatus) {
    UNREFERENCED_PARAMETER(minorFunction);
    UNREFERENCED_PARAMETER(state);
    UNREFERENCED_PARAMETER(ioStatus);
    PIRP systemIrp = static_cast<PIRP>(context);
    // The request may reach us for the physical device object: the lower
    // device is found from the request's own device.
    PDEVICE_EXTENSION extension = Extension(IoGetCurrentIrpStackLocation(systemIrp)->DeviceObject);
    UNREFERENCED_PARAMETER(device);
    PoStartNextPowerIrp(systemIrp);
    IoSkipCurrentIrpStackLocation(systemIrp);
    PoCallDriver(extension->LowerDevice, systemIrp);
}

extern "C" NTSTATUS NTAPI DeviceD0Complete(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(context);
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    PoSetPowerState(device, DevicePowerState, state);
    PoStartNextPowerIrp(irp);
    return STATUS_SUCCESS;
}

NTSTATUS PowerPassDown(PDEVICE_EXTENSION extension, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(extension->LowerDevice, irp);
}

}  // namespace

extern "C" NTSTATUS NTAPI VexDispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_EXTENSION extension = Extension(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_QUERY_POWER) return PowerPassDown(extension, irp);
    if (stack->MinorFunction != IRP_MN_SET_POWER) {
        // Only set and query requests take part in starting the next power request.
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(extension->LowerDevice, irp);
    }

    if (stack->Parameters.Power.Type == SystemPowerState) {
        const SYSTEM_POWER_STATE state = stack->Parameters.Power.State.SystemState;
        if (state == PowerSystemWorking) {
            IoMarkIrpPending(irp);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, SystemUpComplete, NULL, TRUE, TRUE, TRUE);
            PoCallDriver(extension->LowerDevice, irp);
            return STATUS_PENDING;
        }
        if (state >= PowerSystemSleeping1 && state <= PowerSystemHibernate) {
            IoMarkIrpPending(irp);
            POWER_STATE deviceState;
            deviceState.DeviceState = PowerDeviceD3;
            NTSTATUS status =
                PoRequestPowerIrp(extension->PhysicalDevice, IRP_MN_SET_POWER, deviceState, DeviceDownComplete, irp, NULL);
            if (status == STATUS_PENDING) return STATUS_PENDING;
            PowerPassDown(extension, irp);
            return STATUS_PENDING;
        }
        return PowerPassDown(extension, irp);
    }

    const DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
    if (state == PowerDeviceD0) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, DeviceD0Complete, NULL, TRUE, TRUE, TRUE);
        return PoCallDriver(extension->LowerDevice, irp);
    }
    if (state >= PowerDeviceD1 && state <= PowerDeviceD3) {
        PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
        return PowerPassDown(extension, irp);
    }
    return PowerPassDown(extension, irp);
}
