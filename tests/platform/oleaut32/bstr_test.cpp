// BSTR strings: the byte count before the text, the null after it, and a
// null BSTR read as an empty string.
#include <ole2.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

UINT StoredByteCount(BSTR text) {
    UINT count;
    memcpy(&count, reinterpret_cast<const BYTE *>(text) - sizeof(UINT), sizeof(count));
    return count;
}

TEST(Bstr, AllocStringStoresTheByteCountBeforeAndANullAfterTheText) {
    BSTR text = SysAllocString(L"camera");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(StoredByteCount(text), 12u);
    EXPECT_EQ(SysStringLen(text), 6u);
    EXPECT_EQ(SysStringByteLen(text), 12u);
    EXPECT_EQ(memcmp(text, L"camera", 7 * sizeof(OLECHAR)), 0);
    SysFreeString(text);

    BSTR empty = SysAllocString(L"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    EXPECT_EQ(empty[0], 0);
    SysFreeString(empty);
}

TEST(Bstr, ANullBstrIsAnEmptyStringAndFreeingItDoesNothing) {
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);
}

TEST(Bstr, AllocStringLenCopiesExactlyTheGivenCharactersEmbeddedNullsIncluded) {
    const OLECHAR source[] = {'a', 0, 'b', 'c', 'd'};
    BSTR text = SysAllocStringLen(source, 3);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(SysStringLen(text), 3u);
    EXPECT_EQ(text[0], 'a');
    EXPECT_EQ(text[1], 0);
    EXPECT_EQ(text[2], 'b');
    EXPECT_EQ(text[3], 0) << "the terminator follows the counted characters";
    SysFreeString(text);
}

TEST(Bstr, AllocStringLenWithoutSourceGivesAStringOfThatLength) {
    BSTR text = SysAllocStringLen(nullptr, 4);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(SysStringLen(text), 4u);
    EXPECT_EQ(text[4], 0);
    SysFreeString(text);
}

TEST(Bstr, ALengthBeyondTheThirtyTwoBitCountIsRefused) {
    EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
    EXPECT_EQ(SysAllocStringLen(nullptr, UINT32_MAX), nullptr);
    EXPECT_EQ(SysAllocStringByteLen(nullptr, UINT32_MAX), nullptr);
}

TEST(Bstr, ByteLengthStringsKeepAnOddByteCount) {
    BSTR bytes = SysAllocStringByteLen("abc", 3);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(SysStringByteLen(bytes), 3u);
    EXPECT_EQ(SysStringLen(bytes), 1u);
    EXPECT_EQ(memcmp(bytes, "abc", 3), 0);
    const BYTE *after = reinterpret_cast<const BYTE *>(bytes) + 3;
    EXPECT_EQ(after[0], 0);
    EXPECT_EQ(after[1], 0);
    SysFreeString(bytes);
}

TEST(Bstr, ReAllocStringReplacesTheTextEvenFromPartOfTheOldString) {
    BSTR text = SysAllocString(L"video capture");
    ASSERT_NE(text, nullptr);
    ASSERT_TRUE(SysReAllocString(&text, text + 6));
    EXPECT_EQ(SysStringLen(text), 7u);
    EXPECT_EQ(memcmp(text, L"capture", 8 * sizeof(OLECHAR)), 0);

    ASSERT_TRUE(SysReAllocStringLen(&text, L"pin", 2));
    EXPECT_EQ(SysStringLen(text), 2u);
    EXPECT_EQ(text[0], 'p');
    EXPECT_EQ(text[2], 0);
    SysFreeString(text);

    EXPECT_FALSE(SysReAllocString(nullptr, L"x"));
}

}  // namespace
