// Pool and its verifier, counted strings and the status mapping.
#include "kernel/kernel_test_support.h"

#include "platform/kernel/kernel_api.h"
#include "platform/kernel/system_calls.h"

#include <cstdio>
#include <cstring>

namespace tm350::test {
namespace {

constexpr ULONG kTestTag = 'T' | 'e' << 8 | 's' << 16 | 't' << 24;

TEST(KernelPool, AllocatesWritableBlocksAndFreesThemByTag) {
    auto *block = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 100, kTestTag));
    ASSERT_NE(block, nullptr);
    std::memset(block, 0x11, 100);
    ExFreePoolWithTag(block, kTestTag);
    void *untagged = ExAllocatePool(PagedPool, 8);
    ASSERT_NE(untagged, nullptr);
    ExFreePool(untagged);
}

TEST(KernelPool, FaultInjectionMakesChosenAllocationsFail) {
    tm350::ntos::SetPoolAllocationFailure([](const tm350::ntos::PoolRequest &request) { return request.bytes == 1500000; });
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 1500000, kTestTag), nullptr);
    void *other = ExAllocatePoolWithTag(NonPagedPool, 1499999, kTestTag);
    EXPECT_NE(other, nullptr);
    ExFreePool(other);
    tm350::ntos::SetPoolAllocationFailure(nullptr);
    void *now = ExAllocatePoolWithTag(NonPagedPool, 1500000, kTestTag);
    EXPECT_NE(now, nullptr);
    ExFreePool(now);
}

class KernelPoolRules : public ::testing::Test {
protected:
    void SetUp() override { TM350_USE_THREADSAFE_DEATH_TESTS(); }
};

TEST_F(KernelPoolRules, FreeingTwiceOrFreeingWhatIsNotPoolIsFatal) {
    EXPECT_DEATH(
        {
            void *block = ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag);
            ExFreePool(block);
            ExFreePool(block);
        },
        "tm350 verifier: ExFreePool\\(0x[0-9a-f]+\\): pool block tagged 'Test' freed twice");
    EXPECT_DEATH(
        {
            static char not_pool[16];
            ExFreePool(not_pool);
        },
        "ExFreePool\\(0x[0-9a-f]+\\): not a pool block");
    EXPECT_DEATH(ExFreePool(nullptr), "ExFreePool\\(NULL\\)");
}

TEST_F(KernelPoolRules, TagMismatchOverrunAndBadIrqlAreFatal) {
    EXPECT_DEATH(
        {
            void *block = ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag);
            ExFreePoolWithTag(block, 'W' | 'r' << 8 | 'o' << 16 | 'n' << 24);
        },
        "freed with tag 'Wron', allocated with tag 'Test'");
    EXPECT_DEATH(
        {
            auto *block = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag));
            block[16] = 0;
            ExFreePool(block);
        },
        "pool block tagged 'Test' of 16 bytes was written past its end|use-after-poison");
    EXPECT_DEATH(
        {
            auto *block = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag));
            block[-1] = 0;
            ExFreePool(block);
        },
        // The address sanitizer reports the write itself.
        "pool block tagged 'Test' of 16 bytes was written before its start|use-after-poison");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAllocatePoolWithTag(PagedPool, 16, kTestTag);
        },
        "ExAllocatePoolWithTag called at IRQL 2; it may run at IRQL 1 at most");
    EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPool, 0, kTestTag), "ExAllocatePoolWithTag of 0 bytes");
}

#if defined(__SANITIZE_ADDRESS__)
// Freed pool stays in quarantine, poisoned: a read after free is reported.
TEST_F(KernelPoolRules, ReadingFreedPoolIsReportedByTheAddressSanitizer) {
    EXPECT_DEATH(
        {
            auto *block = static_cast<volatile char *>(ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag));
            ExFreePool(const_cast<char *>(block));
            std::printf("%d\n", block[3]);
        },
        "AddressSanitizer: use-after-poison");
}
#endif

TEST(KernelStrings, InitCompareCopyAndAppend) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\Tm350-0");
    EXPECT_EQ(name.Length, 15 * sizeof(WCHAR));
    EXPECT_EQ(name.MaximumLength, 16 * sizeof(WCHAR));
    UNICODE_STRING upper;
    RtlInitUnicodeString(&upper, L"\\DEVICE\\TM350-0");
    EXPECT_TRUE(RtlEqualUnicodeString(&name, &upper, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&name, &upper, FALSE));
    EXPECT_LT(RtlCompareUnicodeString(&upper, &name, FALSE), 0);

    WCHAR storage[12];
    UNICODE_STRING small{0, sizeof storage, storage};
    RtlCopyUnicodeString(&small, &name);  // cut to what fits
    EXPECT_EQ(small.Length, sizeof storage);
    UNICODE_STRING built{0, sizeof storage, storage};
    EXPECT_EQ(RtlAppendUnicodeToString(&built, L"\\Dos"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&built, L"Devices"), STATUS_SUCCESS);
    EXPECT_EQ(built.Length, 11 * sizeof(WCHAR));
    EXPECT_EQ(RtlAppendUnicodeToString(&built, L"\\x"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(built.Length, 11 * sizeof(WCHAR));
}

TEST(KernelStatusMapping, DriverStatusesBecomeTheirWin32Errors) {
    struct {
        NTSTATUS status;
        ULONG error;
    } const cases[] = {
        {STATUS_SUCCESS, 0},
        {STATUS_PENDING, 997},                 // ERROR_IO_PENDING
        {STATUS_CANCELLED, 995},               // ERROR_OPERATION_ABORTED
        {STATUS_INVALID_PARAMETER, 87},        // ERROR_INVALID_PARAMETER
        {STATUS_INVALID_DEVICE_REQUEST, 1},    // ERROR_INVALID_FUNCTION
        {STATUS_BUFFER_TOO_SMALL, 122},        // ERROR_INSUFFICIENT_BUFFER
        {STATUS_DEVICE_NOT_CONNECTED, 1167},   // ERROR_DEVICE_NOT_CONNECTED
        {STATUS_DELETE_PENDING, 5},            // ERROR_ACCESS_DENIED
        {STATUS_UNSUCCESSFUL, 31},             // ERROR_GEN_FAILURE
        {STATUS_INSUFFICIENT_RESOURCES, 1450}, // ERROR_NO_SYSTEM_RESOURCES
        {STATUS_NO_SUCH_DEVICE, 2},            // ERROR_FILE_NOT_FOUND
        {STATUS_OBJECT_NAME_NOT_FOUND, 2},     // ERROR_FILE_NOT_FOUND
        {STATUS_IO_TIMEOUT, 121},              // ERROR_SEM_TIMEOUT
        {STATUS_DEVICE_DATA_ERROR, 23},        // ERROR_CRC
        {STATUS_NO_MEMORY, 8},                 // ERROR_NOT_ENOUGH_MEMORY
        {STATUS_INVALID_HANDLE, 6},            // ERROR_INVALID_HANDLE
        {STATUS_BUFFER_OVERFLOW, 234},         // ERROR_MORE_DATA
        {static_cast<NTSTATUS>(0xC0070020), 0x20},
        {static_cast<NTSTATUS>(0xE0001234), 317},  // ERROR_MR_MID_NOT_FOUND
    };
    for (const auto &entry : cases) {
        EXPECT_EQ(RtlNtStatusToDosError(entry.status), entry.error) << std::hex << entry.status;
    }
}

}  // namespace
}  // namespace tm350::test
