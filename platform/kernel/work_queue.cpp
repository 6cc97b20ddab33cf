// The system worker thread and the work items drivers queue to it. Work
// runs in queue order at PASSIVE_LEVEL on one thread that is started on
// first use and lives as long as the process.
#include "kernel/devices.h"
#include "kernel/kernel_api.h"
#include "kernel/kernel_thread.h"
#include "kernel/pool.h"
#include "kernel/verifier.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
    bool queued;  // guarded by the worker's mutex
};

namespace tm350::ntos {
namespace {

const ULONG kWorkItemTag = MakeTag("IoWk");

class SystemWorker {
public:
    static SystemWorker &Instance() {
        static auto *worker = new SystemWorker;  // never destroyed: its thread outlives static destruction
        return *worker;
    }

    void Queue(std::function<void()> work) {
        std::lock_guard lock(mutex_);
        if (!started_) {
            std::thread([this] { Run(); }).detach();
            started_ = true;
        }
        queue_.push_back(std::move(work));
        ++queued_;
        changed_.notify_all();
    }

    void Flush() {
        std::unique_lock lock(mutex_);
        if (started_ && std::this_thread::get_id() == thread_) {
            VerifierFailure("FlushSystemWorker called from a work item (it would wait for itself)");
        }
        const uint64_t target = queued_;
        changed_.wait(lock, [&] { return done_ >= target; });
    }

    std::mutex &Mutex() { return mutex_; }

private:
    void Run() {
        std::unique_lock lock(mutex_);
        thread_ = std::this_thread::get_id();
        for (;;) {
            changed_.wait(lock, [&] { return !queue_.empty(); });
            std::function<void()> work = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            work();
            if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
                VerifierFailure("a work item returned at IRQL %u", KeGetCurrentIrql());
            }
            lock.lock();
            ++done_;
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> queue_;
    uint64_t queued_ = 0;
    uint64_t done_ = 0;
    bool started_ = false;
    std::thread::id thread_;
};

}  // namespace

void QueueSystemWork(std::function<void()> work) { SystemWorker::Instance().Queue(std::move(work)); }

void FlushSystemWorker() { SystemWorker::Instance().Flush(); }

}  // namespace tm350::ntos

using namespace tm350::ntos;

extern "C" {

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
    if (!IsDeviceObject(DeviceObject)) {
        VerifierFailure("IoAllocateWorkItem(%p): not a device object", static_cast<void *>(DeviceObject));
    }
    auto *item = static_cast<PIO_WORKITEM>(AllocatePool(NonPagedPool, sizeof(_IO_WORKITEM), kWorkItemTag,
                                                        __builtin_return_address(0), "IoAllocateWorkItem"));
    if (item == nullptr) return nullptr;
    item->device = DeviceObject;
    item->queued = false;
    return item;
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    {
        std::lock_guard lock(SystemWorker::Instance().Mutex());
        if (IoWorkItem->queued) VerifierFailure("IoFreeWorkItem(%p) on a queued work item", static_cast<void *>(IoWorkItem));
    }
    FreePool(IoWorkItem, kWorkItemTag, "IoFreeWorkItem");
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    {
        std::lock_guard lock(SystemWorker::Instance().Mutex());
        if (IoWorkItem->queued) VerifierFailure("IoQueueWorkItem(%p) on a work item already queued", static_cast<void *>(IoWorkItem));
        IoWorkItem->queued = true;
    }
    // The device stays until the routine has run, even if it is deleted
    // meanwhile.
    PDEVICE_OBJECT device = IoWorkItem->device;
    ReferenceDevice(device);
    QueueSystemWork([IoWorkItem, WorkerRoutine, Context, device] {
        {
            std::lock_guard lock(SystemWorker::Instance().Mutex());
            IoWorkItem->queued = false;
        }
        WorkerRoutine(device, Context);
        DereferenceDevice(device);
    });
}

}  // extern "C"
