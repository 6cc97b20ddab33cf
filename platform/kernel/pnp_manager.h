// The PnP and power manager's side of a device stack: what happens to a
// device a bus reports, in the order Windows does it. Each call runs at
// PASSIVE_LEVEL in the caller's thread and returns when the stack has
// completed the request.
//
//   PDEVICE_OBJECT pdo = bus.Plug(camera);
//   StartDevice(pdo, *driver);          // AddDevice, then IRP_MN_START_DEVICE
//   ...
//   bus.Unplug(pdo);
//   RemoveDevice(pdo, Removal::Surprise);   // IRP_MN_REMOVE_DEVICE after the last close
#pragma once

#include <wdm.h>

namespace tm350::ntos {

class Driver;  // driver_loader.h

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
    // IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE. A stack that
    // fails the query, or has files open once it agreed, vetoes the removal
    // (STATUS_DEVICE_BUSY for open files) and gets IRP_MN_CANCEL_REMOVE_DEVICE.
    Orderly,
    // The device is gone: IRP_MN_SURPRISE_REMOVAL at once, and
    // IRP_MN_REMOVE_DEVICE once the last file open on the stack has been
    // closed (CLEANUP and CLOSE reach the stack in between).
    Surprise,
};
// Tears the stack down; the PDO itself goes too when its bus no longer has
// the device. Opens of the stack fail with STATUS_NO_SUCH_DEVICE from the
// start of the removal on (until a veto). A surprise removal returns
// STATUS_PENDING when files are open: the PnP manager's worker thread sends
// the remove request after the last close.
NTSTATUS RemoveDevice(PDEVICE_OBJECT physical_device, Removal removal);
// Returns once every remove request that a last close has released so far
// has been handled.
void FlushPnpWork();

// IRP_MN_SET_POWER for a system state (PowerSystemSleeping3 to sleep,
// PowerSystemWorking to resume) to the top of the stack, preceded by
// IRP_MN_QUERY_POWER for a sleeping state (a refusal returns its status and
// confirms the working state instead). Returns once the stack has completed
// the system request; work items its drivers queued may still run.
NTSTATUS SetSystemPower(PDEVICE_OBJECT physical_device, SYSTEM_POWER_STATE state);

}  // namespace tm350::ntos
