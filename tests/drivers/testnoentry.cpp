// A module that is no driver: it exports no DriverEntry.
#include <wdm.h>

extern "C" ULONG NotADriver() { return 1; }
