// Kernel dispatcher objects (events and semaphores) and the waits on them.
//
// An object's state is its DISPATCHER_HEADER: SignalState, and in
// WaitListHead the wait entries of the threads waiting on it. Each waiting
// thread describes its wait in a WaitContext on its own stack, with one
// WaitEntry per object linked into that object's list, and sleeps on the
// context's condition variable. Whoever signals an object satisfies the
// queued waits right there under the dispatcher lock, consuming what they
// consume, so an auto-reset event goes to exactly one waiter and a wait-all
// takes all its objects in one step.
#include "kernel/kernel_api.h"
#include "kernel/kernel_thread.h"
#include "kernel/verifier.h"

#include <chrono>
#include <condition_variable>
#include <optional>
#include <thread>

namespace tm350::ntos {

namespace {

// DISPATCHER_HEADER.Type values, as the kernel numbers its objects.
constexpr UCHAR kNotificationEventObject = 0;
constexpr UCHAR kSynchronizationEventObject = 1;
constexpr UCHAR kSemaphoreObject = 5;

// Offset between the Unix epoch and 1601-01-01, in 100 ns units.
constexpr LONGLONG kUnixEpochIn1601 = 116444736000000000LL;
constexpr ULONG kTimeIncrement = 156250;  // 15.625 ms, the usual clock tick

}  // namespace

struct WaitEntry {
    LIST_ENTRY link;  // in the object's WaitListHead
    WaitContext *context;
};

struct WaitContext {
    DISPATCHER_HEADER **objects = nullptr;
    ULONG count = 0;
    WAIT_TYPE type = WaitAny;
    bool alertable = false;
    KernelThread *thread = nullptr;
    WaitEntry entries[MAXIMUM_WAIT_OBJECTS];
    bool done = false;
    NTSTATUS result = STATUS_TIMEOUT;
    std::condition_variable wake;
};

namespace {

using Clock = std::chrono::steady_clock;

bool IsSignalled(const DISPATCHER_HEADER &object) { return object.SignalState > 0; }

void Consume(DISPATCHER_HEADER &object) {
    switch (object.Type) {
    case kSynchronizationEventObject:
        object.SignalState = 0;
        break;
    case kSemaphoreObject:
        --object.SignalState;
        break;
    default:  // a notification event stays signalled
        break;
    }
}

std::optional<NTSTATUS> TrySatisfy(DISPATCHER_HEADER *const *objects, ULONG count, WAIT_TYPE type) {
    if (type == WaitAny) {
        for (ULONG i = 0; i < count; ++i) {
            if (IsSignalled(*objects[i])) {
                Consume(*objects[i]);
                return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
            }
        }
        return std::nullopt;
    }
    for (ULONG i = 0; i < count; ++i) {
        if (!IsSignalled(*objects[i])) return std::nullopt;
    }
    for (ULONG i = 0; i < count; ++i) Consume(*objects[i]);
    return STATUS_SUCCESS;
}

void Dequeue(WaitContext &context) {
    for (ULONG i = 0; i < context.count; ++i) RemoveEntryList(&context.entries[i].link);
    context.thread->wait = nullptr;
}

void Finish(WaitContext &context, NTSTATUS result) {
    context.result = result;
    context.done = true;
    Dequeue(context);
    // Notified under the lock: the context dies as soon as its thread
    // can take the lock and return.
    context.wake.notify_one();
}

// Satisfies, in arrival order, every wait on `object` that its new state
// allows. Dispatcher lock held.
void SignalStateChanged(DISPATCHER_HEADER &object) {
    PLIST_ENTRY entry = object.WaitListHead.Flink;
    while (entry != &object.WaitListHead && IsSignalled(object)) {
        PLIST_ENTRY next = entry->Flink;
        WaitContext &context = *CONTAINING_RECORD(entry, WaitEntry, link)->context;
        if (auto result = TrySatisfy(context.objects, context.count, context.type)) {
            // Finishing removes this waiter's entries, maybe `next` among
            // them (a wait-any may name one object twice); start over then.
            Finish(context, *result);
            next = object.WaitListHead.Flink;
        }
        entry = next;
    }
}

DISPATCHER_HEADER &CheckedObject(PVOID object, const char *routine) {
    if (object == nullptr) VerifierFailure("%s on a null object", routine);
    auto &header = *static_cast<DISPATCHER_HEADER *>(object);
    bool initialised;
    {
        // Waiters change the wait list under the dispatcher lock; the check reads it there too.
        std::lock_guard lock(DispatcherMutex());
        initialised = header.WaitListHead.Flink != nullptr;
    }
    bool known_type = header.Type == kNotificationEventObject || header.Type == kSynchronizationEventObject ||
                      header.Type == kSemaphoreObject;
    if (!known_type || !initialised) {
        VerifierFailure("%s on %p, which is not an initialised event or semaphore", routine, object);
    }
    return header;
}

// What a kernel time-out means, measured from now: nothing (wait for
// ever) or a deadline, which may already have passed.
std::optional<Clock::time_point> DeadlineOf(const LARGE_INTEGER *timeout) {
    if (timeout == nullptr) return std::nullopt;
    auto now = Clock::now();
    LONGLONG value = timeout->QuadPart;
    if (value <= 0) return now + std::chrono::nanoseconds(-value * 100);  // relative; 0 tests only
    LARGE_INTEGER system_time;
    KeQuerySystemTime(&system_time);
    LONGLONG remaining = value - system_time.QuadPart;
    return now + std::chrono::nanoseconds(remaining > 0 ? remaining * 100 : 0);
}

void CheckWaitIrql(const LARGE_INTEGER *timeout, const char *routine) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql >= DISPATCH_LEVEL && (timeout == nullptr || timeout->QuadPart != 0)) {
        VerifierFailure("%s with a non-zero time-out at IRQL %u (waiting is allowed below DISPATCH_LEVEL only)",
                        routine, irql);
    }
}

