// Securing ranges of the caller's address space: refused where the pages
// lack the access asked for, anywhere in the range.
#include "kernel/kernel_test_support.h"

#include <ntddk.h>

#include <sys/mman.h>
#include <unistd.h>

namespace tm350::test {
namespace {

class SecureVirtualMemory : public ::testing::Test {
protected:
    void SetUp() override {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void *memory = mmap(nullptr, 3 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(memory, MAP_FAILED);
        pages_ = static_cast<char *>(memory);
        // Writable, read-only, then no access at all.
        ASSERT_EQ(mprotect(pages_ + page_, page_, PROT_READ), 0);
        ASSERT_EQ(mprotect(pages_ + 2 * page_, page_, PROT_NONE), 0);
    }
    void TearDown() override {
        if (pages_ != nullptr) munmap(pages_, 3 * page_);
    }

    size_t page_ = 0;
    char *pages_ = nullptr;
};

TEST_F(SecureVirtualMemory, AWritableRangeIsSecuredForWritingAndReleased) {
    HANDLE secured = MmSecureVirtualMemory(pages_ + 10, page_ - 10, PAGE_READWRITE);
    ASSERT_NE(secured, nullptr);
    MmUnsecureVirtualMemory(secured);
}

TEST_F(SecureVirtualMemory, ARangeReachingReadOnlyPagesIsSecuredOnlyForReading) {
    EXPECT_EQ(MmSecureVirtualMemory(pages_ + page_, 1, PAGE_READWRITE), nullptr);
    EXPECT_EQ(MmSecureVirtualMemory(pages_ + page_ - 1, 2, PAGE_READWRITE), nullptr);
    HANDLE secured = MmSecureVirtualMemory(pages_ + page_ - 1, 2, PAGE_READONLY);
    ASSERT_NE(secured, nullptr);
    MmUnsecureVirtualMemory(secured);
}

TEST_F(SecureVirtualMemory, InaccessiblePagesAnEmptyRangeOrAnUnknownModeAreRefused) {
    EXPECT_EQ(MmSecureVirtualMemory(pages_ + 2 * page_ - 1, 2, PAGE_READONLY), nullptr);
    EXPECT_EQ(MmSecureVirtualMemory(pages_, 0, PAGE_READONLY), nullptr);
    EXPECT_EQ(MmSecureVirtualMemory(pages_, 1, 0x40), nullptr);  // PAGE_EXECUTE_READWRITE
}

}  // namespace
}  // namespace tm350::test
