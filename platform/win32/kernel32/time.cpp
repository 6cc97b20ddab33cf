// Sleep, tick counts and the performance counter, all on CLOCK_MONOTONIC
// (the clock waits use too), so intervals measured with any of them agree.
#include <windows.h>

#include <sched.h>
#include <time.h>

#include <chrono>
#include <thread>

namespace {

ULONGLONG MonotonicNanoseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<ULONGLONG>(now.tv_sec) * 1000000000ULL + static_cast<ULONGLONG>(now.tv_nsec);
}

// The 10 MHz Windows reports on current hardware: fine enough for any
// measurement, and callers that scale an absolute count by a million
// (count * 1000000 / frequency) stay clear of overflow for weeks.
constexpr LONGLONG kPerformanceFrequency = 10000000;

}  // namespace

extern "C" {

void WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

ULONGLONG WINAPI GetTickCount64(void) { return MonotonicNanoseconds() / 1000000; }

DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(GetTickCount64()); }

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *lpPerformanceCount) {
    if (lpPerformanceCount == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    lpPerformanceCount->QuadPart = static_cast<LONGLONG>(MonotonicNanoseconds() / (1000000000 / kPerformanceFrequency));
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *lpFrequency) {
    if (lpFrequency == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    lpFrequency->QuadPart = kPerformanceFrequency;
    return TRUE;
}

}  // extern "C"
