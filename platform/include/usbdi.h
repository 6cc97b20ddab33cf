// The USB driver interface: request blocks and the internal control codes.
// Include after the kernel headers (<wdm.h> or <ntddk.h>).
#pragma once

#include <usb.h>
#include <usbioctl.h>
