// IRPs: allocation, IoCallDriver, IoCompleteRequest, cancellation, and the
// verifier's record of every IRP.
//
// Each IRP has a record that says who owns it right now:
//   Idle       its allocator has it (never sent, or back through a
//              completion routine that returned STATUS_MORE_PROCESSING_REQUIRED
//              at the top location);
//   InFlight   a driver has it (sent with IoCallDriver, or stopped in a
//              completion routine below the top);
//   Completing IoCompleteRequest is walking up its stack locations;
//   Finished   completion reached the top and the I/O manager ended it, or
//              its allocator freed it.
// The record also remembers, for every stack location, what the dispatch
// routines that ran there returned and whether the location was finally
// marked pending, so that a STATUS_PENDING return without IoMarkIrpPending
// is caught whichever of the two happens last.
//
// IRP memory is released only when no canceller is inside IoCancelIrp for
// it, so a cancel racing with completion never touches freed memory.
#include "kernel/irp_internal.h"

#include "kernel/devices.h"
#include "kernel/kernel_thread.h"
#include "kernel/pool.h"
#include "kernel/verifier.h"

#include "common/text.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace tm350::ntos {

bool CancelSpinLockHeldByCurrentThread();

namespace {

const ULONG kIrpTag = MakeTag("Irp ");

enum class IrpState { Idle, InFlight, Completing, Finished };

const char *StateName(IrpState state) {
    switch (state) {
    case IrpState::Idle:
        return "owned by its allocator";
    case IrpState::InFlight:
        return "in flight";
    case IrpState::Completing:
        return "completing";
    case IrpState::Finished:
        return "finished";
    }
    return "?";
}

struct Location {
    int active_dispatches = 0;
    bool returned_pending = false;               // some dispatch here returned STATUS_PENDING
    std::optional<NTSTATUS> outer_status;        // what the first dispatch here returned
    std::optional<bool> final_pending;           // SL_PENDING_RETURNED when completion left the location
};

struct IrpRecord {
    IRP *irp = nullptr;
    std::unique_ptr<IoPacket> packet;  // null: the allocating driver owns the IRP
    IrpState state = IrpState::Idle;
    unsigned generation = 0;           // counts sends and completions
    // The completion routine running now, if any, and what it did.
    ULONG routine_thread = 0;
    bool routine_running = false;
    bool completed_in_routine = false;
    bool freed = false;
    // Cancellers inside IoCancelIrp; the memory waits for them.
    int holds = 0;
    bool release_pending = false;
    std::vector<Location> locations;  // indexed by CurrentLocation, 1..StackCount
    // Counts IoReuseIrp calls. A driver may reuse and resend its IRP from
    // its completion routine while the IoCallDriver that sent it the time
    // before has yet to return (the lower driver completed it on another
    // processor first); what that call returns then belongs to the IRP's
    // previous life and is not held against the new one.
    unsigned reuses = 0;
};

std::mutex &IrpMutex() {
    static auto *mutex = new std::mutex;
    return *mutex;
}

// Signalled whenever a completion routine returns.
std::condition_variable &RoutineReturned() {
    static auto *condition = new std::condition_variable;
    return *condition;
}

// Signalled whenever an IRP with a packet finishes.
std::condition_variable &PacketFinished() {
    static auto *condition = new std::condition_variable;
    return *condition;
}

std::unordered_map<const IRP *, std::shared_ptr<IrpRecord>> &Irps() {  // guarded by IrpMutex
    static auto *irps = new std::unordered_map<const IRP *, std::shared_ptr<IrpRecord>>;
    return *irps;
}

// Addresses of IRPs that went recently, so that a late use of one is named
// for what it is. Guarded by IrpMutex.
struct Graveyard {
    static constexpr size_t kCapacity = 4096;
    std::unordered_set<const IRP *> members;
    std::deque<const IRP *> order;