NTSTATUS Wait(DISPATCHER_HEADER **objects, ULONG count, WAIT_TYPE type, BOOLEAN alertable,
              const LARGE_INTEGER *timeout) {
    KernelThread &thread = CurrentThread();
    const auto deadline = DeadlineOf(timeout);

    std::unique_lock lock(DispatcherMutex());
    if (alertable && thread.alert_pending) {
        thread.alert_pending = false;
        return STATUS_ALERTED;
    }
    if (count > 0) {
        if (auto result = TrySatisfy(objects, count, type)) return *result;
    }
    if (deadline && *deadline <= Clock::now()) return count > 0 ? STATUS_TIMEOUT : STATUS_SUCCESS;

    WaitContext context;
    context.objects = objects;
    context.count = count;
    context.type = type;
    context.alertable = alertable;
    context.thread = &thread;
    for (ULONG i = 0; i < count; ++i) {
        context.entries[i].context = &context;
        InsertTailList(&objects[i]->WaitListHead, &context.entries[i].link);
    }
    thread.wait = &context;
    while (!context.done) {
        if (!deadline) {
            context.wake.wait(lock);
        } else if (context.wake.wait_until(lock, *deadline) == std::cv_status::timeout && !context.done) {
            Dequeue(context);
            // A delay that runs out has done what it was asked.
            return count > 0 ? STATUS_TIMEOUT : STATUS_SUCCESS;
        }
    }
    return context.result;
}

LONGLONG SystemTimeNow() {
    auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count() / 100 + kUnixEpochIn1601;
}

LONGLONG InterruptTimeNow() {
    static const auto boot = Clock::now();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - boot).count() / 100;
}

}  // namespace

bool AlertWaitingThread(KernelThread &thread) {
    if (thread.wait == nullptr || !thread.wait->alertable) return false;
    Finish(*thread.wait, STATUS_ALERTED);
    return true;
}

}  // namespace tm350::ntos

