// Per-thread kernel state, IRQL and spin locks.
//
// IRQL is a property of the thread here: raising it does not stop the
// scheduler, but it does change what the thread may do, and the verifier
// checks exactly those rules (no waiting, no paged pool, no dispatch to
// pageable code at DISPATCH_LEVEL and above).
#include "kernel/kernel_thread.h"

#include "kernel/kernel_api.h"
#include "kernel/verifier.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>

namespace tm350::ntos {

namespace {

std::map<ULONG, KernelThread *> &Threads() {  // guarded by the dispatcher lock
    static auto *threads = new std::map<ULONG, KernelThread *>;
    return *threads;
}

std::atomic<void (*)(ULONG)> g_exit_hook{nullptr};

ULONG LinuxThreadId() { return static_cast<ULONG>(syscall(SYS_gettid)); }

KSPIN_LOCK g_cancel_spin_lock = 0;

void AcquireSpinLock(PKSPIN_LOCK lock, const char *routine) {
    KernelThread &thread = CurrentThread();
    const ULONG_PTR owner = thread.id;
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == owner) {
        VerifierFailure("%s: spin lock %p is already held by this thread (it would spin for ever)", routine,
                        static_cast<void *>(lock));
    }
    unsigned spins = 0;
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, owner, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
        // The holder may be descheduled here (a raised IRQL does not stop
        // the scheduler), so give way instead of burning the core.
        if (++spins > 64) std::this_thread::yield();
    }
    ++thread.spin_locks_held;
}

void ReleaseSpinLock(PKSPIN_LOCK lock, const char *routine) {
    KernelThread &thread = CurrentThread();
    const ULONG_PTR owner = thread.id;
    ULONG_PTR value = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (value != owner) {
        if (value == 0) VerifierFailure("%s: spin lock %p is not held", routine, static_cast<void *>(lock));
        VerifierFailure("%s: spin lock %p is held by thread %lu, not by this thread %lu", routine,
                        static_cast<void *>(lock), static_cast<unsigned long>(value),
                        static_cast<unsigned long>(owner));
    }
    --thread.spin_locks_held;
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

}  // namespace

KernelThread::KernelThread() : id(LinuxThreadId()) {
    std::lock_guard lock(DispatcherMutex());
    Threads()[id] = this;
}

KernelThread::~KernelThread() {
    if (auto hook = g_exit_hook.load()) hook(id);
    if (spin_locks_held > 0) VerifierFailure("thread %u ended holding %d spin lock(s)", id, spin_locks_held);
    if (irql != PASSIVE_LEVEL) VerifierFailure("thread %u ended at IRQL %u", id, irql);
    std::lock_guard lock(DispatcherMutex());
    Threads().erase(id);
}

KernelThread &CurrentThread() {
    thread_local KernelThread thread;
    return thread;
}

ULONG CurrentThreadId() { return CurrentThread().id; }

std::mutex &DispatcherMutex() {
    // Never destroyed: threads may still wait while the process exits.
    static auto *mutex = new std::mutex;
    return *mutex;
}

void SetThreadExitHook(void (*hook)(ULONG)) { g_exit_hook.store(hook); }

bool ThreadIsWaiting(ULONG thread_id) {
    std::lock_guard lock(DispatcherMutex());
    auto found = Threads().find(thread_id);
    return found != Threads().end() && found->second->wait != nullptr;
}

bool AlertThread(ULONG thread_id) {
    std::lock_guard lock(DispatcherMutex());
    auto found = Threads().find(thread_id);
    if (found == Threads().end()) return false;
    KernelThread &thread = *found->second;
    if (!AlertWaitingThread(thread)) thread.alert_pending = true;
    return true;
}

}  // namespace tm350::ntos

using namespace tm350::ntos;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID) { return CurrentThread().irql; }

KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql) {
    KernelThread &thread = CurrentThread();
    if (NewIrql < thread.irql) {
        VerifierFailure("KeRaiseIrql to IRQL %u, below the current IRQL %u", NewIrql, thread.irql);
    }
    if (NewIrql > HIGH_LEVEL) VerifierFailure("KeRaiseIrql to IRQL %u, above HIGH_LEVEL", NewIrql);
    KIRQL old = thread.irql;
    thread.irql = NewIrql;
    return old;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
    KernelThread &thread = CurrentThread();
    if (NewIrql > thread.irql) {
        VerifierFailure("KeLowerIrql to IRQL %u, above the current IRQL %u", NewIrql, thread.irql);
    }
    if (NewIrql < DISPATCH_LEVEL && thread.spin_locks_held > 0) {
        VerifierFailure("KeLowerIrql to IRQL %u while holding %d spin lock(s)", NewIrql, thread.spin_locks_held);
    }
    thread.irql = NewIrql;
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID) { return KfRaiseIrql(DISPATCH_LEVEL); }

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock");
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    AcquireSpinLock(SpinLock, "KeAcquireSpinLock");
    return old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    ReleaseSpinLock(SpinLock, "KeReleaseSpinLock");
    KeLowerIrql(NewIrql);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        VerifierFailure("KeAcquireSpinLockAtDpcLevel called at IRQL %u; it needs DISPATCH_LEVEL", KeGetCurrentIrql());
    }
    AcquireSpinLock(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    ReleaseSpinLock(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAcquireCancelSpinLock");
    *Irql = KfRaiseIrql(DISPATCH_LEVEL);
    AcquireSpinLock(&g_cancel_spin_lock, "IoAcquireCancelSpinLock");
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    ReleaseSpinLock(&g_cancel_spin_lock, "IoReleaseCancelSpinLock");
    KeLowerIrql(Irql);
}

PKTHREAD NTAPI KeGetCurrentThread(VOID) { return reinterpret_cast<PKTHREAD>(&CurrentThread()); }
PETHREAD NTAPI PsGetCurrentThread(VOID) { return reinterpret_cast<PETHREAD>(&CurrentThread()); }
HANDLE NTAPI PsGetCurrentThreadId(VOID) { return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(CurrentThreadId())); }

}  // extern "C"

namespace tm350::ntos {

bool CancelSpinLockHeldByCurrentThread() {
    return __atomic_load_n(&g_cancel_spin_lock, __ATOMIC_RELAXED) == CurrentThreadId();
}

}  // namespace tm350::ntos
