// The module-wide state recorded when the filter module is loaded.
#pragma once

#include <windows.h>

// The module's own instance: its dialogs and strings load from here.
extern HINSTANCE g_hInst;
// The platform id the system reported at load (VER_PLATFORM_WIN32_NT ...).
extern DWORD g_amPlatform;

// The framework's half of the module entry; the module's DllMain calls it for
// every reason after doing its own work. Always returns TRUE.
BOOL WINAPI DllEntryPoint(HINSTANCE hInstance, ULONG ulReason, LPVOID pv);
