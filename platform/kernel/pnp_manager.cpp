#include "kernel/pnp_manager.h"

#include "kernel/devices.h"
#include "kernel/driver_loader.h"
#include "kernel/kernel_api.h"
#include "kernel/power.h"
#include "kernel/verifier.h"
#include "kernel/worker_thread.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace tm350::ntos {

namespace {

// The PnP manager's own thread: removals that wait for a stack's last close
// run here, never on the closing thread, which may be the system worker or
// a thread inside the driver's own close path.
WorkerThread &PnpWorker() {
    static auto *worker = new WorkerThread("FlushPnpWork", nullptr);  // never destroyed, like its thread
    return *worker;
}

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
    // PnP and power requests alike start as not supported: a stack that
    // does not handle one reports that.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    fill(next);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    if (major == IRP_MJ_POWER) {
        BeginPowerAccounting(irp);
        PoCallDriver(top, irp);
    } else {
        IoCallDriver(top, irp);
    }
    // The system power request ends when the stack completes it, which a
    // power policy owner does only after its device power request; work
    // items the drivers queued on the way are not waited for.
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    if (major == IRP_MJ_POWER) EndPowerAccounting(irp);
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
    // From here on no new file is opened on the stack.
    SetStackRemovalPending(physical_device, true);
    if (removal == Removal::Orderly) {
        NTSTATUS status = SendPnp(physical_device, IRP_MN_QUERY_REMOVE_DEVICE);
        if (NT_SUCCESS(status) || status == STATUS_NOT_SUPPORTED) {
            // Open handles veto an orderly removal once the stack agreed to it.
            status = OpenFilesOnStack(physical_device) > 0 ? STATUS_DEVICE_BUSY : STATUS_SUCCESS;
        }
        if (!NT_SUCCESS(status)) {
            Log("pnp: removal vetoed with 0x%08X", static_cast<unsigned>(status));
            SendPnp(physical_device, IRP_MN_CANCEL_REMOVE_DEVICE);
            SetStackRemovalPending(physical_device, false);
            DereferenceDevice(physical_device);
            return status;
        }
        status = SendPnp(physical_device, IRP_MN_REMOVE_DEVICE);
        DereferenceDevice(physical_device);
        return status;
    }

    // A device that is gone is told so at once; its stack is removed once
    // the last handle to it has been closed.
    SendPnp(physical_device, IRP_MN_SURPRISE_REMOVAL);
    auto queued = std::make_shared<std::atomic<bool>>(false);
    WhenStackClosed(physical_device, [physical_device, queued] {
        PnpWorker().Queue([physical_device] {
            SendPnp(physical_device, IRP_MN_REMOVE_DEVICE);
            Log("pnp: stack removed after its last close");
            DereferenceDevice(physical_device);
        });
        queued->store(true);
    });
    if (!queued->load()) return STATUS_PENDING;
    PnpWorker().Flush();
    return STATUS_SUCCESS;
}

void FlushPnpWork() { PnpWorker().Flush(); }

namespace {

NTSTATUS SendSystemPower(PDEVICE_OBJECT physical_device, UCHAR minor, SYSTEM_POWER_STATE state) {
    return SendAndWait(physical_device, IRP_MJ_POWER, minor, [&](PIO_STACK_LOCATION stack) {
        stack->Parameters.Power.Type = SystemPowerState;
        stack->Parameters.Power.State.SystemState = state;
        stack->Parameters.Power.ShutdownType = state == PowerSystemWorking ? PowerActionNone : PowerActionSleep;
    });
}

}  // namespace

NTSTATUS SetSystemPower(PDEVICE_OBJECT physical_device, SYSTEM_POWER_STATE state) {
    if (state != PowerSystemWorking) {
        // Sleep is asked first; a stack that refuses keeps the system working.
        const NTSTATUS query = SendSystemPower(physical_device, IRP_MN_QUERY_POWER, state);
        if (!NT_SUCCESS(query)) {
            SendSystemPower(physical_device, IRP_MN_SET_POWER, PowerSystemWorking);
            return query;
        }
    }
    return SendSystemPower(physical_device, IRP_MN_SET_POWER, state);
}

}  // namespace tm350::ntos
