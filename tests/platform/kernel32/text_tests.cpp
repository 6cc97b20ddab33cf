// The lstr* functions and the code page conversions.
#include "platform/kernel32/kernel32_test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace tm350::test {
namespace {

std::u16string Wide(const WCHAR *text) { return std::u16string(reinterpret_cast<const char16_t *>(text)); }

TEST(Strings, CopyConcatenateAndMeasure) {
    WCHAR buffer[16];
    EXPECT_EQ(lstrcpyW(buffer, L"abc"), buffer);
    EXPECT_EQ(lstrcatW(buffer, L"def"), buffer);
    EXPECT_EQ(Wide(buffer), u"abcdef");
    EXPECT_EQ(lstrlenA("\xC3\xA9t\xC3\xA9"), 5);  // bytes, not characters
    // lstrcpyn keeps room for the terminator.
    lstrcpynW(buffer, L"truncated", 5);
    EXPECT_EQ(Wide(buffer), u"trun");
    lstrcpynW(buffer, L"xy", 1);
    EXPECT_EQ(Wide(buffer), u"");
}

TEST(Strings, CompareInWordOrder) {
    EXPECT_EQ(lstrcmpW(L"same", L"same"), 0);
    EXPECT_LT(lstrcmpW(L"apple", L"Banana"), 0);  // alphabetical, not by code unit
    EXPECT_LT(lstrcmpW(L"a", L"A"), 0);           // case breaks ties, lower first
    EXPECT_LT(lstrcmpW(L"_x", L"1x"), 0);  // symbols, digits, letters
    EXPECT_LT(lstrcmpW(L"9", L"a"), 0);
    EXPECT_EQ(lstrcmpiW(L"Hello", L"hELLO"), 0);
    EXPECT_EQ(lstrcmpiA("\xC3\x89T\xC3\x89", "\xC3\xA9t\xC3\xA9"), 0);  // Latin-1 letters fold too
    EXPECT_LT(lstrcmpiA(nullptr, "a"), 0);
    EXPECT_EQ(lstrcmpW(nullptr, nullptr), 0);
}

TEST(CodePages, MultiByteToWideCharFollowsTheSizeRules) {
    const char *text = "h\xC3\xA9llo \xF0\x9F\x98\x80";  // an e-acute and one astral character
    // -1 converts the terminator too; an explicit length does not.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0), 9);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text, 3, nullptr, 0), 2);
    WCHAR buffer[9];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, buffer, 9), 9);
    EXPECT_EQ(Wide(buffer), u"h\u00e9llo \U0001F600");
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, buffer, 8), 0);
    EXPECT_LAST_ERROR(ERROR_INSUFFICIENT_BUFFER);

    struct BadCall {
        UINT code_page;
        DWORD flags;
        const char *input;
        int input_size;
        int output_size;
        DWORD error;
    } bad_calls[] = {
        {CP_UTF8, 0, text, 0, 9, ERROR_INVALID_PARAMETER},
        {1252, 0, text, -1, 9, ERROR_INVALID_PARAMETER},
        {CP_UTF8, MB_PRECOMPOSED, text, -1, 9, ERROR_INVALID_FLAGS},
        {CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF", -1, 9, ERROR_NO_UNICODE_TRANSLATION},
    };
    for (const BadCall &call : bad_calls) {
        SetLastError(0);
        EXPECT_EQ(MultiByteToWideChar(call.code_page, call.flags, call.input, call.input_size, buffer,
                                      call.output_size),
                  0);
        EXPECT_EQ(GetLastError(), call.error) << call.code_page << " " << call.flags;
    }
    // Without the strict flag, each ill-formed sequence becomes one U+FFFD.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\xE2\x82" "b\xC0\xAF", -1, buffer, 9), 6);
    EXPECT_EQ(Wide(buffer), u"a\uFFFDb\uFFFD\uFFFD");
}

TEST(CodePages, WideCharToMultiByteFollowsTheSizeRules) {
    const WCHAR *text = L"h\u00e9llo \U0001F600";
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr), 12);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, 2, nullptr, 0, nullptr, nullptr), 3);
    char buffer[12];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, 12, nullptr, nullptr), 12);
    EXPECT_STREQ(buffer, "h\xC3\xA9llo \xF0\x9F\x98\x80");
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, 11, nullptr, nullptr), 0);
    EXPECT_LAST_ERROR(ERROR_INSUFFICIENT_BUFFER);

    BOOL used_default = TRUE;
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, 12, nullptr, &used_default), 0);
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, 12, "?", &used_default), 12);
    EXPECT_FALSE(used_default);

    const WCHAR lone_surrogate[] = {L'a', 0xD800, 0};
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone_surrogate, -1, buffer, 12, nullptr, nullptr),
              0);
    EXPECT_LAST_ERROR(ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, lone_surrogate, -1, buffer, 12, nullptr, nullptr), 5);
    EXPECT_STREQ(buffer, "a\xEF\xBF\xBD");
}

}  // namespace
}  // namespace tm350::test
