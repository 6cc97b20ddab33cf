// The wait engine. One process-wide mutex (the dispatcher lock) guards the
// signal state of every waitable object and every object's list of waiting
// threads. A waiting thread describes its wait in a WaitBlock on its own
// stack, queues it on each object and sleeps on the block's own condition
// variable. Whoever makes an object signalled satisfies the queued waits
// right there, under the lock, consuming what they consume; the sleeper only
// wakes to collect its result. Because the check and the consumption happen
// under one lock, a wait-all takes all its objects atomically, an auto-reset
// event goes to exactly one waiter, and PulseEvent releases exactly the
// threads waiting at that moment.
#include "kernel32/kernel_objects.h"
#include "kernel32/threads.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <optional>
#include <utility>

namespace tm350::kernel {

namespace {

std::mutex &DispatcherMutex() {
    // Never destroyed: threads still waiting at exit must find it intact.
    static auto *mutex = new std::mutex;
    return *mutex;
}

}  // namespace

// One thread's wait. Lives on the waiting thread's stack; all fields except
// `wake` are guarded by the dispatcher lock.
struct WaitBlock {
    std::span<DispatcherObject *const> objects;
    bool wait_all = false;
    DWORD thread_id = 0;
    bool done = false;
    DWORD result = WAIT_TIMEOUT;
    std::condition_variable wake;
};

struct WaitEngine {
    // The wait's result if it can be satisfied now, consuming the objects;
    // otherwise nothing, and nothing changes.
    static std::optional<DWORD> TrySatisfy(std::span<DispatcherObject *const> objects, bool wait_all,
                                           DWORD thread_id) {
        if (!wait_all) {
            for (size_t i = 0; i < objects.size(); ++i) {
                if (objects[i]->IsSignalledFor(thread_id)) {
                    return ResultFor(objects[i]->OnWaitSatisfied(thread_id), i);
                }
            }
            return std::nullopt;
        }
        for (DispatcherObject *object : objects) {
            if (!object->IsSignalledFor(thread_id)) return std::nullopt;
        }
        std::optional<DWORD> result;
        for (size_t i = 0; i < objects.size(); ++i) {
            WaitSatisfaction satisfaction = objects[i]->OnWaitSatisfied(thread_id);
            if (!result && satisfaction == WaitSatisfaction::Abandoned) result = ResultFor(satisfaction, i);
        }
        return result.value_or(WAIT_OBJECT_0);
    }

    static DWORD ResultFor(WaitSatisfaction satisfaction, size_t index) {
        DWORD base = satisfaction == WaitSatisfaction::Abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0;
        return base + static_cast<DWORD>(index);
    }

    static void Enqueue(WaitBlock &block) {
        for (DispatcherObject *object : block.objects) {
            auto &waiters = object->waiters_;
            // A wait-any may name one object twice; it queues once.
            if (std::find(waiters.begin(), waiters.end(), &block) == waiters.end()) waiters.push_back(&block);
        }
    }

    static void Dequeue(WaitBlock &block) {
        for (DispatcherObject *object : block.objects) {
            auto &waiters = object->waiters_;
            waiters.erase(std::remove(waiters.begin(), waiters.end(), &block), waiters.end());
        }
    }

    static void SatisfyWaiters(DispatcherObject &object) {
        auto &waiters = object.waiters_;
        for (size_t i = 0; i < waiters.size();) {
            WaitBlock &block = *waiters[i];
            if (object.IsSignalledFor(block.thread_id)) {
                if (auto result = TrySatisfy(block.objects, block.wait_all, block.thread_id)) {
                    block.result = *result;
                    block.done = true;
                    Dequeue(block);  // removes waiters[i], so i now names the next block
                    // Notified under the lock: the block dies as soon as its
                    // thread can take the lock and return.
                    block.wake.notify_one();
                    continue;
                }
            }
            ++i;
        }
    }

    static DWORD Wait(std::span<DispatcherObject *const> objects, bool wait_all, DWORD milliseconds) {
        const DWORD thread_id = CurrentThreadId();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);

        DispatcherLock lock;
        if (auto result = TrySatisfy(objects, wait_all, thread_id)) return *result;
        if (milliseconds == 0) return WAIT_TIMEOUT;

        WaitBlock block;
        block.objects = objects;
        block.wait_all = wait_all;
        block.thread_id = thread_id;
        Enqueue(block);
        while (!block.done) {
            if (milliseconds == INFINITE) {
                block.wake.wait(lock.lock_);
            } else if (block.wake.wait_until(lock.lock_, deadline) == std::cv_status::timeout) {
                break;
            }
        }
        if (!block.done) {
            Dequeue(block);
            return WAIT_TIMEOUT;
        }
        return block.result;
    }
};

DispatcherLock::DispatcherLock() : lock_(DispatcherMutex()) {}
DispatcherLock::~DispatcherLock() = default;

DispatcherObject::~DispatcherObject() = default;  // no waiters: each holds a reference

void DispatcherObject::SignalStateChanged(const DispatcherLock &) { WaitEngine::SatisfyWaiters(*this); }

size_t WaiterCount(HANDLE handle) {
    auto object = std::dynamic_pointer_cast<DispatcherObject>(ReferenceObject(handle));
    if (object == nullptr) return 0;
    DispatcherLock lock;
    return object->waiters_.size();
}

DWORD WaitForObjects(std::span<DispatcherObject *const> objects, bool wait_all, DWORD milliseconds) {
    if (objects.empty() || objects.size() > MAXIMUM_WAIT_OBJECTS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (wait_all) {
        // Taking one object twice in a single atomic step has no meaning.
        for (size_t i = 0; i < objects.size(); ++i) {
            if (std::find(objects.begin() + i + 1, objects.end(), objects[i]) != objects.end()) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return WAIT_FAILED;
            }
        }
    }
    // The wait may make this thread a mutex owner.
    EnsureThreadCleanup();
    return WaitEngine::Wait(objects, wait_all, milliseconds);
}

}  // namespace tm350::kernel

using tm350::kernel::DispatcherObject;

namespace {

std::shared_ptr<DispatcherObject> ReferenceWaitable(HANDLE handle) {
    return tm350::kernel::ReferenceObject<DispatcherObject>(handle);
}

}  // namespace

extern "C" {

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    auto object = ReferenceWaitable(hHandle);
    if (object == nullptr) return WAIT_FAILED;
    DispatcherObject *objects[] = {object.get()};
    return tm350::kernel::WaitForObjects(objects, false, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    if (lpHandles == nullptr || nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // The references keep every object alive for the wait, even if another
    // thread closes a handle meanwhile.
    std::shared_ptr<DispatcherObject> references[MAXIMUM_WAIT_OBJECTS];
    DispatcherObject *objects[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < nCount; ++i) {
        references[i] = ReferenceWaitable(lpHandles[i]);
        if (references[i] == nullptr) return WAIT_FAILED;
        objects[i] = references[i].get();
    }
    return tm350::kernel::WaitForObjects(std::span(objects, nCount), bWaitAll != FALSE, dwMilliseconds);
}

}  // extern "C"
