// Device objects, the object namespace they are named in, and device
// stacks, as the rest of the kernel sees them.
//
// One lock, the I/O database lock, guards the namespace, every device's
// bookkeeping, the attachment pointers and the drivers' device lists.
#pragma once

#include <wdm.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tm350::ntos {

// Whether `device` is a device object that has not been freed (it may be
// deleted but still referenced).
bool IsDeviceObject(const DEVICE_OBJECT *device);

// A device object's memory lives while it is referenced: by its creator
// until IoDeleteDevice, by every file object open on it, by the device
// attached above it and by queued work items.
void ReferenceDevice(DEVICE_OBJECT *device);
void DereferenceDevice(DEVICE_OBJECT *device);

// The top of the stack `device` is in (IoGetAttachedDevice), referenced.
DEVICE_OBJECT *ReferenceAttachedTop(DEVICE_OBJECT *device);

// A device's name for messages ("(unnamed)" when it has none).
std::string DeviceNameOf(const DEVICE_OBJECT *device);

// Resolves an object path ("\??\NAME\rest", "\Device\NAME"), following
// symbolic links, to a device object (referenced) and the rest of the
// path. STATUS_OBJECT_NAME_NOT_FOUND, STATUS_OBJECT_PATH_NOT_FOUND or
// STATUS_OBJECT_NAME_INVALID otherwise.
NTSTATUS ReferenceDeviceByPath(std::u16string_view path, DEVICE_OBJECT **device, std::u16string *remainder);

// Reserves and releases a name in the namespace for a driver object.
NTSTATUS InsertDriverName(std::u16string_view name);
void RemoveDriverName(std::u16string_view name);

// What is left of a driver's devices: those not deleted, and those deleted
// but still referenced.
struct DriverDevices {
    std::vector<std::string> present;
    std::vector<std::string> still_referenced;
};
DriverDevices DevicesOf(const DRIVER_OBJECT *driver);

// Clears DO_DEVICE_INITIALIZING on every device of the driver, as the I/O
// manager does for devices created in DriverEntry.
void FinishDeviceInitialization(DRIVER_OBJECT *driver);

// The file-open count (DEVICE_OBJECT::ReferenceCount) with the exclusive
// rule: a DO_EXCLUSIVE device takes one open at a time.
NTSTATUS BeginOpen(DEVICE_OBJECT *device);
void EndOpen(DEVICE_OBJECT *device);

POWER_STATE SetDevicePowerState(DEVICE_OBJECT *device, POWER_STATE_TYPE type, POWER_STATE state);
// The device power state its driver last reported with PoSetPowerState.
DEVICE_POWER_STATE DevicePowerStateOf(DEVICE_OBJECT *device);

// Removal bookkeeping of a device stack, named by its PDO. While removal is
// pending, opens of any device in the stack fail with STATUS_NO_SUCH_DEVICE,
// as the I/O manager fails creates on a stack the PnP manager is removing.
void SetStackRemovalPending(DEVICE_OBJECT *physical_device, bool pending);
// Files open on the devices of the stack.
long OpenFilesOnStack(DEVICE_OBJECT *physical_device);
// Runs `action` once no file is open on the stack: at once, on this thread,
// when none is; otherwise on the thread whose close ends the last open
// (the action must not block: it only hands the work on).
void WhenStackClosed(DEVICE_OBJECT *physical_device, std::function<void()> action);

}  // namespace tm350::ntos
