// The USB driver interface: request blocks and the internal control codes.
// Include after the kernel headers (<wdm.h> or <ntddk.h>).
#pragma once

#include <usb.h>
#include <usbioctl.h>

// A status whose two top bits are set reports an error that left the
// endpoint halted: transfers on it fail until the pipe is reset.
#define USBD_HALTED(Status) ((ULONG)(Status) >> 30 == 3)
