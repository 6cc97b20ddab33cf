#include "kernel/pnp_manager.h"

#include "kernel/devices.h"
#include "kernel/kernel_api.h"
#include "kernel/verifier.h"

namespace tm350::ntos {

namespace {

extern "C" NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a request the caller prepared in `fill` to the top of the stack and
// waits for it; the request is the manager's, freed here.
template <typename Fill>
NTSTATUS SendAndWait(PDEVICE_OBJECT physical_device, UCHAR major, UCHAR minor, Fill fill) {
    DEVICE_OBJECT *top = ReferenceAttachedTop(physical_device);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        DereferenceDevice(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    fill(next);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    if (major == IRP_MJ_POWER)
        PoCallDriver(top, irp);
    else
        IoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    // Device power requests made at DISPATCH_LEVEL finish on the system
    // worker; the system request is only over when they are.
    FlushSystemWorker();
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    DereferenceDevice(top);
    return status;
}

}  // namespace

NTSTATUS SendPnp(PDEVICE_OBJECT physical_device, UCHAR minor_function) {
    return SendAndWait(physical_device, IRP_MJ_PNP, minor_function, [](PIO_STACK_LOCATION) {});
}

NTSTATUS StartDevice(PDEVICE_OBJECT physical_device, Driver &function_driver) {
    DRIVER_OBJECT *driver = function_driver.Object();
    if (driver->DriverExtension->AddDevice == nullptr) return STATUS_NOT_SUPPORTED;
    NTSTATUS status = driver->DriverExtension->AddDevice(driver, physical_device);
    if (!NT_SUCCESS(status)) {
        Log("pnp: AddDevice failed with 0x%08X", static_cast<unsigned>(status));
        return status;
    }
    status = SendPnp(physical_device, IRP_MN_START_DEVICE);
    Log("pnp: device started with 0x%08X", static_cast<unsigned>(status));
    return status;
}

NTSTATUS QueryCapabilities(PDEVICE_OBJECT physical_device, USHORT version, DEVICE_CAPABILITIES *capabilities) {
    RtlZeroMemory(capabilities, sizeof(*capabilities));
    capabilities->Size = sizeof(*capabilities);
    capabilities->Version = version;
    capabilities->Address = 0xFFFFFFFF;
    capabilities->UINumber = 0xFFFFFFFF;
    return SendAndWait(physical_device, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION stack) {
        stack->Parameters.DeviceCapabilities.Capabilities = capabilities;
    });
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT physical_device, Removal removal) {
    // The remove request can delete the PDO; keep it referenced until done.
    ReferenceDevice(physical_device);
    NTSTATUS status;
    if (removal == Removal::Surprise) {
        SendPnp(physical_device, IRP_MN_SURPRISE_REMOVAL);
    } else {
        status = SendPnp(physical_device, IRP_MN_QUERY_REMOVE_DEVICE);
        if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED) {
            SendPnp(physical_device, IRP_MN_CANCEL_REMOVE_DEVICE);
            DereferenceDevice(physical_device);
            return status;
        }
    }
    status = SendPnp(physical_device, IRP_MN_REMOVE_DEVICE);
    DereferenceDevice(physical_device);
    return status;
}

NTSTATUS SetSystemPower(PDEVICE_OBJECT physical_device, SYSTEM_POWER_STATE state) {
    return SendAndWait(physical_device, IRP_MJ_POWER, IRP_MN_SET_POWER, [&](PIO_STACK_LOCATION stack) {
        stack->Parameters.Power.Type = SystemPowerState;
        stack->Parameters.Power.State.SystemState = state;
        stack->Parameters.Power.ShutdownType = state == PowerSystemWorking ? PowerActionNone : PowerActionSleep;
    });
}

}  // namespace tm350::ntos
