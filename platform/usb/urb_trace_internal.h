// The host controller's side of the request block trace (urb_trace.h).
#pragma once

#include <wdm.h>
#include <usbdi.h>

namespace tm350::usb {
// Records a request block as it arrives, before anything checks it.
void TraceUrb(const URB &urb);
}  // namespace tm350::usb
