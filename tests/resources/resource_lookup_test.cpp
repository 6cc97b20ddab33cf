// Finding a module's resources by type, name and language, and loading its
// strings, with the errors Windows gives.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "capture_module.h"
#include "common/resource_file.h"
#include "resources/resource.h"

namespace resources_test {
namespace {

const LANGID kChinese = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
const LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

std::u16string LoadedString(HMODULE module, UINT id) {
    WCHAR buffer[64] = {};
    int length = LoadStringW(module, id, buffer, 64);
    return std::u16string(reinterpret_cast<const char16_t *>(buffer), length);
}

TEST(ResourceLookup, FindsTheDialogsOfTheCaptureModuleAndLoadsTheirData) {
    HMODULE module = CaptureModule();
    ASSERT_NE(module, nullptr);
    for (int dialog : {IDD_SIZE_PAGE_CHS, IDD_SIZE_PAGE, IDD_SETUP_PAGE, IDD_SETUP_PAGE_CHS}) {
        HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(dialog), MAKEINTRESOURCEW(5));
        ASSERT_NE(found, nullptr) << dialog;
        HGLOBAL loaded = LoadResource(module, found);
        ASSERT_NE(loaded, nullptr);
        const auto *data = static_cast<const WORD *>(LockResource(loaded));
        EXPECT_GT(SizeofResource(module, found), 26u);
        // An extended template starts with its version 1 and 0xFFFF.
        EXPECT_EQ(data[0], 1);
        EXPECT_EQ(data[1], 0xFFFF);
        EXPECT_FALSE(FreeResource(loaded));
    }
    // Names and types also by "#number" and through the ANSI entry point.
    EXPECT_EQ(FindResourceW(module, L"#104", L"#5"), FindResourceW(module, MAKEINTRESOURCEW(104), MAKEINTRESOURCEW(5)));
    EXPECT_EQ(FindResourceA(module, "#142", MAKEINTRESOURCEA(5)), FindResourceW(module, MAKEINTRESOURCEW(142), MAKEINTRESOURCEW(5)));
}

TEST(ResourceLookup, ReportsWhatIsMissingAsWindowsDoes) {
    HMODULE module = CaptureModule();
    ASSERT_NE(module, nullptr);
    SetLastError(0);
    EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCEW(999), MAKEINTRESOURCEW(5)), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCEW(104), MAKEINTRESOURCEW(23)), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
    EXPECT_EQ(FindResourceW(module, L"SETUP", MAKEINTRESOURCEW(5)), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    // The test program itself (NULL) carries no resources.
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(104), MAKEINTRESOURCEW(5)), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
    // An address inside the module is not its handle.
    auto *inside = reinterpret_cast<HMODULE>(reinterpret_cast<BYTE *>(module) + 0x1000);
    EXPECT_EQ(FindResourceW(inside, MAKEINTRESOURCEW(104), MAKEINTRESOURCEW(5)), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // A resource handle belongs to its module only.
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(104), MAKEINTRESOURCEW(5));
    EXPECT_EQ(LoadResource(nullptr, found), nullptr);
    EXPECT_EQ(SizeofResource(nullptr, found), 0u);
    EXPECT_EQ(LoadResource(module, reinterpret_cast<HRSRC>(reinterpret_cast<BYTE *>(found) + 4)), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(ResourceLookup, ChineseTemplatesAreChineseAndNeutralOnesServeEveryLanguage) {
    HMODULE module = CaptureModule();
    ASSERT_NE(module, nullptr);
    for (int dialog : {IDD_SIZE_PAGE_CHS, IDD_SETUP_PAGE_CHS}) {
        EXPECT_NE(FindResourceExW(module, MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(dialog), kChinese), nullptr);
        SetLastError(0);
        EXPECT_EQ(FindResourceExW(module, MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(dialog), kEnglish), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
        // Without a language the template is found whatever the UI language.
        UiLanguage english(kEnglish);
        EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(dialog), MAKEINTRESOURCEW(5)), nullptr);
    }
    for (int dialog : {IDD_SIZE_PAGE, IDD_SETUP_PAGE}) {
        EXPECT_NE(FindResourceExW(module, MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(dialog), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)), nullptr);
        EXPECT_NE(FindResourceExW(module, MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(dialog), kChinese), nullptr);
        EXPECT_NE(FindResourceExW(module, MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(dialog), kEnglish), nullptr);
    }
}

