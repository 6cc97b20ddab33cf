// Critical sections, with the fields keeping their classic meaning:
//   LockCount       -1 when free; otherwise the number of EnterCriticalSection
//                   calls not yet matched by a Leave, minus one (so it counts
//                   the waiting threads plus the owner's recursive entries);
//   RecursionCount  how many times the owner has entered;
//   OwningThread    the owner's thread id cast to HANDLE, or NULL;
//   LockSemaphore   the wait queue where contending threads sleep.
// An uncontended Enter/Leave is one atomic operation on LockCount; only a
// thread that finds the section taken sleeps in the wait queue, and a
// leaving owner that sees waiters hands one of them a wake-up permit.
#include "kernel32/log.h"
#include "kernel32/threads.h"

#include <condition_variable>
#include <mutex>

namespace tm350::kernel {
namespace {

// A counting semaphore: each Release lets exactly one Acquire through,
// whether it comes before or after.
class CriticalSectionWaitQueue {
public:
    void Acquire() {
        std::unique_lock lock(mutex_);
        permit_given_.wait(lock, [this] { return permits_ > 0; });
        --permits_;
    }

    void Release() {
        {
            std::lock_guard lock(mutex_);
            ++permits_;
        }
        permit_given_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable permit_given_;
    unsigned permits_ = 0;  // guarded by mutex_
};

CriticalSectionWaitQueue &WaitQueueOf(LPCRITICAL_SECTION section) {
    return *static_cast<CriticalSectionWaitQueue *>(section->LockSemaphore);
}

HANDLE CurrentOwnerValue() { return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(CurrentThreadId())); }

// OwningThread is read by threads that do not own the section, to learn
// whether they do; only the owner writes it.
HANDLE LoadOwner(LPCRITICAL_SECTION section) { return __atomic_load_n(&section->OwningThread, __ATOMIC_RELAXED); }
void StoreOwner(LPCRITICAL_SECTION section, HANDLE owner) {
    __atomic_store_n(&section->OwningThread, owner, __ATOMIC_RELAXED);
}

void BecomeOwner(LPCRITICAL_SECTION section, HANDLE me) {
    StoreOwner(section, me);
    section->RecursionCount = 1;
}

}  // namespace
}  // namespace tm350::kernel

using namespace tm350::kernel;

extern "C" {

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount) {
    lpCriticalSection->DebugInfo = nullptr;
    lpCriticalSection->LockCount = -1;
    lpCriticalSection->RecursionCount = 0;
    lpCriticalSection->OwningThread = nullptr;
    lpCriticalSection->LockSemaphore = new CriticalSectionWaitQueue;
    // Kept for callers that read it back; waiting threads sleep at once.
    lpCriticalSection->SpinCount = dwSpinCount & 0x00FFFFFF;
    return TRUE;
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    InitializeCriticalSectionAndSpinCount(lpCriticalSection, 0);
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    delete static_cast<CriticalSectionWaitQueue *>(lpCriticalSection->LockSemaphore);
    lpCriticalSection->LockSemaphore = nullptr;
    lpCriticalSection->LockCount = -1;
    lpCriticalSection->RecursionCount = 0;
    lpCriticalSection->OwningThread = nullptr;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    HANDLE me = CurrentOwnerValue();
    if (InterlockedIncrement(&lpCriticalSection->LockCount) == 0) {
        BecomeOwner(lpCriticalSection, me);
        return;
    }
    if (LoadOwner(lpCriticalSection) == me) {
        ++lpCriticalSection->RecursionCount;
        return;
    }
    WaitQueueOf(lpCriticalSection).Acquire();
    BecomeOwner(lpCriticalSection, me);
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    HANDLE me = CurrentOwnerValue();
    if (InterlockedCompareExchange(&lpCriticalSection->LockCount, 0, -1) == -1) {
        BecomeOwner(lpCriticalSection, me);
        return TRUE;
    }
    if (LoadOwner(lpCriticalSection) == me) {
        InterlockedIncrement(&lpCriticalSection->LockCount);
        ++lpCriticalSection->RecursionCount;
        return TRUE;
    }
    return FALSE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (LoadOwner(lpCriticalSection) != CurrentOwnerValue()) {
        // Windows leaves this undefined; refusing keeps the section intact
        // for its real owner.
        Log("LeaveCriticalSection(%p) by thread %u, which does not own it", static_cast<void *>(lpCriticalSection),
            CurrentThreadId());
        return;
    }
    if (--lpCriticalSection->RecursionCount > 0) {
        InterlockedDecrement(&lpCriticalSection->LockCount);
        return;
    }
    StoreOwner(lpCriticalSection, nullptr);
    if (InterlockedDecrement(&lpCriticalSection->LockCount) >= 0) WaitQueueOf(lpCriticalSection).Release();
}

}  // extern "C"
