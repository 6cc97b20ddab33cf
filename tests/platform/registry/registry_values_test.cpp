// Values: the buffer and size rules of RegQueryValueEx, RegSetValueEx and
// RegEnumValue, and the A functions' UTF-8 conversion.
#include "registry_test_support.h"

#include "support/temp_directory.h"

#include <cstring>

using namespace tm350::test;

namespace {

class RegistryValues : public ::testing::Test {
protected:
    void SetUp() override { key_ = CreateKey(HKEY_CURRENT_USER, "Software\\LUMAVEX\\NVC480\\dshow"); }
    void TearDown() override { EXPECT_EQ(RegCloseKey(key_), ERROR_SUCCESS); }

    TempRegistry registry_;
    HKEY key_ = nullptr;
};

TEST_F(RegistryValues, DwordRoundTripAsTheSettingsStoreUsesIt) {
    GetDword(key_, "Exposure", ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(SetDword(key_, "Exposure", 42), ERROR_SUCCESS);
    EXPECT_EQ(GetDword(key_, "EXPOSURE"), 42u);
    ASSERT_EQ(SetDword(key_, "exposure", 43), ERROR_SUCCESS);
    EXPECT_EQ(GetDword(key_, "Exposure"), 43u);

    // Overwriting keeps the name's original case.
    char name[16];
    DWORD length = sizeof name;
    ASSERT_EQ(RegEnumValueA(key_, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Exposure");
    EXPECT_EQ(RegDeleteValueA(key_, "EXPOSURE"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key_, "Exposure"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryValues, QueryFollowsTheBufferRules) {
    const BYTE blob[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(RegSetValueExA(key_, "Blob", 0, REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);

    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExA(key_, "Blob", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(size, 5u);

    BYTE buffer[8];
    std::memset(buffer, 0xAA, sizeof buffer);
    size = 4;
    EXPECT_EQ(RegQueryValueExA(key_, "Blob", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(buffer[0], 0xAA);
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(key_, "Blob", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(std::memcmp(buffer, blob, sizeof blob), 0);

    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExA(key_, "Blob", nullptr, &type, buffer, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(key_, "Blob", &reserved, &type, nullptr, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(key_, "Blob", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);

    // Bad input stores nothing; empty data is fine.
    EXPECT_EQ(RegSetValueExA(key_, "Blob", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(key_, "Blob", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 5u);
    ASSERT_EQ(RegSetValueExW(key_, L"Blob", 0, REG_NONE, nullptr, 0), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key_, L"Blob", nullptr, &type, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_NONE));
    EXPECT_EQ(size, 0u);
}

TEST_F(RegistryValues, DefaultValueIsNamedByNullOrEmpty) {
    const WCHAR path[] = L"C:\\Drivers\\nvc480.ax";
    ASSERT_EQ(RegSetValueExW(key_, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(path), sizeof path),
              ERROR_SUCCESS);
    WCHAR read[64];
    DWORD type = 0, size = sizeof read;
    ASSERT_EQ(RegQueryValueExW(key_, L"", nullptr, &type, reinterpret_cast<BYTE *>(read), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, sizeof path);
    EXPECT_EQ(std::memcmp(read, path, sizeof path), 0);
    EXPECT_EQ(RegDeleteValueA(key_, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key_, nullptr, nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryValues, AnsiFunctionsConvertStringsAndCountConvertedBytes) {
    // "Grüße" with its terminator: 8 bytes of UTF-8, 12 of UTF-16.
    const char greeting[] = "Grüße";
    ASSERT_EQ(RegSetValueExA(key_, "Greeting", 0, REG_SZ, reinterpret_cast<const BYTE *>(greeting), sizeof greeting),
              ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key_, L"Greeting", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 12u);
    WCHAR wide[6];
    size = sizeof wide;
    EXPECT_EQ(RegQueryValueExW(key_, L"Greeting", nullptr, nullptr, reinterpret_cast<BYTE *>(wide), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(wide[3], 0xDF);
    EXPECT_EQ(wide[5], 0);

    char narrow[8];
    size = 7;
    EXPECT_EQ(RegQueryValueExA(key_, "Greeting", nullptr, nullptr, reinterpret_cast<BYTE *>(narrow), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(RegQueryValueExA(key_, "Greeting", nullptr, nullptr, reinterpret_cast<BYTE *>(narrow), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(narrow, greeting);

    // Multi-strings convert whole, embedded terminators included.
    const WCHAR list[] = L"a\0\x00e9\0";
    ASSERT_EQ(RegSetValueExW(key_, L"List", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(list), sizeof list),
              ERROR_SUCCESS);
    char converted[8];
    size = sizeof converted;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(key_, "List", nullptr, &type, reinterpret_cast<BYTE *>(converted), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    ASSERT_EQ(size, 6u);
    EXPECT_EQ(std::memcmp(converted, "a\0\xC3\xA9\0", 6), 0);

    // Binary data passes through the A functions untouched.
    const BYTE raw[3] = {0xC3, 0x00, 0xFF};
    ASSERT_EQ(RegSetValueExA(key_, "Raw", 0, REG_BINARY, raw, sizeof raw), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key_, L"Raw", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 3u);
}

TEST_F(RegistryValues, EnumerationReportsNamesTypesAndData) {
    ASSERT_EQ(SetDword(key_, "First", 1), ERROR_SUCCESS);
    const WCHAR unterminated[] = {u'o', u'k'};
    ASSERT_EQ(RegSetValueExW(key_, L"Second", 0, REG_SZ, reinterpret_cast<const BYTE *>(unterminated),
                             sizeof unterminated),
              ERROR_SUCCESS);

    WCHAR name[8];
    DWORD length = 6, type = 0;
    BYTE data[8];
    std::memset(data, 0xAA, sizeof data);
    DWORD size = 3;
    EXPECT_EQ(RegEnumValueW(key_, 1, name, &length, nullptr, &type, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(size, 4u);
    length = 6;
    EXPECT_EQ(RegEnumValueW(key_, 1, name, &length, nullptr, &type, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    length = 7;
    size = sizeof data;
    ASSERT_EQ(RegEnumValueW(key_, 1, name, &length, nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 4u);
    // A string stored without its terminator gets one when there is room.
    EXPECT_EQ(data[4], 0);
    EXPECT_EQ(data[5], 0);

    EXPECT_EQ(RegEnumValueW(key_, 2, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumValueW(key_, 0, name, &length, nullptr, nullptr, data, nullptr), ERROR_INVALID_PARAMETER);

    DWORD values = 0, longest_name = 0, largest_data = 0;
    EXPECT_EQ(RegQueryInfoKeyW(key_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, &longest_name,
                               &largest_data, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(longest_name, 6u);
    EXPECT_EQ(largest_data, 4u);
}

}  // namespace
