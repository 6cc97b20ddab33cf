// A module with a DllMain, for the loader tests. It records each DllMain
// call in the environment variable TM350_PROBE_EVENTS ("attach;detach;"),
// which outlives the module's unloading, and refuses to attach while
// TM350_PROBE_REFUSE_ATTACH is set. While attaching it also tries its
// HINSTANCE with GetModuleFileName and GetProcAddress.
#include <windows.h>

#include <stdlib.h>
#include <string.h>

namespace {

HINSTANCE attached_instance = nullptr;
char attached_path[4096] = "";
BOOL found_itself = FALSE;

void Record(const char *event) {
    char events[256] = "";
    if (const char *previous = getenv("TM350_PROBE_EVENTS")) strncpy(events, previous, sizeof events - 32);
    strcat(events, event);
    setenv("TM350_PROBE_EVENTS", events, 1);
}

}  // namespace

extern "C" {

DECLSPEC_EXPORT HINSTANCE ProbeInstance(void) { return attached_instance; }

DECLSPEC_EXPORT const char *ProbePathSeenInDllMain(void) { return attached_path; }

DECLSPEC_EXPORT BOOL ProbeFoundItselfInDllMain(void) { return found_itself; }

DECLSPEC_EXPORT BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        Record("attach;");
        attached_instance = instance;
        GetModuleFileNameA(instance, attached_path, sizeof attached_path);
        found_itself = GetProcAddress(instance, "ProbeInstance") == reinterpret_cast<FARPROC>(&ProbeInstance);
        return getenv("TM350_PROBE_REFUSE_ATTACH") == nullptr;
    }
    if (reason == DLL_PROCESS_DETACH) Record("detach;");
    return TRUE;
}

}  // extern "C"
