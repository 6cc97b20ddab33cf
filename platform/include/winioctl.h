// Device input and output control codes for user mode: DeviceIoControl's
// code layout (CTL_CODE), device types, methods and access values.
#pragma once

#include <winnt.h>
#include <devioctl.h>
