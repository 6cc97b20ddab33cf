// The PnP and power manager's side of a device stack: what happens to a
// device a bus reports, in the order Windows does it. Each call runs at
// PASSIVE_LEVEL in the caller's thread and returns when the stack has
// completed the request.
//
//   PDEVICE_OBJECT pdo = bus.Plug(camera);
//   StartDevice(pdo, *driver);          // AddDevice, then IRP_MN_START_DEVICE
//   ...
//   bus.Unplug(pdo);
//   RemoveDevice(pdo, Removal::Surprise);
#pragma once

#include <wdm.h>

#include "kernel/driver_loader.h"

namespace tm350::ntos {

// Builds the stack: the function driver's AddDevice for the PDO, then
// IRP_MN_START_DEVICE to the top of the stack. Returns AddDevice's failure,
// or the start's status.
NTSTATUS StartDevice(PDEVICE_OBJECT physical_device, Driver &function_driver);

// One PnP request to the top of the PDO's stack, initialised to
// STATUS_NOT_SUPPORTED as the PnP manager does; returns its final status.
NTSTATUS SendPnp(PDEVICE_OBJECT physical_device, UCHAR minor_function);

// IRP_MN_QUERY_CAPABILITIES with a capabilities record of the given
// version, filled in by the stack.
NTSTATUS QueryCapabilities(PDEVICE_OBJECT physical_device, USHORT version, DEVICE_CAPABILITIES *capabilities);

enum class Removal {
    Orderly,   // IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE
    Surprise,  // the device is gone: IRP_MN_SURPRISE_REMOVAL, then IRP_MN_REMOVE_DEVICE
};
// Tears the stack down; the PDO itself goes too when its bus no longer has
// the device.
NTSTATUS RemoveDevice(PDEVICE_OBJECT physical_device, Removal removal);

// IRP_MN_SET_POWER for a system state (PowerSystemSleeping3 to sleep,
// PowerSystemWorking to resume) to the top of the stack; returns its
// status once the stack, and every device power request it made, is done.
NTSTATUS SetSystemPower(PDEVICE_OBJECT physical_device, SYSTEM_POWER_STATE state);

}  // namespace tm350::ntos
