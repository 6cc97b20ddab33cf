// What the kernel keeps for each thread that enters it: its IRQL, the spin
// locks it holds and its wait and alert state. Made on a thread's first use
// of a kernel service and ended with the thread.
#pragma once

#include <wdm.h>

#include <mutex>

namespace tm350::ntos {

struct WaitContext;

class KernelThread {
public:
    KernelThread();
    ~KernelThread();
    KernelThread(const KernelThread &) = delete;
    KernelThread &operator=(const KernelThread &) = delete;

    const ULONG id;                 // the Linux thread id, as kernel32's GetCurrentThreadId
    KIRQL irql = PASSIVE_LEVEL;     // only the thread itself reads or changes it
    int spin_locks_held = 0;        // likewise
    bool alert_pending = false;     // guarded by the dispatcher lock
    WaitContext *wait = nullptr;    // the wait in progress; guarded by the dispatcher lock
};

KernelThread &CurrentThread();
ULONG CurrentThreadId();

// The one lock of the dispatcher: it guards every dispatcher object's
// signal state and wait list and every thread's wait and alert state. It is
// never held while calling out of the kernel.
std::mutex &DispatcherMutex();

// Called as a thread that entered the kernel ends, before its state goes
// (the I/O manager cancels the requests the thread issued, as Windows does).
void SetThreadExitHook(void (*hook)(ULONG thread_id));

// Satisfies an alertable wait of the thread under the dispatcher lock.
// Defined with the waits.
bool AlertWaitingThread(KernelThread &thread);

}  // namespace tm350::ntos
