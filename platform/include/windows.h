// The Win32 API as this platform provides it.
#pragma once

#include <stdarg.h>
#include <winnt.h>
#include <winerror.h>
#include <winbase.h>
#include <winnls.h>
#include <windef.h>
#include <winreg.h>
