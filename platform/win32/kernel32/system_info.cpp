// System information and the default languages. Tests steer both through
// the environment, read on every call:
//   TM350_PROCESSORS  the processor count GetSystemInfo reports (at least 1,
//                     at most the 64 bits of the processor mask);
//   TM350_LANGID      the language id of the user, system and UI defaults,
//                     hex with a 0x prefix ("0x0804") or decimal.
#include <windows.h>

#include "kernel32/environment.h"

#include <unistd.h>

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace {

constexpr DWORD kMaximumProcessors = sizeof(DWORD_PTR) * 8;  // the width of dwActiveProcessorMask
constexpr LANGID kDefaultLanguage = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

DWORD ProcessorCount() {
    auto configured = tm350::kernel::ReadEnvironmentNumber("TM350_PROCESSORS");
    long count = configured && *configured >= 1 ? static_cast<long>(std::min<unsigned long>(*configured, 1000))
                                                : sysconf(_SC_NPROCESSORS_ONLN);
    if (count < 1) count = 1;
    return static_cast<DWORD>(std::min<long>(count, kMaximumProcessors));
}

LANGID DefaultLanguage() {
    auto configured = tm350::kernel::ReadEnvironmentNumber("TM350_LANGID");
    if (!configured || *configured == 0 || *configured > 0xFFFF) return kDefaultLanguage;
    return static_cast<LANGID>(*configured);
}

void FillProcessorIdentity(SYSTEM_INFO &info) {
#if defined(__x86_64__) || defined(__i386__)
    // Family and model as Windows derives them from CPUID leaf 1.
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
        unsigned stepping = eax & 0xF;
        unsigned model = (eax >> 4) & 0xF;
        unsigned family = (eax >> 8) & 0xF;
        if (family == 0xF) family += (eax >> 20) & 0xFF;
        if (family == 0x6 || family >= 0xF) model += ((eax >> 16) & 0xF) << 4;
        info.wProcessorLevel = static_cast<WORD>(family);
        info.wProcessorRevision = static_cast<WORD>((model << 8) | stepping);
    }
#endif
}

}  // namespace

extern "C" {

void WINAPI GetSystemInfo(LPSYSTEM_INFO lpSystemInfo) {
    SYSTEM_INFO info{};
#if defined(__x86_64__)
    info.wProcessorArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
    info.dwProcessorType = PROCESSOR_AMD_X8664;
#elif defined(__aarch64__)
    info.wProcessorArchitecture = PROCESSOR_ARCHITECTURE_ARM64;
#else
    info.wProcessorArchitecture = PROCESSOR_ARCHITECTURE_INTEL;
    info.dwProcessorType = PROCESSOR_INTEL_PENTIUM;
#endif
    info.dwPageSize = static_cast<DWORD>(sysconf(_SC_PAGESIZE));
    // The user-mode address range and allocation granularity of 64-bit Windows.
    info.lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(0x10000);
    info.lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(sizeof(void *) == 8 ? 0x7FFFFFFEFFFFULL : 0x7FFEFFFFULL);
    info.dwAllocationGranularity = 0x10000;
    info.dwNumberOfProcessors = ProcessorCount();
    info.dwActiveProcessorMask =
        info.dwNumberOfProcessors >= kMaximumProcessors ? ~DWORD_PTR{0} : (DWORD_PTR{1} << info.dwNumberOfProcessors) - 1;
    FillProcessorIdentity(info);
    *lpSystemInfo = info;
}

LANGID WINAPI GetUserDefaultLangID(void) { return DefaultLanguage(); }

LANGID WINAPI GetSystemDefaultLangID(void) { return DefaultLanguage(); }

LANGID WINAPI GetUserDefaultUILanguage(void) { return DefaultLanguage(); }

// Windows reports 6.2 (build 9200) to every program that does not declare
// a newer system in a manifest, which a loaded module cannot do; a record
// whose size field is not the record's size fails with
// ERROR_INSUFFICIENT_BUFFER.
BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW lpVersionInformation) {
    if (lpVersionInformation == nullptr || lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    lpVersionInformation->dwMajorVersion = 6;
    lpVersionInformation->dwMinorVersion = 2;
    lpVersionInformation->dwBuildNumber = 9200;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    lpVersionInformation->szCSDVersion[0] = 0;
    return TRUE;
}

}  // extern "C"