TEST(StringLoading, EveryTitleLoadsInEitherUiLanguageFromThatLanguagesTable) {
    HMODULE module = CaptureModule();
    ASSERT_NE(module, nullptr);
    HRSRC chinese_block = nullptr, english_block = nullptr;
    for (LANGID ui : {kChinese, kEnglish}) {
        UiLanguage language(ui);
        EXPECT_EQ(LoadedString(module, IDS_SIZE_TITLE_CHS), u"视频尺寸");
        EXPECT_EQ(LoadedString(module, IDS_SIZE_TITLE), u"Video Size");
        EXPECT_EQ(LoadedString(module, IDS_SETUP_TITLE), u" SETUP");
        EXPECT_EQ(LoadedString(module, IDS_SETUP_TITLE_CHS), u" 设置");
        (ui == kChinese ? chinese_block : english_block) = FindResourceW(module, MAKEINTRESOURCEW(8), MAKEINTRESOURCEW(6));
    }
    // Each language's lookup took its own table.
    EXPECT_NE(chinese_block, nullptr);
    EXPECT_NE(english_block, nullptr);
    EXPECT_NE(chinese_block, english_block);
    EXPECT_EQ(chinese_block, FindResourceExW(module, MAKEINTRESOURCEW(6), MAKEINTRESOURCEW(8), kChinese));
}

TEST(StringLoading, CutsToTheBufferAndKeepsTheTerminator) {
    HMODULE module = CaptureModule();
    ASSERT_NE(module, nullptr);
    WCHAR wide[4];
    std::memset(wide, 0x55, sizeof wide);
    EXPECT_EQ(LoadStringW(module, IDS_SIZE_TITLE, wide, 3), 2);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(wide)), u"Vi");
    EXPECT_EQ(LoadStringW(module, IDS_SIZE_TITLE, wide, 1), 0);
    EXPECT_EQ(wide[0], 0);

    // The ANSI form counts bytes of UTF-8 and never splits a character:
    // " 设置" is 7 bytes; 6 would cut 置 in half, so only " 设" fits.
    char narrow[8];
    EXPECT_EQ(LoadStringA(module, IDS_SETUP_TITLE_CHS, narrow, 8), 7);
    EXPECT_STREQ(narrow, " 设置");
    EXPECT_EQ(LoadStringA(module, IDS_SETUP_TITLE_CHS, narrow, 6), 4);
    EXPECT_STREQ(narrow, " 设");
}

TEST(StringLoading, ZeroSizedBufferGetsAPointerToTheStoredString) {
    HMODULE module = CaptureModule();
    ASSERT_NE(module, nullptr);
    const WCHAR *stored = nullptr;
    int length = LoadStringW(module, IDS_SETUP_TITLE_CHS, reinterpret_cast<LPWSTR>(&stored), 0);
    ASSERT_EQ(length, 3);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(stored), length), u" 设置");
    // It points into the module's own image.
    EXPECT_GT(reinterpret_cast<const BYTE *>(stored), reinterpret_cast<const BYTE *>(module));
}

TEST(StringLoading, MissingStringsLoadAsNothing) {
    HMODULE module = CaptureModule();
    ASSERT_NE(module, nullptr);
    WCHAR buffer[8] = {u'x'};
    // 115 shares the titles' block but is not in it; 5000's block does not exist.
    for (UINT id : {115u, 5000u}) {
        SetLastError(0);
        EXPECT_EQ(LoadStringW(module, id, buffer, 8), 0) << id;
        EXPECT_EQ(buffer[0], 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND)) << id;
    }
    const WCHAR *stored = reinterpret_cast<const WCHAR *>(1);
    EXPECT_EQ(LoadStringW(module, 115, reinterpret_cast<LPWSTR>(&stored), 0), 0);
    EXPECT_EQ(stored, nullptr);
}

// A damaged .res must be refused whole, never read past its end.
TEST(ResourceFile, RefusesRecordsThatRunPastTheEnd) {
    HMODULE module = CaptureModule();
    ASSERT_NE(module, nullptr);
    HRSRC first = FindResourceW(module, MAKEINTRESOURCEW(103), MAKEINTRESOURCEW(5));
    ASSERT_NE(first, nullptr);
    // The module's .res begins one 32-byte marker record before its first resource.
    const BYTE *image = reinterpret_cast<const BYTE *>(first) - 32;
    alignas(4) BYTE copy[4096];
    std::memcpy(copy, image, sizeof copy);
    auto whole = tm350::resources::ParseResourceFile(std::span<const BYTE>(copy, 32 + 32 + SizeofResource(module, first)));
    ASSERT_TRUE(whole);
    ASSERT_EQ(whole->size(), 1u);
    EXPECT_EQ(whole->front().language, kChinese);

    EXPECT_FALSE(tm350::resources::ParseResourceFile(std::span<const BYTE>(copy, 32 + 32 + 10)));
    EXPECT_FALSE(tm350::resources::ParseResourceFile(std::span<const BYTE>(copy, 32 + 20)));
    DWORD huge_header = 0x7FFFFFF0;
    std::memcpy(copy + 32 + 4, &huge_header, sizeof huge_header);
    EXPECT_FALSE(tm350::resources::ParseResourceFile(std::span<const BYTE>(copy, sizeof copy)));
}

}  // namespace
}  // namespace resources_test
