// Services of the kernel stand-in for the rest of the platform (the PnP
// manager, the USB stack) and for tests. Not part of the Windows interface:
// driver code never includes this.
#pragma once

#include <wdm.h>

#include <functional>

namespace tm350::ntos {

// Fault injection for pool: while set, an allocation the predicate accepts
// fails (returns NULL) as if the pool were exhausted. `module` is the
// driver module the request is charged to (0 for the kernel itself).
struct PoolRequest {
    POOL_TYPE type;
    SIZE_T bytes;
    ULONG tag;
    int module;
};
void SetPoolAllocationFailure(std::function<bool(const PoolRequest &)> failure);

// Alerts a thread: an alertable kernel wait it is in, or its next one, ends
// with STATUS_ALERTED. False when no such thread has entered the kernel.
bool AlertThread(ULONG thread_id);

// Whether the thread is blocked in a kernel wait right now (for tests that
// must know a waiter has started waiting before they act).
bool ThreadIsWaiting(ULONG thread_id);

// The system worker thread runs work at PASSIVE_LEVEL, in queue order:
// work items, power requests made at DISPATCH_LEVEL, and the final close of
// files whose last reference went at DISPATCH_LEVEL.
void QueueSystemWork(std::function<void()> work);
// Returns once everything queued before the call has run.
void FlushSystemWorker();

}  // namespace tm350::ntos
