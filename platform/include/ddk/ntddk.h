// The NT driver interface: everything of wdm.h, and the few services beyond
// WDM that ntddk.h adds on Windows and this system's driver uses.
#pragma once

#include <wdm.h>

EXTERN_C_START

// Secures a range of the caller's user address space: null when the range is
// not all committed with at least the access ProbeMode names (PAGE_READWRITE
// or PAGE_READONLY). Unlike a probe, it never raises.
NTKERNELAPI HANDLE NTAPI MmSecureVirtualMemory(PVOID Address, SIZE_T Size, ULONG ProbeMode);
NTKERNELAPI VOID NTAPI MmUnsecureVirtualMemory(HANDLE SecureHandle);

EXTERN_C_END
