// A kernel thread of its own that runs queued work in queue order: the
// system worker and the PnP manager's thread are each one. The thread is
// started on first use and lives as long as the process.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace tm350::ntos {

class WorkerThread {
public:
    // `flush_name` names Flush in the verifier's message when the worker
    // would wait for itself; `after_each` runs on the worker after every
    // piece of work (a check of what the work left behind), or is empty.
    WorkerThread(const char *flush_name, std::function<void()> after_each);
    WorkerThread(const WorkerThread &) = delete;
    WorkerThread &operator=(const WorkerThread &) = delete;

    void Queue(std::function<void()> work);
    // Returns once everything queued before the call has run.
    void Flush();
    // Guards the queue; callers may keep their own per-item state under it.
    std::mutex &Mutex() { return mutex_; }

private:
    void Run();

    const char *const flush_name_;
    const std::function<void()> after_each_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> queue_;  // guarded by mutex_
    uint64_t queued_ = 0;                      // guarded by mutex_
    uint64_t done_ = 0;                        // guarded by mutex_
    bool started_ = false;                     // guarded by mutex_
    std::thread::id thread_;                   // guarded by mutex_
};

}  // namespace tm350::ntos
