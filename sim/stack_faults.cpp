// The lower filter of stack_faults.h. Its dispatch routines run in the
// driver's threads; its state is guarded by its own mutex, never held while
// it calls the kernel.
#include "sim/stack_faults.h"

extern "C" {
#include <usb.h>
#include <usbioctl.h>
}

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "kernel/driver_loader.h"

namespace tm350::sim {

class StackFaults {
public:
    PDEVICE_OBJECT self = nullptr;
    PDEVICE_OBJECT lower = nullptr;

    std::mutex mutex;
    std::condition_variable changed;
    Hold hold = Hold::Off;    // guarded by mutex
    bool fail_start = false;  // guarded by mutex
    size_t aborts = 0;        // guarded by mutex
    std::vector<PIRP> held;   // guarded by mutex; with a cancel routine unless stuck
};

namespace {

// Never destroyed at exit: a program may end with cameras plugged, and the
// filter is unloaded only by a machine that stops (UnloadStackFaultDriver).
std::unique_ptr<ntos::Driver> &g_driver = *new std::unique_ptr<ntos::Driver>;

StackFaults &FaultsOf(PDEVICE_OBJECT device) { return **static_cast<StackFaults **>(device->DeviceExtension); }

NTSTATUS PassOn(StackFaults &faults, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(faults.lower, irp);
}

void CompleteHeld(PIRP irp, NTSTATUS status, USBD_STATUS usb) {
    auto *urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = usb;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Takes the held requests whose cancel routine has not started; those that
// are being cancelled are completed by their cancel routine.
// The hold ends with it.
std::vector<PIRP> ClaimHeld(StackFaults &faults) {
    std::vector<PIRP> claimed;
    std::lock_guard lock(faults.mutex);
    for (PIRP irp : faults.held)
        if (IoSetCancelRoutine(irp, nullptr) != nullptr || faults.hold == Hold::Stuck) claimed.push_back(irp);
    faults.held.clear();
    faults.hold = Hold::Off;
    faults.changed.notify_all();
    return claimed;
}

extern "C" VOID NTAPI CancelHeld(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    StackFaults &faults = FaultsOf(device);
    {
        std::lock_guard lock(faults.mutex);
        faults.held.erase(std::remove(faults.held.begin(), faults.held.end(), irp), faults.held.end());
        faults.changed.notify_all();
    }
    CompleteHeld(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
}

bool IsControlTransfer(const URB &urb) {
    switch (urb.UrbHeader.Function) {
    case URB_FUNCTION_CONTROL_TRANSFER:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: return true;
    default: return false;
    }
}

extern "C" NTSTATUS NTAPI FilterInternalControl(PDEVICE_OBJECT device, PIRP irp) {
    StackFaults &faults = FaultsOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto *urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB || urb == nullptr)
        return PassOn(faults, irp);
    std::unique_lock lock(faults.mutex);
    if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        ++faults.aborts;
        faults.changed.notify_all();
    }
    if (faults.hold == Hold::Off || !IsControlTransfer(*urb)) {
        lock.unlock();
        return PassOn(faults, irp);
    }
    IoMarkIrpPending(irp);
    if (faults.hold == Hold::Stuck) {
        faults.held.push_back(irp);
        faults.changed.notify_all();
        return STATUS_PENDING;
    }
    IoSetCancelRoutine(irp, CancelHeld);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        lock.unlock();
        CompleteHeld(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        return STATUS_PENDING;
    }
    faults.held.push_back(irp);
    faults.changed.notify_all();
    return STATUS_PENDING;
}

extern "C" NTSTATUS NTAPI FilterPnp(PDEVICE_OBJECT device, PIRP irp) {
    StackFaults &faults = FaultsOf(device);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        bool fail;
        {
            std::lock_guard lock(faults.mutex);
            fail = faults.fail_start;
            faults.fail_start = false;
        }
        if (!fail) return PassOn(faults, irp);
        irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_UNSUCCESSFUL;
    }
    case IRP_MN_REMOVE_DEVICE: {
        // What is still held goes as the bus fails requests for a device it lost.
        for (PIRP held : ClaimHeld(faults)) CompleteHeld(held, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
        PDEVICE_OBJECT lower = faults.lower;
        const NTSTATUS status = PassOn(faults, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    default: return PassOn(faults, irp);
    }
}

extern "C" NTSTATUS NTAPI FilterPower(PDEVICE_OBJECT device, PIRP irp) {
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(FaultsOf(device).lower, irp);
}

extern "C" NTSTATUS NTAPI FilterPassOn(PDEVICE_OBJECT device, PIRP irp) { return PassOn(FaultsOf(device), irp); }

// Its devices go with their stacks; unloadable, so that a machine started
// again loads it afresh.
extern "C" VOID NTAPI FilterUnload(PDRIVER_OBJECT) {}

extern "C" NTSTATUS NTAPI FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = FilterUnload;
    for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction) dispatch = FilterPassOn;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = FilterInternalControl;
    driver->MajorFunction[IRP_MJ_PNP] = FilterPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FilterPower;
    return STATUS_SUCCESS;
}

}  // namespace

bool LoadStackFaultDriver() {
    ntos::DriverLoad load = ntos::LoadBuiltinDriver(u"tm350faults", FilterEntry);
    if (!NT_SUCCESS(load.status)) return false;
    g_driver = std::move(load.driver);
    return true;
}

void UnloadStackFaultDriver() { g_driver.reset(); }

StackFaults *AttachStackFaults(PDEVICE_OBJECT physical_device) {
    if (!g_driver) return nullptr;
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(g_driver->Object(), sizeof(StackFaults *), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                   &device)))
        return nullptr;
    auto *faults = new StackFaults;
    faults->self = device;
    *static_cast<StackFaults **>(device->DeviceExtension) = faults;
    faults->lower = IoAttachDeviceToDeviceStack(device, physical_device);
    if (faults->lower == nullptr) {
        IoDeleteDevice(device);
        delete faults;
        return nullptr;
    }
    device->Flags |= faults->lower->Flags & (DO_POWER_PAGABLE | DO_DIRECT_IO | DO_BUFFERED_IO);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return faults;
}

void FreeStackFaults(StackFaults *faults) { delete faults; }

void HoldControlTransfers(StackFaults &faults, Hold hold) {
    if (hold != Hold::Off) {
        std::lock_guard lock(faults.mutex);
        faults.hold = hold;
        return;
    }
    for (PIRP irp : ClaimHeld(faults)) PassOn(faults, irp);
}

void WaitForPipeAborts(StackFaults &faults, size_t count) {
    std::unique_lock lock(faults.mutex);
    faults.changed.wait(lock, [&] { return faults.aborts >= count; });
}

void WaitForHeldTransfers(StackFaults &faults, size_t count) {
    std::unique_lock lock(faults.mutex);
    faults.changed.wait(lock, [&] { return faults.held.size() >= count; });
}

void FailNextStart(StackFaults &faults) {
    std::lock_guard lock(faults.mutex);
    faults.fail_start = true;
}

}  // namespace tm350::sim
