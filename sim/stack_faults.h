// Faults of the USB stack below a camera's function driver: a lower filter
// device that the machine attaches to each camera's PDO before the driver's
// AddDevice, as Windows loads lower filters first. It passes everything on
// unchanged until a test asks it to
//   - hold control transfers: each request block for the camera's default
//     pipe stays pending, as one the camera never answers would (the host
//     retries a NAKed control transfer for ever), until it is cancelled or
//     the hold is lifted, when it goes on to the bus; a stuck hold ignores
//     cancellation too;
//   - fail the next IRP_MN_START_DEVICE, as a lower driver whose start fails.
#pragma once

#include <wdm.h>

#include <cstddef>

namespace tm350::sim {

class StackFaults;

// Loads the filter driver; once per machine. False when it did not load.
bool LoadStackFaultDriver();
// Unloads it; every filter device must be gone (removed with its stack).
void UnloadStackFaultDriver();

// Attaches a filter device to the PDO; null when that failed. The filter
// device goes with the stack's IRP_MN_REMOVE_DEVICE; the faults object stays
// (holding nothing) until it is freed, after that.
StackFaults *AttachStackFaults(PDEVICE_OBJECT physical_device);
void FreeStackFaults(StackFaults *faults);

enum class Hold { Off, Cancellable, Stuck };
void HoldControlTransfers(StackFaults &faults, Hold hold);
// Waits until `count` control transfers are held at once.
void WaitForHeldTransfers(StackFaults &faults, size_t count);
// Waits until the driver has sent `count` abort-pipe requests in all.
void WaitForPipeAborts(StackFaults &faults, size_t count);
void FailNextStart(StackFaults &faults);

}  // namespace tm350::sim