    void Add(const IRP *irp) {
        if (!members.insert(irp).second) return;
        order.push_back(irp);
        if (order.size() > kCapacity) {
            members.erase(order.front());
            order.pop_front();
        }
    }
};

Graveyard &Gone() {
    static auto *graveyard = new Graveyard;
    return *graveyard;
}

std::shared_ptr<IrpRecord> FindRecord(const IRP *irp, const char *routine) {
    if (irp == nullptr) VerifierFailure("%s with a NULL IRP", routine);
    std::lock_guard lock(IrpMutex());
    auto found = Irps().find(irp);
    if (found == Irps().end()) {
        if (Gone().members.count(irp) != 0) {
            if (std::strcmp(routine, "IoCompleteRequest") == 0) {
                VerifierFailure("IRP %p completed twice (it had already been completed and freed)",
                                static_cast<const void *>(irp));
            }
            VerifierFailure("%s(%p) on an IRP that has already been completed or freed", routine,
                            static_cast<const void *>(irp));
        }
        VerifierFailure("%s(%p): not an IRP", routine, static_cast<const void *>(irp));
    }
    return found->second;
}

// Releases the IRP's memory now or, while cancellers hold it, when the
// last one lets go. IrpMutex held.
void ReleaseMemory(IrpRecord &record, std::unique_lock<std::mutex> &lock) {
    Irps().erase(record.irp);
    Gone().Add(record.irp);
    if (record.holds > 0) {
        record.release_pending = true;
        return;
    }
    IRP *irp = record.irp;
    lock.unlock();
    FreePool(irp, kIrpTag, "IoFreeIrp");
    lock.lock();
}

void InitializeIrp(IRP *irp, CCHAR stack_size) {
    std::memset(irp, 0, IoSizeOfIrp(stack_size));
    irp->Type = kIoTypeIrp;
    irp->Size = IoSizeOfIrp(stack_size);
    irp->StackCount = stack_size;
    irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stack_size;
    InitializeListHead(&irp->ThreadListEntry);
}

// The pending rule at one location, once both the dispatch results and
// the final pending flag are known. IrpMutex held.
void CheckPendingRule(const IRP *irp, int index, const Location &location) {
    if (!location.final_pending) return;
    if (location.returned_pending && !*location.final_pending) {
        VerifierFailure("a dispatch routine returned STATUS_PENDING for IRP %p (stack location %d) without "
                        "marking it pending with IoMarkIrpPending",
                        static_cast<const void *>(irp), index);
    }
    if (location.outer_status && *location.final_pending && *location.outer_status != STATUS_PENDING) {
        VerifierFailure("IRP %p was marked pending at stack location %d but its dispatch routine returned "
                        "0x%08X instead of STATUS_PENDING",
                        static_cast<const void *>(irp), index, static_cast<unsigned>(*location.outer_status));
    }
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// True when completion has come back to the IRP's allocator: past its top
// location, or at the top location when an allocator from IoAllocateIrp
// kept that one for itself (IoSetNextIrpStackLocation, never a dispatch
// routine there), as Windows lets it: its completion routine then runs for
// its own location and may free or reuse the IRP.
bool BackWithAllocator(const IrpRecord &record, const IRP *irp) {
    if (irp->CurrentLocation > irp->StackCount) return true;
    if (record.packet != nullptr || irp->CurrentLocation != irp->StackCount) return false;
    const Location &own = record.locations[irp->StackCount];
    return own.active_dispatches == 0 && !own.outer_status && !own.returned_pending;
}

BOOLEAN CancelHeldIrp(IRP *irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Drivers and the host controller poll Cancel without the cancel lock.
    __atomic_store_n(&irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    PDEVICE_OBJECT device =
        irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
    // The routine is entered holding the cancel spin lock and must release it.
    routine(device, irp);
    if (CancelSpinLockHeldByCurrentThread()) {
        VerifierFailure("cancel routine %p returned still holding the cancel spin lock",
                        reinterpret_cast<void *>(routine));
    }
    if (KeGetCurrentIrql() != irql) {
        VerifierFailure("cancel routine %p returned at IRQL %u instead of %u", reinterpret_cast<void *>(routine),
                        KeGetCurrentIrql(), irql);
    }
    return TRUE;
}

void ReleaseHold(const std::shared_ptr<IrpRecord> &record) {
    std::unique_lock lock(IrpMutex());
    if (--record->holds == 0 && record->release_pending) {
        record->release_pending = false;
        IRP *irp = record->irp;
        lock.unlock();
        FreePool(irp, kIrpTag, "IoFreeIrp");
    }
}

// Completion has passed the last location: the packet ends the IRP.
void FinishAtTop(const std::shared_ptr<IrpRecord> &record) {
    IRP *irp = record->irp;
    if (record->packet == nullptr) {
        VerifierFailure("IRP %p from IoAllocateIrp was completed past its top stack location; its allocator "
                        "must stop completion with STATUS_MORE_PROCESSING_REQUIRED and free it with IoFreeIrp",
                        static_cast<void *>(irp));
    }
    record->packet->Finish(*irp);
    std::unique_lock lock(IrpMutex());
    record->state = IrpState::Finished;
    ++record->generation;
    ReleaseMemory(*record, lock);
    PacketFinished().notify_all();
    lock.unlock();
    record->packet->Notify();
}

// IoCompleteRequest clears a location once completion has left it, before
// the completion routine stored there runs: that routine belongs to the
// driver above and has no business with the parameters of the one below.
// Only the major function stays.
void ClearLocation(IO_STACK_LOCATION &stack) {
    stack.MinorFunction = 0;
    stack.Flags = 0;
    stack.Control = 0;
    std::memset(&stack.Parameters, 0, sizeof stack.Parameters);
    stack.FileObject = nullptr;
    stack.CompletionRoutine = nullptr;
    stack.Context = nullptr;
}

// How long the I/O manager waits for cancelled requests to complete before
// it reports the driver. Windows waits about five minutes for the requests
// of a thread that ends; tests shorten it with TM350_CANCEL_WAIT_MS.
std::chrono::milliseconds CancelWaitBound() {
    if (const char *text = std::getenv("TM350_CANCEL_WAIT_MS")) {
        char *end = nullptr;
        unsigned long long value = std::strtoull(text, &end, 10);
        if (end != text && *end == '\0') return std::chrono::milliseconds(value);
    }
    return std::chrono::minutes(5);
}

// Names a request that is still with a driver, for the verifier's message.
// The IRP's memory is held by the caller.
std::string DescribeRequest(const IRP *irp) {
    char text[256];
    if (irp->CurrentLocation > irp->StackCount) {
        std::snprintf(text, sizeof text, "IRP %p", static_cast<const void *>(irp));
        return text;
    }
    const IO_STACK_LOCATION *stack = irp->Tail.Overlay.CurrentStackLocation;
    std::string driver = "?";
    if (stack->DeviceObject != nullptr && stack->DeviceObject->DriverObject != nullptr) {
        const UNICODE_STRING &name = stack->DeviceObject->DriverObject->DriverName;
        driver = tm350::text::Utf16ToUtf8(
            std::u16string_view(reinterpret_cast<const char16_t *>(name.Buffer), name.Length / sizeof(WCHAR)));
    }
    std::snprintf(text, sizeof text, "IRP %p (%s, held by %s)", static_cast<const void *>(irp),
                  MajorFunctionName(stack->MajorFunction), driver.c_str());
    return text;
}

}  // namespace

PDRIVER_DISPATCH DefaultDispatchRoutine() { return InvalidDeviceRequest; }

IRP *AllocateIrp(CCHAR stack_size, const void *caller, std::unique_ptr<IoPacket> packet, const char *routine) {
    if (stack_size < 1) VerifierFailure("%s with a stack size of %d", routine, stack_size);
    auto *irp = static_cast<IRP *>(AllocatePool(NonPagedPool, IoSizeOfIrp(stack_size), kIrpTag, caller, routine));
    if (irp == nullptr) return nullptr;
    InitializeIrp(irp, stack_size);
    auto record = std::make_shared<IrpRecord>();
    record->irp = irp;
    record->packet = std::move(packet);
    record->locations.resize(static_cast<size_t>(stack_size) + 2);
    std::lock_guard lock(IrpMutex());
    Gone().members.erase(irp);
    Irps()[irp] = std::move(record);
    return irp;
}

void DiscardUnsentIrp(IRP *irp) {
    ReleaseIrpBuffers(*irp);
    auto record = FindRecord(irp, "IoFreeIrp");
    std::unique_lock lock(IrpMutex());
    if (record->state != IrpState::Idle) VerifierFailure("discarding IRP %p, which was sent", static_cast<void *>(irp));
    record->state = IrpState::Finished;
    ReleaseMemory(*record, lock);
}

void ReleaseIrpBuffers(IRP &irp) {
    if ((irp.Flags & IRP_DEALLOCATE_BUFFER) != 0 && irp.AssociatedIrp.SystemBuffer != nullptr) {
        ExFreePool(irp.AssociatedIrp.SystemBuffer);
        irp.AssociatedIrp.SystemBuffer = nullptr;
    }
    for (PMDL mdl = irp.MdlAddress; mdl != nullptr;) {
        PMDL next = mdl->Next;
        if ((mdl->MdlFlags & MDL_PAGES_LOCKED) != 0) MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        mdl = next;
    }
    irp.MdlAddress = nullptr;
}

size_t CancelIrps(const std::function<bool(const IoPacket &)> &match, CancelWait wait, const char *who) {
    std::vector<std::shared_ptr<IrpRecord>> held;
    {
        std::lock_guard lock(IrpMutex());
        for (auto &[irp, record] : Irps()) {
            if (record->packet != nullptr && record->state != IrpState::Finished && match(*record->packet)) {
                ++record->holds;
                held.push_back(record);
            }
        }
    }
    for (auto &record : held) CancelHeldIrp(record->irp);
    if (wait == CancelWait::UntilCompleted && !held.empty()) {
        const auto bound = CancelWaitBound();
        const auto deadline = std::chrono::steady_clock::now() + bound;
        std::unique_lock lock(IrpMutex());
        auto all_finished = [&] {
            for (auto &record : held) {
                if (record->state != IrpState::Finished) return false;
            }
            return true;
        };
        if (!PacketFinished().wait_until(lock, deadline, all_finished)) {
            for (auto &record : held) {
                if (record->state == IrpState::Finished) continue;
                VerifierFailure("%s cancelled %s and waited %lld ms for it to complete; the driver never completed "
                                "it (a cancelled request must be completed, normally with STATUS_CANCELLED)",
                                who, DescribeRequest(record->irp).c_str(), static_cast<long long>(bound.count()));
            }
        }
    }
    for (auto &record : held) ReleaseHold(record);
    return held.size();
}

}  // namespace tm350::ntos

using namespace tm350::ntos;

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    return AllocateIrp(StackSize, __builtin_return_address(0), nullptr, "IoAllocateIrp");
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
    auto record = FindRecord(Irp, "IoFreeIrp");
    std::unique_lock lock(IrpMutex());
    if (record->packet != nullptr) {
        VerifierFailure("IoFreeIrp(%p): the I/O manager owns this IRP (it was built for a request); complete it "
                        "instead",
                        static_cast<void *>(Irp));
    }
    bool in_top_routine = record->state == IrpState::Completing && BackWithAllocator(*record, Irp);
    if (record->state != IrpState::Idle && !in_top_routine) {
        VerifierFailure("IoFreeIrp(%p) on an IRP that is %s (sent with IoCallDriver and not yet completed back "
                        "to its allocator)",
                        static_cast<void *>(Irp), StateName(record->state));
    }
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
        VerifierFailure("IoFreeIrp(%p) on an IRP with a cancel routine set", static_cast<void *>(Irp));
    }
    record->freed = true;
    record->state = IrpState::Finished;
    ++record->generation;
    ReleaseMemory(*record, lock);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    auto record = FindRecord(Irp, "IoReuseIrp");
    std::lock_guard lock(IrpMutex());
    bool in_top_routine = record->state == IrpState::Completing && BackWithAllocator(*record, Irp);
    if (record->packet != nullptr || (record->state != IrpState::Idle && !in_top_routine)) {
        VerifierFailure("IoReuseIrp(%p) on an IRP that is %s", static_cast<void *>(Irp), StateName(record->state));
    }
    CCHAR stack_size = Irp->StackCount;
    ++record->reuses;
    InitializeIrp(Irp, stack_size);
    Irp->IoStatus.Status = Iostatus;
    for (Location &location : record->locations) location = Location{};
}

NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoCallDriver");
    if (!IsDeviceObject(DeviceObject)) {
        VerifierFailure("IoCallDriver to %p, which is not a device object (deleted?)",
                        static_cast<void *>(DeviceObject));
    }
    auto record = FindRecord(Irp, "IoCallDriver");
    int index;
    unsigned reuses;
    bool outermost;
    {
        std::lock_guard lock(IrpMutex());
        if (record->state == IrpState::Finished) {
            VerifierFailure("IoCallDriver with IRP %p, which has finished", static_cast<void *>(Irp));
        }
        if (Irp->CurrentLocation <= 1) {
            VerifierFailure("IoCallDriver(%p) has no stack location left in IRP %p (allocated with %d)",
                            static_cast<void *>(DeviceObject), static_cast<void *>(Irp), Irp->StackCount);
        }
        record->state = IrpState::InFlight;
        ++record->generation;
        reuses = record->reuses;
        index = Irp->CurrentLocation - 1;
        Location &location = record->locations[index];
        if (location.active_dispatches == 0 && location.final_pending) location = Location{};
        // A driver may mark the IRP pending, return STATUS_PENDING, and meanwhile
        // pass it on from another thread with its location skipped (as a
        // power request's callback does); the lower driver then answers that
        // call as it likes, before or after the upper dispatch routine has
        // returned. Only the dispatch that began first at a location owns its
        // returned status.
        outermost = location.active_dispatches == 0;
        ++location.active_dispatches;
    }
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
        VerifierFailure("IoCallDriver with major function %u", stack->MajorFunction);
    }
    const UCHAR major = stack->MajorFunction;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[major];
    const KIRQL irql = KeGetCurrentIrql();
    NTSTATUS status = dispatch(DeviceObject, Irp);
    if (KeGetCurrentIrql() != irql) {
        VerifierFailure("dispatch routine %p for %s returned at IRQL %u; it was called at IRQL %u",
                        reinterpret_cast<void *>(dispatch), MajorFunctionName(major), KeGetCurrentIrql(), irql);
    }
    std::lock_guard lock(IrpMutex());
    if (record->reuses != reuses) return status;
    Location &location = record->locations[index];
    --location.active_dispatches;
    if (status == STATUS_PENDING) location.returned_pending = true;
    if (outermost && !location.outer_status) location.outer_status = status;
    CheckPendingRule(Irp, index, location);
    return status;
}

