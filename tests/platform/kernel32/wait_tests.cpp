// Events, semaphores, mutexes and the waits on them.
#include "platform/kernel32/kernel32_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

namespace tm350::test {
namespace {

bool IsSignalled(HANDLE object) { return WaitForSingleObject(object, 0) == WAIT_OBJECT_0; }

TEST(Waits, WaitAnyReportsTheLowestSignalledIndex) {
    std::vector<Handle> events;
    for (int i = 0; i < 3; ++i) events.emplace_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::vector<HANDLE> raw = Raw(events);
    const HANDLE *handles = raw.data();
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), DWORD{WAIT_TIMEOUT});
    SetEvent(events[2]);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, TRUE, 0), DWORD{WAIT_TIMEOUT});
    SetEvent(events[0]);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, TRUE, 0), WAIT_OBJECT_0);
}

TEST(Waits, TimesOutNoEarlierThanAsked) {
    Handle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 100), DWORD{WAIT_TIMEOUT});
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST(Waits, RejectsBadArguments) {
    Handle event(CreateEventA(nullptr, TRUE, TRUE, nullptr));
    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, event.get());
    struct Case {
        DWORD count;
        const HANDLE *handles;
        BOOL wait_all;
    } cases[] = {
        {0, many.data(), FALSE},
        {MAXIMUM_WAIT_OBJECTS + 1, many.data(), FALSE},
        {1, nullptr, FALSE},
        {2, many.data(), TRUE},  // the same object twice in a wait-all
    };
    for (const Case &c : cases) {
        SetLastError(0);
        EXPECT_EQ(WaitForMultipleObjects(c.count, c.handles, c.wait_all, 0), WAIT_FAILED) << c.count;
        EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
    }
    // A wait-any may name an object twice.
    EXPECT_EQ(WaitForMultipleObjects(2, many.data(), FALSE, 0), WAIT_OBJECT_0);
}

TEST(Waits, AutoResetEventReleasesOneWaiterPerSet) {
    Handle event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    std::atomic<int> released{0};
    std::vector<Handle> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back(StartThread([&] {
            WaitForSingleObject(event, INFINITE);
            ++released;
            return DWORD{0};
        }));
    }
    std::vector<HANDLE> waiting = Raw(threads);
    ASSERT_TRUE(WaitersReach(event, 3));
    for (int set = 1; set <= 3; ++set) {
        SetEvent(event);
        EXPECT_EQ(tm350::kernel::WaiterCount(event), static_cast<size_t>(3 - set));  // one released, at once
        DWORD ended = WaitForMultipleObjects(static_cast<DWORD>(waiting.size()), waiting.data(), FALSE, kPromptly);
        ASSERT_LT(ended, WAIT_OBJECT_0 + waiting.size());
        waiting.erase(waiting.begin() + (ended - WAIT_OBJECT_0));
        EXPECT_EQ(released.load(), set);
        EXPECT_FALSE(IsSignalled(event));
    }
}

TEST(Waits, ManualResetEventReleasesEveryWaiterAndStaysSet) {
    Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::vector<Handle> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back(StartThread([&] { return WaitForSingleObject(event, INFINITE); }));
    ASSERT_TRUE(WaitersReach(event, 4));
    SetEvent(event);
    EXPECT_EQ(WaitForMultipleObjects(4, Raw(threads).data(), TRUE, kPromptly), WAIT_OBJECT_0);
    EXPECT_TRUE(IsSignalled(event));
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_FALSE(IsSignalled(event));
    // A pulse with nobody waiting leaves the event reset.
    EXPECT_TRUE(PulseEvent(event));
    EXPECT_FALSE(IsSignalled(event));
}

