// Threads: start, suspension, exit codes, thread handles and ids.
#include "platform/kernel32/kernel32_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

namespace tm350::test {
namespace {

DWORD ExitCodeOf(HANDLE thread) {
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    return code;
}

TEST(Threads, ReportExitCodesOnceEnded) {
    Handle release(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Handle returning(StartThread([&] {
        WaitForSingleObject(release, INFINITE);
        return DWORD{7};
    }));
    EXPECT_EQ(ExitCodeOf(returning), STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(returning, 0), DWORD{WAIT_TIMEOUT});
    SetEvent(release);
    ASSERT_EQ(WaitForSingleObject(returning, kPromptly), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(returning), 7u);
    // Ended threads stay signalled.
    EXPECT_EQ(WaitForSingleObject(returning, 0), WAIT_OBJECT_0);
}

TEST(Threads, ExitThreadUnwindsAndSetsTheCode) {
    struct SetOnUnwind {
        std::atomic<bool> &flag;
        ~SetOnUnwind() { flag = true; }
    };
    std::atomic<bool> unwound{false};
    Handle thread(StartThread([&]() -> DWORD {
        SetOnUnwind guard{unwound};
        ExitThread(9);
    }));
    ASSERT_EQ(WaitForSingleObject(thread, kPromptly), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(thread), 9u);
    EXPECT_TRUE(unwound);
}

TEST(Threads, SuspendedThreadRunsOnlyOnceResumed) {
    std::atomic<bool> ran{false};
    std::atomic<DWORD> own_id{0};
    DWORD id = 0;
    Handle thread(StartThread(
        [&] {
            ran = true;
            own_id = GetCurrentThreadId();
            return DWORD{0};
        },
        CREATE_SUSPENDED, &id));
    ASSERT_NE(thread.get(), nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(GetThreadId(thread), id);
    EXPECT_EQ(WaitForSingleObject(thread, 100), DWORD{WAIT_TIMEOUT});
    EXPECT_FALSE(ran);
    EXPECT_EQ(ResumeThread(thread), 1u);
    ASSERT_EQ(WaitForSingleObject(thread, kPromptly), WAIT_OBJECT_0);
    EXPECT_TRUE(ran);
    EXPECT_EQ(own_id.load(), id);
    EXPECT_EQ(ResumeThread(thread), 0u);
}

TEST(Threads, KeepRunningAfterTheirHandleIsClosed) {
    Handle release(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Handle finished(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    HANDLE thread = StartThread([&] {
        WaitForSingleObject(release, INFINITE);
        SetEvent(finished);
        return DWORD{3};
    });
    HANDLE duplicate = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &duplicate, 0, FALSE,
                                DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
    Handle kept(duplicate);
    EXPECT_FALSE(CloseHandle(thread));  // closed by the duplication
    SetEvent(release);
    EXPECT_EQ(WaitForSingleObject(finished, kPromptly), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(kept, kPromptly), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(kept), 3u);
}

TEST(Threads, CurrentThreadPseudoHandleWorksEverywhere) {
    HANDLE self = GetCurrentThread();
    EXPECT_EQ(GetThreadId(self), GetCurrentThreadId());
    EXPECT_EQ(ExitCodeOf(self), STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(self, 0), DWORD{WAIT_TIMEOUT});
    EXPECT_EQ(GetThreadPriority(self), THREAD_PRIORITY_NORMAL);
    EXPECT_TRUE(SetThreadPriority(self, THREAD_PRIORITY_ABOVE_NORMAL));
    EXPECT_EQ(GetThreadPriority(self), THREAD_PRIORITY_ABOVE_NORMAL);
    EXPECT_FALSE(SetThreadPriority(self, 5));
    EXPECT_TRUE(SetThreadPriority(self, THREAD_PRIORITY_NORMAL));
    EXPECT_TRUE(CloseHandle(self));  // a no-op for pseudo-handles
}

TEST(Threads, ThreadsNotStartedByCreateThreadCanBeWaitedOn) {
    HANDLE handle = nullptr;
    DWORD id = 0;
    Handle ready(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Handle proceed(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::thread other([&] {
        id = GetCurrentThreadId();
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &handle, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        SetEvent(ready);
        WaitForSingleObject(proceed, INFINITE);
    });
    ASSERT_EQ(WaitForSingleObject(ready, kPromptly), WAIT_OBJECT_0);
    Handle thread(handle);
    EXPECT_EQ(GetThreadId(thread), id);
    EXPECT_EQ(WaitForSingleObject(thread, 0), DWORD{WAIT_TIMEOUT});
    SetEvent(proceed);
    EXPECT_EQ(WaitForSingleObject(thread, kPromptly), WAIT_OBJECT_0);
    other.join();
}

TEST(Threads, IdsAndLastErrorsArePerThread) {
    Handle release(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::set<DWORD> ids = {GetCurrentThreadId()};
    std::vector<Handle> threads;
    for (int i = 0; i < 4; ++i) {
        DWORD id = 0;
        threads.emplace_back(StartThread(
            [&] {
                DWORD inherited = GetLastError();
                SetLastError(5678);
                WaitForSingleObject(release, INFINITE);
                return inherited;
            },
            0, &id));
        ids.insert(id);  // all alive at once, so all distinct
    }
    SetLastError(1234);
    SetEvent(release);
    ASSERT_EQ(WaitForMultipleObjects(4, Raw(threads).data(), TRUE, kPromptly), WAIT_OBJECT_0);
    for (const Handle &thread : threads) EXPECT_EQ(ExitCodeOf(thread), 0u);
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(ids.size(), 5u);
    EXPECT_EQ(ids.count(0), 0u);
}

}  // namespace
}  // namespace tm350::test
