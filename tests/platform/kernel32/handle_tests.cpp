// The handle table: handle values, invalid and closed handles, duplication,
// and object types other platform libraries register.
#include "platform/kernel32/kernel32_test_support.h"

#include "kernel32/kernel_objects.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>

namespace tm350::test {
namespace {

TEST(Handles, AreSmallMultiplesOfFourNotReusedAtOnce) {
    std::set<HANDLE> seen;
    for (int i = 0; i < 100; ++i) {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
        EXPECT_NE(event, INVALID_HANDLE_VALUE);
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(event) % 4, 0u);
        EXPECT_LT(reinterpret_cast<ULONG_PTR>(event), ULONG_PTR{1} << 32);
        EXPECT_TRUE(seen.insert(event).second) << "a closed handle value came back at once";
        CloseHandle(event);
    }
}

TEST(Handles, NullClosedAndWrongTypeHandlesAreInvalid) {
    HANDLE closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    Handle semaphore(CreateSemaphoreA(nullptr, 1, 1, nullptr));
    Handle event(CreateEventA(nullptr, TRUE, TRUE, nullptr));
    for (HANDLE bad : {static_cast<HANDLE>(nullptr), closed, reinterpret_cast<HANDLE>(0x12345)}) {
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
        EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
        HANDLE pair[] = {event, bad};
        EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 0), WAIT_FAILED);
        EXPECT_FALSE(SetEvent(bad));
    }
    SetLastError(0);
    EXPECT_FALSE(SetEvent(semaphore));
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReleaseSemaphore(event, 1, nullptr));
    EXPECT_FALSE(ReleaseMutex(event));
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    EXPECT_EQ(ResumeThread(event), static_cast<DWORD>(-1));
}

TEST(Handles, DuplicatesNameTheSameObject) {
    HANDLE original = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE duplicate = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &duplicate, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    EXPECT_NE(duplicate, original);
    ASSERT_TRUE(CloseHandle(original));
    // The object lives on through the duplicate.
    EXPECT_TRUE(SetEvent(duplicate));
    EXPECT_EQ(WaitForSingleObject(duplicate, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(duplicate));

    HANDLE none = nullptr;
    EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &none, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS));
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    EXPECT_FALSE(DuplicateHandle(event, event, GetCurrentProcess(), &none, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
}

// What an I/O manager does: its own waitable type in the same table.
class Completion final : public kernel::DispatcherObject {
public:
    explicit Completion(std::atomic<int> &cleanups) : cleanups_(cleanups) {}
    const char *TypeName() const override { return "Completion"; }
    bool IsSignalledFor(DWORD) const override { return done_; }
    void OnLastHandleClosed() override { ++cleanups_; }
    void Complete() {
        kernel::DispatcherLock lock;
        done_ = true;
        SignalStateChanged(lock);
    }

private:
    std::atomic<int> &cleanups_;
    bool done_ = false;
};

TEST(Handles, PlatformObjectTypesJoinTheTableAndTheWaits) {
    std::atomic<int> cleanups{0};
    auto completion = std::make_shared<Completion>(cleanups);
    HANDLE handle = kernel::InsertObject(completion);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(kernel::ReferenceObject<Completion>(handle), completion);
    SetLastError(0);
    EXPECT_EQ(kernel::ReferenceObject<kernel::EventObject>(handle), nullptr);
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(handle));

    Handle event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    Handle waiter(StartThread([&] {
        HANDLE both[] = {event, handle};
        return WaitForMultipleObjects(2, both, FALSE, INFINITE);
    }));
    completion->Complete();
    ASSERT_EQ(WaitForSingleObject(waiter, kPromptly), WAIT_OBJECT_0);
    DWORD result = 0;
    GetExitCodeThread(waiter, &result);
    EXPECT_EQ(result, WAIT_OBJECT_0 + 1);

    // An event handle set from platform code, as overlapped I/O completes.
    auto event_object = kernel::ReferenceObject<kernel::EventObject>(event);
    ASSERT_NE(event_object, nullptr);
    event_object->Set();
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);

    HANDLE second = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &second, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    EXPECT_EQ(completion->HandleCount(), 2u);
    CloseHandle(handle);
    EXPECT_EQ(cleanups.load(), 0);
    CloseHandle(second);
    EXPECT_EQ(cleanups.load(), 1);
}

}  // namespace
}  // namespace tm350::test
