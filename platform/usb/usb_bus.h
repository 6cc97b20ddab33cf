// The USB host side of the simulated machine: one bus with a host controller
// and hot-plug ports, seen by drivers as the stack below their device.
//
// Each plugged device gets a physical device object (PDO) of the built-in
// bus driver "\Driver\tm350usb". A function driver attached above it sends
// URBs with IOCTL_INTERNAL_USB_SUBMIT_URB and port resets with
// IOCTL_INTERNAL_USB_RESET_PORT, as on Windows.
//
// The host controller runs on a thread of its own, frame by frame (1 ms per
// frame in real time, a tenth of that in fast timing). In every frame it
// signals start of frame to each device, then runs transactions: control
// transfers, bulk and interrupt packets up to the endpoint's maximum packet
// size (a short packet ends an IN transfer), isochronous packets. Requests
// complete from that thread at DISPATCH_LEVEL, in order per pipe. Queued
// requests can be cancelled (IoCancelIrp) and aborted (URB_FUNCTION_ABORT_PIPE).
// A halting error (stall, transaction error, babble) halts a bulk or
// interrupt endpoint until the pipe is reset; a device that is unplugged
// fails what it had in flight with transaction errors.
//
// Only requests that do not touch the device (frame number, abort) complete
// in the caller's thread.
#pragma once

#include <wdm.h>

#include <cstdint>

#include "usb/usb_device.h"

namespace tm350::usb {

enum class FrameTiming : uint8_t {
    Real,  // 1 ms per bus frame
    Fast,  // 0.1 ms per bus frame: everything the devices do runs ten times faster
};

// Counters of the host side, for tests.
struct BusCounters {
    uint64_t frames = 0;
    uint64_t transfers_completed = 0;
    uint64_t transfers_cancelled = 0;
    uint64_t transfers_failed = 0;
};

// The bus. One per process at most (its driver object is a singleton);
// constructing it loads the bus driver and starts the host controller.
class UsbBus {
public:
    explicit UsbBus(FrameTiming timing);
    // Stops the host controller. Every port must have been removed.
    ~UsbBus();
    // Stops the host controller where it is, ports and all: for the end of
    // the process, so that no frame runs while the libraries go away.
    void Halt();
    UsbBus(const UsbBus &) = delete;
    UsbBus &operator=(const UsbBus &) = delete;

    // Enumerates the device on a free port (reset, address, descriptors) and
    // returns its new physical device object, or null when the device does
    // not answer enumeration. The caller (the PnP manager) builds the device
    // stack on it. The device must outlive the PDO.
    PDEVICE_OBJECT Plug(UsbDevice &device);

    // The device leaves its port: it answers nothing any more. Its queued
    // transfers have failed and completed when this returns (the one in flight on each
    // data endpoint with USBD_STATUS_XACT_ERROR, halting the endpoint, those
    // behind it with USBD_STATUS_ENDPOINT_HALTED), and new requests fail at
    // once with USBD_STATUS_DEVICE_GONE. The PDO lives on until the PnP
    // manager removes its stack (IRP_MN_REMOVE_DEVICE).
    void Unplug(PDEVICE_OBJECT physical_device);

    // The device behind a PDO of this bus, or null.
    UsbDevice *DeviceOf(PDEVICE_OBJECT physical_device) const;

    uint32_t FrameNumber() const;
    // Returns once `frames` more bus frames have run.
    void WaitFrames(uint32_t frames);
    BusCounters Counters() const;

    DRIVER_OBJECT *Driver() const;

    struct State;

private:
    State *state_;
};

}  // namespace tm350::usb
