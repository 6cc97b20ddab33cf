// A module without a DllMain, for the loader tests.
#include <windows.h>

extern "C" DECLSPEC_EXPORT int PlainModuleAnswer(void) { return 42; }
