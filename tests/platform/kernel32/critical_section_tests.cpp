// Critical sections: exclusion under contention, recursion, TryEnter, and
// the fields Windows code reads.
#include "platform/kernel32/kernel32_test_support.h"

#include <gtest/gtest.h>

#include <atomic>

namespace tm350::test {
namespace {

class CriticalSectionTest : public ::testing::Test {
protected:
    void SetUp() override { InitializeCriticalSection(&section_); }
    void TearDown() override { DeleteCriticalSection(&section_); }

    // Whether another thread could enter right now.
    bool OtherThreadCanEnter() {
        Handle thread(StartThread([this]() -> DWORD {
            if (!TryEnterCriticalSection(&section_)) return 0;
            LeaveCriticalSection(&section_);
            return 1;
        }));
        WaitForSingleObject(thread, kPromptly);
        DWORD entered = 0;
        GetExitCodeThread(thread, &entered);
        return entered == 1;
    }

    CRITICAL_SECTION section_;
};

TEST_F(CriticalSectionTest, ExcludesUnderContention) {
    constexpr int kThreads = 4, kRounds = 20000;
    long counter = 0;  // deliberately not atomic: the section protects it
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<Handle> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back(StartThread([&] {
            for (int i = 0; i < kRounds; ++i) {
                EnterCriticalSection(&section_);
                if (++inside != 1) overlapped = true;
                ++counter;
                --inside;
                LeaveCriticalSection(&section_);
            }
            return DWORD{0};
        }));
    }
    ASSERT_EQ(WaitForMultipleObjects(kThreads, Raw(threads).data(), TRUE, 120000), WAIT_OBJECT_0);
    EXPECT_EQ(counter, long{kThreads} * kRounds);
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(section_.LockCount, -1);
    EXPECT_EQ(section_.RecursionCount, 0);
    EXPECT_EQ(section_.OwningThread, nullptr);
}

TEST_F(CriticalSectionTest, IsRecursiveForItsOwner) {
    EnterCriticalSection(&section_);
    EXPECT_TRUE(TryEnterCriticalSection(&section_));
    EnterCriticalSection(&section_);
    EXPECT_EQ(section_.RecursionCount, 3);
    EXPECT_EQ(section_.OwningThread, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId())));
    EXPECT_GE(section_.LockCount, 0);

    LeaveCriticalSection(&section_);
    LeaveCriticalSection(&section_);
    EXPECT_FALSE(OtherThreadCanEnter());
    LeaveCriticalSection(&section_);
    EXPECT_TRUE(OtherThreadCanEnter());
}

TEST_F(CriticalSectionTest, BlockedEnterProceedsWhenTheOwnerLeaves) {
    EnterCriticalSection(&section_);
    std::atomic<bool> entered{false};
    Handle waiter(StartThread([&] {
        EnterCriticalSection(&section_);
        entered = true;
        LeaveCriticalSection(&section_);
        return DWORD{0};
    }));
    // The waiter is counted before it blocks.
    ASSERT_TRUE(EventuallyTrue([&] { return __atomic_load_n(&section_.LockCount, __ATOMIC_SEQ_CST) >= 1; }));
    EXPECT_FALSE(entered);
    LeaveCriticalSection(&section_);
    ASSERT_EQ(WaitForSingleObject(waiter, kPromptly), WAIT_OBJECT_0);
    EXPECT_TRUE(entered);
}

}  // namespace
}  // namespace tm350::test
