// Securing ranges of a caller's user address space. The machine is one
// Linux process, so a caller's pages are this process's mappings and their
// protection is what /proc/self/maps says (a test makes a buffer read-only
// with mprotect). Windows refuses a range that is not all committed with the
// access asked for; that is kept. It also stops the range from being made
// more restrictive until it is unsecured, which cannot be enforced here.
#include <ntddk.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "kernel/pool.h"
#include "kernel/verifier.h"

namespace tm350::ntos {
namespace {

const ULONG kSecureTag = MakeTag("MmSc");

// True when every byte of [begin, end) is mapped readable, and writable too
// when `write` is set.
bool RangeAccessible(uintptr_t begin, uintptr_t end, bool write) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    uintptr_t covered = begin;  // the mappings are in ascending order
    while (covered < end && std::getline(maps, line)) {
        unsigned long long low = 0, high = 0;
        char permissions[5] = {};
        if (std::sscanf(line.c_str(), "%llx-%llx %4s", &low, &high, permissions) != 3) return false;
        if (high <= covered) continue;
        if (low > covered) return false;  // a hole
        if (permissions[0] != 'r' || (write && permissions[1] != 'w')) return false;
        covered = static_cast<uintptr_t>(high);
    }
    return covered >= end;
}

}  // namespace
}  // namespace tm350::ntos

using namespace tm350::ntos;

extern "C" {

HANDLE NTAPI MmSecureVirtualMemory(PVOID Address, SIZE_T Size, ULONG ProbeMode) {
    RequireIrqlAtMost(APC_LEVEL, "MmSecureVirtualMemory");
    const auto begin = reinterpret_cast<uintptr_t>(Address);
    if (Size == 0 || begin + Size < begin) return nullptr;
    if (ProbeMode != PAGE_READONLY && ProbeMode != PAGE_READWRITE) return nullptr;
    if (!RangeAccessible(begin, begin + Size, ProbeMode == PAGE_READWRITE)) return nullptr;
    // The handle is a pool block of its own, so one never unsecured shows as
    // a leak when the driver unloads.
    return AllocatePool(NonPagedPool, sizeof(uintptr_t), kSecureTag, __builtin_return_address(0),
                        "MmSecureVirtualMemory");
}

VOID NTAPI MmUnsecureVirtualMemory(HANDLE SecureHandle) {
    RequireIrqlAtMost(APC_LEVEL, "MmUnsecureVirtualMemory");
    if (SecureHandle == nullptr) VerifierFailure("MmUnsecureVirtualMemory(NULL)");
    FreePool(SecureHandle, kSecureTag, "MmUnsecureVirtualMemory");
}

}  // extern "C"
