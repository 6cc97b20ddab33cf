// System information, default languages and time.
#include "platform/kernel32/kernel32_test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace tm350::test {
namespace {

TEST(SystemInfo, ReportsTheProcessorsOrTheOverride) {
    SYSTEM_INFO info{};
    {
        ScopedEnvironment unset("TM350_PROCESSORS", std::nullopt);
        GetSystemInfo(&info);
        EXPECT_EQ(info.dwNumberOfProcessors, static_cast<DWORD>(sysconf(_SC_NPROCESSORS_ONLN)));
        EXPECT_EQ(info.dwPageSize, static_cast<DWORD>(sysconf(_SC_PAGESIZE)));
        EXPECT_EQ(info.dwAllocationGranularity, 0x10000u);
    }
    {
        ScopedEnvironment three("TM350_PROCESSORS", "3");
        GetSystemInfo(&info);
        EXPECT_EQ(info.dwNumberOfProcessors, 3u);
        EXPECT_EQ(info.dwActiveProcessorMask, DWORD_PTR{0x7});
    }
    {
        ScopedEnvironment many("TM350_PROCESSORS", "0x40");
        GetSystemInfo(&info);
        EXPECT_EQ(info.dwNumberOfProcessors, 64u);
        EXPECT_EQ(info.dwActiveProcessorMask, ~DWORD_PTR{0});
    }
    for (const char *nonsense : {"0", "-2", "four", ""}) {
        ScopedEnvironment bad("TM350_PROCESSORS", nonsense);
        GetSystemInfo(&info);
        EXPECT_EQ(info.dwNumberOfProcessors, static_cast<DWORD>(sysconf(_SC_NPROCESSORS_ONLN))) << nonsense;
    }
}

TEST(SystemInfo, VersionIsTheOneUnmanifestedProgramsSee) {
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    ASSERT_TRUE(GetVersionExW(&version));
    EXPECT_EQ(version.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(version.dwMajorVersion, 6u);
    EXPECT_EQ(version.dwMinorVersion, 2u);
    version.dwOSVersionInfoSize = 12;
    SetLastError(0);
    EXPECT_FALSE(GetVersionExW(&version));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(Languages, DefaultToUsEnglishUnlessOverridden) {
    auto all_three = [](LANGID expected) {
        EXPECT_EQ(GetUserDefaultLangID(), expected);
        EXPECT_EQ(GetSystemDefaultLangID(), expected);
        EXPECT_EQ(GetUserDefaultUILanguage(), expected);
    };
    {
        ScopedEnvironment unset("TM350_LANGID", std::nullopt);
        all_three(0x0409);
    }
    {
        ScopedEnvironment hex("TM350_LANGID", "0x0804");
        all_three(MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED));
    }
    {
        ScopedEnvironment decimal("TM350_LANGID", "1031");
        all_three(MAKELANGID(LANG_GERMAN, SUBLANG_DEFAULT));
    }
    for (const char *nonsense : {"0x", "zh-CN", "0x10000", "0"}) {
        ScopedEnvironment bad("TM350_LANGID", nonsense);
        EXPECT_EQ(GetUserDefaultLangID(), 0x0409) << nonsense;
    }
}

TEST(Time, ClocksAdvanceAtLeastAsLongAsSlept) {
    LARGE_INTEGER frequency{}, before{}, after{};
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    ASSERT_GT(frequency.QuadPart, 0);
    ULONGLONG ticks_before = GetTickCount64();
    ASSERT_TRUE(QueryPerformanceCounter(&before));
    Sleep(50);
    ASSERT_TRUE(QueryPerformanceCounter(&after));
    ULONGLONG ticks_after = GetTickCount64();
    EXPECT_GE(ticks_after - ticks_before, 50u);
    EXPECT_GE(after.QuadPart - before.QuadPart, frequency.QuadPart / 20);
    // GetTickCount is the low 32 bits of the same count.
    DWORD ticks = GetTickCount();
    EXPECT_LE(static_cast<DWORD>(ticks - static_cast<DWORD>(ticks_after)), 1000u);
}

}  // namespace
}  // namespace tm350::test
