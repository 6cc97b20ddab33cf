// Mutex bookkeeping shared between the synchronisation objects and threads.
#pragma once

#include "kernel32/kernel_objects.h"

#include <memory>
#include <vector>

namespace tm350::kernel {

// Abandons every mutex `thread_id` owns, as that thread ends: each becomes
// free, and its next owner learns of the abandonment from its wait result.
// Returns the mutexes so the caller drops its references after unlocking.
std::vector<std::shared_ptr<KernelObject>> AbandonMutexesOwnedBy(DWORD thread_id, const DispatcherLock &lock);

}  // namespace tm350::kernel
