// The kernel object model shared by every platform library: one process-wide
// handle table of reference-counted objects, and one wait engine that every
// waitable object type plugs into.
//
// Registering a new object type (the I/O manager's files, say):
//
//   class FileObject final : public tm350::kernel::DispatcherObject {
//   public:
//       const char *TypeName() const override { return "File"; }
//       bool IsSignalledFor(DWORD) const override { return completed_; }   // dispatcher lock held
//       void Complete() {
//           tm350::kernel::DispatcherLock lock;
//           completed_ = true;
//           SignalStateChanged(lock);   // satisfies whoever waits on the file
//       }
//   private:
//       bool completed_ = false;   // guarded by the dispatcher lock
//   };
//
//   HANDLE handle = tm350::kernel::InsertObject(std::make_shared<FileObject>());
//   auto file = tm350::kernel::ReferenceObject<FileObject>(handle);   // nullptr + ERROR_INVALID_HANDLE
//
// WaitForSingleObject/WaitForMultipleObjects then work on such handles. An
// OVERLAPPED.hEvent is completed with
//   if (auto event = tm350::kernel::ReferenceObject<EventObject>(overlapped->hEvent)) event->Set();
// (take the reference when the I/O starts if the caller may close the handle
// before it completes).
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#define TM350_KERNEL32_API __attribute__((visibility("default")))

namespace tm350::kernel {

// Anything a HANDLE can name. Objects are shared: the handle table holds one
// reference per handle, and platform code holds more while it works on an
// object, so an object outlives the closing of its last handle for as long
// as someone still uses it.
class TM350_KERNEL32_API KernelObject : public std::enable_shared_from_this<KernelObject> {
public:
    KernelObject() = default;
    KernelObject(const KernelObject &) = delete;
    KernelObject &operator=(const KernelObject &) = delete;
    virtual ~KernelObject();

    // For log lines and diagnostics.
    virtual const char *TypeName() const = 0;

    // Called once when the last handle to the object is closed, on the
    // closing thread, with no platform lock held (the place to cancel
    // outstanding work, as IRP_MJ_CLEANUP does on Windows).
    virtual void OnLastHandleClosed() {}

    // Open handles to this object right now.
    unsigned HandleCount() const { return handle_count_.load(std::memory_order_acquire); }

private:
    friend class HandleTable;
    std::atomic<unsigned> handle_count_{0};
};

class DispatcherLock;
struct WaitBlock;
struct WaitEngine;

// How taking a signalled object for a waiter went.
enum class WaitSatisfaction {
    Normal,
    Abandoned,  // a mutex whose owner ended without releasing it
};

// An object threads can wait on. Its signal state lives in the derived
// class and is guarded by the one process-wide dispatcher lock; the hooks
// below are always called with that lock held and must not block or take
// the lock again.
class TM350_KERNEL32_API DispatcherObject : public KernelObject {
public:
    ~DispatcherObject() override;

    // Whether a wait by thread `thread_id` would be satisfied now. Mutexes
    // depend on the thread (an owner may take its mutex again); most
    // objects ignore it.
    virtual bool IsSignalledFor(DWORD thread_id) const = 0;

    // The wait of `thread_id` has been satisfied by this object: consume
    // what a wait consumes (an auto-reset event resets, a semaphore counts
    // down, a mutex changes owner). Objects that stay signalled do nothing.
    virtual WaitSatisfaction OnWaitSatisfied(DWORD thread_id) { return WaitSatisfaction::Normal; }

protected:
    // Call after any change that may have made the object signalled: it
    // satisfies, in arrival order, every waiter the new state allows.
    void SignalStateChanged(const DispatcherLock &lock);

private:
    friend struct WaitEngine;
    friend size_t WaiterCount(HANDLE handle);
    std::vector<WaitBlock *> waiters_;  // guarded by the dispatcher lock
};

// Holds the process-wide dispatcher lock for its lifetime. Take it to change
// a DispatcherObject's signal state; never hold it while calling anything
// that may block, take the handle table, or run an object's destructor.
class TM350_KERNEL32_API DispatcherLock {
public:
    DispatcherLock();
    ~DispatcherLock();
    DispatcherLock(const DispatcherLock &) = delete;
    DispatcherLock &operator=(const DispatcherLock &) = delete;

private:
    friend struct WaitEngine;  // sleeps on it
    std::unique_lock<std::mutex> lock_;
};

// Events, usable directly by platform code (overlapped I/O completion).
enum class EventType {
    ManualReset,  // stays signalled and releases every waiter until reset
    AutoReset,    // releases one waiter and resets itself
};

class TM350_KERNEL32_API EventObject final : public DispatcherObject {
public:
    EventObject(EventType type, bool initially_signalled);

    const char *TypeName() const override { return "Event"; }
    bool IsSignalledFor(DWORD thread_id) const override;
    WaitSatisfaction OnWaitSatisfied(DWORD thread_id) override;

    // Each takes the dispatcher lock itself.
    void Set();
    void Reset();
    void Pulse();  // releases whoever waits now, then leaves the event reset
    bool IsSet() const;

private:
    const EventType type_;
    bool signalled_;  // guarded by the dispatcher lock
};

// Inserts an object into the process handle table and returns its new
// handle (a small nonzero multiple of four), or NULL with
// ERROR_NOT_ENOUGH_MEMORY when the table is full. The table keeps a
// reference until CloseHandle.
TM350_KERNEL32_API HANDLE InsertObject(std::shared_ptr<KernelObject> object);

// The object a handle names, resolving the pseudo-handles of
// GetCurrentProcess and GetCurrentThread; nullptr with ERROR_INVALID_HANDLE
// for NULL, closed or unknown handles.
TM350_KERNEL32_API std::shared_ptr<KernelObject> ReferenceObject(HANDLE handle);

// The object a handle names if it is a T; nullptr with ERROR_INVALID_HANDLE
// otherwise (a wrong-type handle is an invalid handle, as on Windows).
template <class T>
std::shared_ptr<T> ReferenceObject(HANDLE handle) {
    std::shared_ptr<T> typed = std::dynamic_pointer_cast<T>(ReferenceObject(handle));
    if (typed == nullptr) SetLastError(ERROR_INVALID_HANDLE);
    return typed;
}

// How many threads are blocked waiting on the object a handle names right
// now (0 for an invalid handle). For tests, which must know that a thread
// has started to wait before they act.
TM350_KERNEL32_API size_t WaiterCount(HANDLE handle);

// WaitForMultipleObjects for platform code that already holds the objects
// (the caller keeps them alive for the call). Same results: WAIT_OBJECT_0 +
// i, WAIT_ABANDONED_0 + i, WAIT_TIMEOUT, or WAIT_FAILED with the last error
// set.
TM350_KERNEL32_API DWORD WaitForObjects(std::span<DispatcherObject *const> objects, bool wait_all,
                                        DWORD milliseconds);

}  // namespace tm350::kernel
