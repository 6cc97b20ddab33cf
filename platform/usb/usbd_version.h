// Test hook of the usbd stand-in: the USB driver interface version that
// USBD_GetUSBDIVersion reports (0x600 unless set), so a test can run a
// driver against an older USB stack.
#pragma once

#include <ntddk.h>

namespace tm350::usb {
void SetUsbdiVersion(ULONG version);
}