using namespace tm350::ntos;

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    if (Type != NotificationEvent && Type != SynchronizationEvent) {
        VerifierFailure("KeInitializeEvent with event type %d", static_cast<int>(Type));
    }
    DISPATCHER_HEADER &header = Event->Header;
    header.Type = Type == NotificationEvent ? kNotificationEventObject : kSynchronizationEventObject;
    header.Signalling = 0;
    header.Size = sizeof(KEVENT) / sizeof(LONG);
    header.Inserted = 0;
    header.SignalState = State ? 1 : 0;
    InitializeListHead(&header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    DISPATCHER_HEADER &header = CheckedObject(Event, "KeSetEvent");
    std::lock_guard lock(DispatcherMutex());
    LONG previous = header.SignalState;
    header.SignalState = 1;
    SignalStateChanged(header);
    return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    DISPATCHER_HEADER &header = CheckedObject(Event, "KeResetEvent");
    std::lock_guard lock(DispatcherMutex());
    LONG previous = header.SignalState;
    header.SignalState = 0;
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    DISPATCHER_HEADER &header = CheckedObject(Event, "KeReadStateEvent");
    std::lock_guard lock(DispatcherMutex());
    return header.SignalState;
}

VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    if (Limit <= 0 || Count < 0 || Count > Limit) {
        VerifierFailure("KeInitializeSemaphore with count %d and limit %d (needs 0 <= count <= limit, limit > 0)",
                        Count, Limit);
    }
    DISPATCHER_HEADER &header = Semaphore->Header;
    header.Type = kSemaphoreObject;
    header.Signalling = 0;
    header.Size = sizeof(KSEMAPHORE) / sizeof(LONG);
    header.Inserted = 0;
    header.SignalState = Count;
    InitializeListHead(&header.WaitListHead);
    Semaphore->Limit = Limit;
}

LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeReleaseSemaphore");
    DISPATCHER_HEADER &header = CheckedObject(Semaphore, "KeReleaseSemaphore");
    if (header.Type != kSemaphoreObject) VerifierFailure("KeReleaseSemaphore on %p, an event", static_cast<void *>(Semaphore));
    std::lock_guard lock(DispatcherMutex());
    LONG previous = header.SignalState;
    if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment) {
        VerifierFailure("KeReleaseSemaphore by %d on a semaphore at %d of limit %d", Adjustment, previous,
                        Semaphore->Limit);
    }
    header.SignalState = previous + Adjustment;
    SignalStateChanged(header);
    return previous;
}

LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
    DISPATCHER_HEADER &header = CheckedObject(Semaphore, "KeReadStateSemaphore");
    std::lock_guard lock(DispatcherMutex());
    return header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    CheckWaitIrql(Timeout, "KeWaitForSingleObject");
    DISPATCHER_HEADER *objects[] = {&CheckedObject(Object, "KeWaitForSingleObject")};
    return Wait(objects, 1, WaitAny, Alertable, Timeout);
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                        KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray) {
    CheckWaitIrql(Timeout, "KeWaitForMultipleObjects");
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS) {
        VerifierFailure("KeWaitForMultipleObjects with %u objects (1 to %d allowed)", Count, MAXIMUM_WAIT_OBJECTS);
    }
    if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr) {
        VerifierFailure("KeWaitForMultipleObjects on %u objects without a wait block array", Count);
    }
    if (WaitType != WaitAll && WaitType != WaitAny) VerifierFailure("KeWaitForMultipleObjects with wait type %d", WaitType);
    DISPATCHER_HEADER *objects[MAXIMUM_WAIT_OBJECTS];
    for (ULONG i = 0; i < Count; ++i) {
        objects[i] = &CheckedObject(Object[i], "KeWaitForMultipleObjects");
        if (WaitType == WaitAll) {
            for (ULONG j = 0; j < i; ++j) {
                if (objects[j] == objects[i]) VerifierFailure("KeWaitForMultipleObjects(WaitAll) names %p twice", Object[i]);
            }
        }
    }
    return Wait(objects, Count, WaitType, Alertable, Timeout);
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
    if (Interval == nullptr) VerifierFailure("KeDelayExecutionThread without an interval");
    if (Interval->QuadPart == 0) {
        std::this_thread::yield();
        return STATUS_SUCCESS;
    }
    return Wait(nullptr, 0, WaitAny, Alertable, Interval);
}

VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
    while (std::chrono::steady_clock::now() < until) {
    }
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = SystemTimeNow(); }

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount) { TickCount->QuadPart = InterruptTimeNow() / kTimeIncrement; }

ULONG NTAPI KeQueryTimeIncrement(VOID) { return kTimeIncrement; }

ULONGLONG NTAPI KeQueryInterruptTime(VOID) { return static_cast<ULONGLONG>(InterruptTimeNow()); }

}  // extern "C"
