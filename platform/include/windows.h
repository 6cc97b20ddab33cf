// The Win32 API as this platform provides it.
#pragma once

#include <stdarg.h>
#include <winnt.h>
#include <winerror.h>
#include <winbase.h>
#include <windef.h>
#include <wingdi.h>
#include <winuser.h>
#include <winnls.h>
#include <winreg.h>