VOID NTAPI IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest");
    auto record = FindRecord(Irp, "IoCompleteRequest");
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        VerifierFailure("IoCompleteRequest(%p) with IoStatus.Status STATUS_PENDING", static_cast<void *>(Irp));
    }
    // IoSetCancelRoutine exchanges the routine atomically, possibly on another processor.
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
        VerifierFailure("IoCompleteRequest(%p) with its cancel routine still set", static_cast<void *>(Irp));
    }
    {
        std::unique_lock lock(IrpMutex());
        // A completion routine that signals another thread and then returns
        // STATUS_MORE_PROCESSING_REQUIRED hands the IRP over: the other
        // thread may complete it again as soon as the routine has returned.
        RoutineReturned().wait(lock, [&] {
            return record->state != IrpState::Completing || !record->routine_running ||
                   record->routine_thread == CurrentThreadId();
        });
        bool nested = record->state == IrpState::Completing && record->routine_thread == CurrentThreadId();
        if (record->state == IrpState::Finished || (record->state == IrpState::Completing && !nested) ||
            Irp->CurrentLocation > Irp->StackCount) {
            VerifierFailure("IRP %p completed twice (IoCompleteRequest on an IRP that is %s and at no driver)",
                            static_cast<void *>(Irp), StateName(record->state));
        }
        if (record->state == IrpState::Idle) {
            VerifierFailure("IoCompleteRequest(%p) on an IRP that was never sent", static_cast<void *>(Irp));
        }
        if (nested) record->completed_in_routine = true;
        record->state = IrpState::Completing;
        ++record->generation;
    }

    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        const int index = Irp->CurrentLocation;
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        {
            std::lock_guard lock(IrpMutex());
            Location &location = record->locations[index];
            location.final_pending = Irp->PendingReturned != FALSE;
            CheckPendingRule(Irp, index, location);
        }
        const PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        const PVOID context = stack->Context;
        const UCHAR control = stack->Control;
        ClearLocation(*stack);
        IoSkipCurrentIrpStackLocation(Irp);

        const NTSTATUS status = Irp->IoStatus.Status;
        const bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                                   (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                                   (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) && (control & SL_INVOKE_ON_CANCEL)));
        if (!invoke) {
            // Without a routine of its own, the driver above inherits the
            // pending state of the one below.
            if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
            continue;
        }
        PDEVICE_OBJECT device =
            Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
        unsigned generation;
        ULONG outer_routine_thread;
        bool outer_routine_running;
        {
            std::lock_guard lock(IrpMutex());
            outer_routine_thread = record->routine_thread;
            outer_routine_running = record->routine_running;
            record->routine_thread = CurrentThreadId();
            record->routine_running = true;
            generation = record->generation;
        }
        const KIRQL irql = KeGetCurrentIrql();
        NTSTATUS result = routine(device, Irp, context);
        if (KeGetCurrentIrql() != irql) {
            VerifierFailure("completion routine %p returned at IRQL %u; it was called at IRQL %u",
                            reinterpret_cast<void *>(routine), KeGetCurrentIrql(), irql);
        }
        std::lock_guard lock(IrpMutex());
        record->routine_thread = outer_routine_thread;
        record->routine_running = outer_routine_running;
        RoutineReturned().notify_all();
        if (record->freed && result != STATUS_MORE_PROCESSING_REQUIRED) {
            VerifierFailure("completion routine %p freed IRP %p and returned 0x%08X instead of "
                            "STATUS_MORE_PROCESSING_REQUIRED",
                            reinterpret_cast<void *>(routine), static_cast<void *>(Irp), static_cast<unsigned>(result));
        }
        if (record->completed_in_routine && result != STATUS_MORE_PROCESSING_REQUIRED) {
            VerifierFailure("completion routine %p completed IRP %p again and returned 0x%08X instead of "
                            "STATUS_MORE_PROCESSING_REQUIRED",
                            reinterpret_cast<void *>(routine), static_cast<void *>(Irp), static_cast<unsigned>(result));
        }
        if (result == STATUS_MORE_PROCESSING_REQUIRED) {
            // Completion stops here; whoever returned this owns the IRP
            // again, unless the routine already sent, completed or freed it.
            if (record->generation == generation && !record->freed) {
                record->state = BackWithAllocator(*record, Irp) ? IrpState::Idle : IrpState::InFlight;
            }
            record->completed_in_routine = false;
            return;
        }
    }
    FinishAtTop(record);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
    auto record = FindRecord(Irp, "IoCancelIrp");
    {
        std::lock_guard lock(IrpMutex());
        ++record->holds;
    }
    BOOLEAN cancelled = CancelHeldIrp(Irp);
    ReleaseHold(record);
    return cancelled;
}

}  // extern "C"
