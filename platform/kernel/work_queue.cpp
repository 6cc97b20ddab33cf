// The system worker thread and the work items drivers queue to it. Work
// runs in queue order at PASSIVE_LEVEL on one thread that is started on
// first use and lives as long as the process.
#include "kernel/devices.h"
#include "kernel/kernel_api.h"
#include "kernel/kernel_thread.h"
#include "kernel/pool.h"
#include "kernel/verifier.h"
#include "kernel/worker_thread.h"

#include <mutex>

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
    bool queued;  // guarded by the worker's mutex
};

namespace tm350::ntos {
namespace {

const ULONG kWorkItemTag = MakeTag("IoWk");

// Never destroyed: its thread outlives static destruction.
WorkerThread &SystemWorker() {
    static auto *worker = new WorkerThread("FlushSystemWorker", [] {
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) VerifierFailure("a work item returned at IRQL %u", KeGetCurrentIrql());
    });
    return *worker;
}

}  // namespace

void QueueSystemWork(std::function<void()> work) { SystemWorker().Queue(std::move(work)); }

void FlushSystemWorker() { SystemWorker().Flush(); }

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
        std::lock_guard lock(SystemWorker().Mutex());
        if (IoWorkItem->queued) VerifierFailure("IoFreeWorkItem(%p) on a queued work item", static_cast<void *>(IoWorkItem));
    }
    FreePool(IoWorkItem, kWorkItemTag, "IoFreeWorkItem");
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    {
        std::lock_guard lock(SystemWorker().Mutex());
        if (IoWorkItem->queued) VerifierFailure("IoQueueWorkItem(%p) on a work item already queued", static_cast<void *>(IoWorkItem));
        IoWorkItem->queued = true;
    }
    // The device stays until the routine has run, even if it is deleted
    // meanwhile.
    PDEVICE_OBJECT device = IoWorkItem->device;
    ReferenceDevice(device);
    QueueSystemWork([IoWorkItem, WorkerRoutine, Context, device] {
        {
            std::lock_guard lock(SystemWorker().Mutex());
            IoWorkItem->queued = false;
        }
        WorkerRoutine(device, Context);
        DereferenceDevice(device);
    });
}

}  // extern "C"
