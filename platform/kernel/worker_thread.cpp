#include "kernel/worker_thread.h"

#include "kernel/verifier.h"

namespace tm350::ntos {

WorkerThread::WorkerThread(const char *flush_name, std::function<void()> after_each)
    : flush_name_(flush_name), after_each_(std::move(after_each)) {}

void WorkerThread::Queue(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    if (!started_) {
        std::thread([this] { Run(); }).detach();
        started_ = true;
    }
    queue_.push_back(std::move(work));
    ++queued_;
    changed_.notify_all();
}

void WorkerThread::Flush() {
    std::unique_lock lock(mutex_);
    if (started_ && std::this_thread::get_id() == thread_) {
        VerifierFailure("%s called from its own worker thread (it would wait for itself)", flush_name_);
    }
    const uint64_t target = queued_;
    changed_.wait(lock, [&] { return done_ >= target; });
}

void WorkerThread::Run() {
    std::unique_lock lock(mutex_);
    thread_ = std::this_thread::get_id();
    for (;;) {
        changed_.wait(lock, [&] { return !queue_.empty(); });
        std::function<void()> work = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        work();
        if (after_each_) after_each_();
        lock.lock();
        ++done_;
        changed_.notify_all();
    }
}

}  // namespace tm350::ntos