TEST(Waits, WaitAllTakesNothingUntilItCanTakeEverything) {
    Handle first(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    Handle second(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    HANDLE both[] = {first, second};
    Handle wait_all(StartThread([&] { return WaitForMultipleObjects(2, both, TRUE, INFINITE); }));
    ASSERT_TRUE(WaitersReach(second, 1));
    Handle wait_first(StartThread([&] { return WaitForSingleObject(first, INFINITE); }));
    ASSERT_TRUE(WaitersReach(first, 2));

    // The wait-all, first in line, cannot use `first` alone, so the single wait gets it.
    SetEvent(first);
    ASSERT_EQ(WaitForSingleObject(wait_first, kPromptly), WAIT_OBJECT_0);
    SetEvent(second);
    EXPECT_EQ(tm350::kernel::WaiterCount(second), 1u);  // still waiting, for `first`
    SetEvent(first);
    ASSERT_EQ(WaitForSingleObject(wait_all, kPromptly), WAIT_OBJECT_0);
    DWORD result = 0;
    GetExitCodeThread(wait_all, &result);
    EXPECT_EQ(result, WAIT_OBJECT_0);
    // Both auto-reset events were consumed by the one wait.
    EXPECT_FALSE(IsSignalled(first));
    EXPECT_FALSE(IsSignalled(second));
}

TEST(Semaphores, CountWithinTheirLimits) {
    for (auto [initial, maximum] : {std::pair{-1, 5}, {6, 5}, {0, 0}}) {
        SetLastError(0);
        EXPECT_EQ(CreateSemaphoreA(nullptr, initial, maximum, nullptr), nullptr);
        EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
    }
    Handle semaphore(CreateSemaphoreW(nullptr, 2, 3, nullptr));
    EXPECT_TRUE(IsSignalled(semaphore));
    EXPECT_TRUE(IsSignalled(semaphore));
    EXPECT_FALSE(IsSignalled(semaphore));
    LONG previous = -1;
    EXPECT_TRUE(ReleaseSemaphore(semaphore, 3, &previous));
    EXPECT_EQ(previous, 0);
    EXPECT_FALSE(ReleaseSemaphore(semaphore, 1, &previous));
    EXPECT_LAST_ERROR(ERROR_TOO_MANY_POSTS);
    EXPECT_FALSE(ReleaseSemaphore(semaphore, 0, nullptr));
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
}

TEST(Mutexes, AreRecursiveAndOnlyTheOwnerReleases) {
    Handle mutex(CreateMutexA(nullptr, TRUE, nullptr));
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // recursion level 2
    Handle other(StartThread([&]() -> DWORD {
        if (WaitForSingleObject(mutex, 0) != WAIT_TIMEOUT) return 1;
        if (ReleaseMutex(mutex) || GetLastError() != ERROR_NOT_OWNER) return 2;
        // Blocks until the owner has released both levels.
        if (WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0) return 3;
        return ReleaseMutex(mutex) ? 0 : 4;
    }));
    ASSERT_TRUE(WaitersReach(mutex, 1));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(tm350::kernel::WaiterCount(mutex), 1u);  // one level is still held
    EXPECT_TRUE(ReleaseMutex(mutex));
    ASSERT_EQ(WaitForSingleObject(other, kPromptly), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeThread(other, &code);
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_LAST_ERROR(ERROR_NOT_OWNER);
}

TEST(Mutexes, OwnerEndingAbandonsThem) {
    Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Handle mutex(CreateMutexA(nullptr, FALSE, nullptr));
    Handle owner(StartThread([&] { return WaitForSingleObject(mutex, INFINITE); }));
    ASSERT_EQ(WaitForSingleObject(owner, kPromptly), WAIT_OBJECT_0);
    HANDLE handles[] = {event, mutex};
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, kPromptly), WAIT_ABANDONED_0 + 1);
    // Taken over by this thread; the abandonment is reported once.
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
}

TEST(NamedObjects, SecondCreateOpensTheFirst) {
    Handle first(CreateEventA(nullptr, TRUE, FALSE, "tm350-test-named-event"));
    EXPECT_LAST_ERROR(ERROR_SUCCESS);
    Handle second(CreateEventW(nullptr, TRUE, FALSE, L"tm350-test-named-event"));
    EXPECT_LAST_ERROR(ERROR_ALREADY_EXISTS);
    ASSERT_NE(second.get(), nullptr);
    EXPECT_NE(first.get(), second.get());
    SetEvent(first);
    EXPECT_TRUE(IsSignalled(second));
    EXPECT_EQ(CreateSemaphoreA(nullptr, 0, 1, "tm350-test-named-event"), nullptr);
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace tm350::test
