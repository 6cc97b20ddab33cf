// Events, semaphores and waits: signal states, what a wait consumes,
// time-outs, alerts, and the verifier's rules for waiting.
#include "kernel/kernel_test_support.h"

#include "platform/kernel/kernel_api.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace tm350::test {
namespace {

using tm350::ntos::ThreadIsWaiting;

ULONG CurrentThreadId() { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(PsGetCurrentThreadId())); }

LARGE_INTEGER Zero() {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return zero;
}

TEST(KernelEvents, NotificationEventStaysSignalledForEveryWaiter) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero = Zero();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(KernelEvents, SynchronizationEventReleasesOneWaiterAndResets) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero = Zero();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);

    std::atomic<int> woken{0};
    std::atomic<ULONG> ids[2] = {0, 0};
    auto waiter = [&](int index) {
        ids[index] = CurrentThreadId();
        LARGE_INTEGER timeout = Milliseconds(10000);
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) ++woken;
    };
    std::thread first(waiter, 0), second(waiter, 1);
    ASSERT_TRUE(EventuallyTrue([&] { return ThreadIsWaiting(ids[0]) && ThreadIsWaiting(ids[1]); }));
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(EventuallyTrue([&] { return woken == 1; }));
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(ThreadIsWaiting(ids[0]) + ThreadIsWaiting(ids[1]), 1);  // the other one still waits
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    first.join();
    second.join();
    EXPECT_EQ(woken, 2);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(KernelEvents, SetFromAnotherThreadAtDispatchLevelWakesAnInfiniteWait) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    const ULONG self = CurrentThreadId();
    std::thread setter([&] {
        EXPECT_TRUE(EventuallyTrue([&] { return ThreadIsWaiting(self); }));
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        KeLowerIrql(irql);
    });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    setter.join();
}

TEST(KernelWaits, RelativeAndAbsoluteTimeoutsExpire) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER relative = Milliseconds(30);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &relative), STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));

    LARGE_INTEGER absolute;
    KeQuerySystemTime(&absolute);
    absolute.QuadPart += 30 * 10000;
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));

    LARGE_INTEGER past;
    KeQuerySystemTime(&past);
    past.QuadPart -= 10000000;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
}

TEST(KernelSemaphores, CountsDownPerWaitAndReleasesUpToItsLimit) {
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 1, 4);
    LARGE_INTEGER zero = Zero();
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 3, FALSE), 0);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 3);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 1, FALSE), 3);
}

TEST(KernelWaits, WaitAnyReportsTheFirstSignalledObjectAndWaitAllTakesAll) {
    KEVENT events[3];
    for (KEVENT &event : events) KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    PVOID objects[] = {&events[0], &events[1], &events[2]};
    KWAIT_BLOCK blocks[3];
    LARGE_INTEGER zero = Zero();
    KeSetEvent(&events[2], IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, blocks),
              STATUS_WAIT_0 + 2);
    EXPECT_EQ(KeReadStateEvent(&events[2]), 0);

    KeSetEvent(&events[0], IO_NO_INCREMENT, FALSE);
    KeSetEvent(&events[1], IO_NO_INCREMENT, FALSE);
    // Two of three are not enough for a wait-all, and it takes nothing.
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &zero, blocks),
              STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&events[0]), 1);
    std::thread setter([&] { KeSetEvent(&events[2], IO_NO_INCREMENT, FALSE); });
    LARGE_INTEGER timeout = Milliseconds(5000);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &timeout, blocks),
              STATUS_SUCCESS);
    setter.join();
    for (KEVENT &event : events) EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(KernelWaits, AnAlertEndsOnlyAlertableWaits) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<ULONG> waiter_id{0};
    std::atomic<NTSTATUS> result{STATUS_SUCCESS};
    std::thread waiter([&] {
        waiter_id = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(PsGetCurrentThreadId()));
        LARGE_INTEGER timeout = Milliseconds(5000);
        result = KeWaitForSingleObject(&event, Executive, KernelMode, TRUE, &timeout);
    });
    ASSERT_TRUE(EventuallyTrue([&] { return waiter_id != 0 && ThreadIsWaiting(waiter_id); }));
    EXPECT_TRUE(tm350::ntos::AlertThread(waiter_id));
    waiter.join();
    EXPECT_EQ(result, STATUS_ALERTED);

    // A non-alertable wait ignores the alert; the next alertable one sees it.
    KeGetCurrentIrql();  // the kernel knows this thread from now on
    auto self = static_cast<ULONG>(syscall(SYS_gettid));
    EXPECT_TRUE(tm350::ntos::AlertThread(self));
    LARGE_INTEGER short_wait = Milliseconds(10);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &short_wait), STATUS_TIMEOUT);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, TRUE, &short_wait), STATUS_ALERTED);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, TRUE, &short_wait), STATUS_SUCCESS);
}

TEST(KernelTime, SystemTimeIsInHundredNanosecondsSince1601AndTicksAdvance) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    // 2020-01-01 is 132223104000000000 in these units.
    EXPECT_GT(now.QuadPart, 132223104000000000LL);
    LARGE_INTEGER before, after;
    KeQueryTickCount(&before);
    LARGE_INTEGER delay = Milliseconds(40);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    KeQueryTickCount(&after);
    EXPECT_GE(after.QuadPart - before.QuadPart, 2);
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
}

class KernelWaitRules : public ::testing::Test {
protected:
    void SetUp() override { TM350_USE_THREADSAFE_DEATH_TESTS(); }
};

TEST_F(KernelWaitRules, WaitingAtDispatchLevelIsFatalUnlessTheTimeoutIsZero) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    LARGE_INTEGER zero = Zero();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeLowerIrql(irql);
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            LARGE_INTEGER timeout = Milliseconds(1);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        },
        "tm350 verifier: KeWaitForSingleObject with a non-zero time-out at IRQL 2");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        },
        "non-zero time-out at IRQL 2");
}

TEST_F(KernelWaitRules, ObjectMisuseIsFatal) {
    EXPECT_DEATH(
        {
            KSEMAPHORE semaphore;
            KeInitializeSemaphore(&semaphore, 4, 4);
            KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 1, FALSE);
        },
        "KeReleaseSemaphore by 1 on a semaphore at 4 of limit 4");
    EXPECT_DEATH(
        {
            KEVENT event{};
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        },
        "not an initialised event or semaphore");
    EXPECT_DEATH(
        {
            LARGE_INTEGER delay = Milliseconds(1);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
        },
        "KeDelayExecutionThread called at IRQL 2");
}

}  // namespace
}  // namespace tm350::test
