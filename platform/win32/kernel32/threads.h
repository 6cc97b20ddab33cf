// Thread objects and per-thread state, inside kernel32.
#pragma once

#include "kernel32/kernel_objects.h"

#include <condition_variable>
#include <memory>
#include <mutex>

namespace tm350::kernel {

// A thread as a waitable object: signalled once the thread has ended. Every
// thread gets one: CreateThread makes it up front, other threads (the main
// thread, std::thread) get one the first time they need it.
class ThreadObject final : public DispatcherObject {
public:
    // A thread that CreateThread will start; it runs `routine` once resumed.
    ThreadObject(LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD suspend_count);
    // The calling thread, already running.
    explicit ThreadObject(DWORD running_thread_id);

    const char *TypeName() const override { return "Thread"; }
    bool IsSignalledFor(DWORD thread_id) const override { return terminated_; }

    DWORD Id() const { return id_.load(std::memory_order_acquire); }
    int Priority() const { return priority_.load(std::memory_order_relaxed); }
    void SetPriority(int priority) { priority_.store(priority, std::memory_order_relaxed); }

    // STILL_ACTIVE until the thread has ended. Takes the dispatcher lock.
    DWORD ExitCode() const;

    // Start-up, for threads made by CreateThread. The new thread announces
    // its id, then waits until its suspend count is zero.
    void AnnounceStarted(DWORD thread_id);
    void WaitUntilAnnounced();
    void WaitUntilResumed();
    DWORD Resume();  // the previous suspend count
    DWORD Run() { return routine_(parameter_); }

    // Called on the ending thread itself, as its last act.
    void Terminate(DWORD exit_code, const DispatcherLock &lock);

private:
    const LPTHREAD_START_ROUTINE routine_ = nullptr;
    LPVOID const parameter_ = nullptr;
    std::atomic<DWORD> id_{0};
    std::atomic<int> priority_{THREAD_PRIORITY_NORMAL};

    std::mutex start_mutex_;
    std::condition_variable start_changed_;
    DWORD suspend_count_;  // guarded by start_mutex_
    bool announced_;       // guarded by start_mutex_

    bool terminated_ = false;  // guarded by the dispatcher lock
    DWORD exit_code_ = STILL_ACTIVE;  // guarded by the dispatcher lock
};

// The calling thread's id (the Linux thread id: nonzero, stable for the
// thread's life).
DWORD CurrentThreadId();

// The calling thread's object, made on first use.
std::shared_ptr<ThreadObject> CurrentThreadObject();

// Makes sure the calling thread will clean up after itself when it ends
// (abandon the mutexes it owns, signal its object). Anything that may give
// the thread ownership of a mutex calls this first.
void EnsureThreadCleanup();

}  // namespace tm350::kernel
