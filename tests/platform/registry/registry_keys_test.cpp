// Keys: creating, opening, closing, deleting and enumerating, with the
// documented error codes.
#include "registry_test_support.h"

#include "support/temp_directory.h"

#include <algorithm>
#include <set>

using namespace tm350::test;

namespace {

TEST(RegistryKeys, CreateOpensExistingKeysCaseInsensitivelyAndKeepsTheirCase) {
    TempRegistry registry;
    HKEY created = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\LUMAVEX\\NVC480\\dshow", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &created, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    HKEY again = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\lumavex\\Nvc480\\DSHOW\\", 0, nullptr, 0, KEY_READ,
                              nullptr, &again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_NE(again, created);

    HKEY opened = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"software\\LUMAVEX", 0, KEY_READ, &opened), ERROR_SUCCESS);
    EXPECT_EQ(SubkeyNames(opened), std::vector<std::string>{"NVC480"});
    HKEY missing = reinterpret_cast<HKEY>(0x77);
    EXPECT_EQ(RegOpenKeyExA(opened, "NVC481", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing, reinterpret_cast<HKEY>(0x77));

    for (HKEY key : {created, again, opened}) EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST(RegistryKeys, BadHandlesAndArgumentsGiveTheDocumentedErrors) {
    TempRegistry registry;
    HKEY key = CreateKey(HKEY_CURRENT_USER, "Software\\Test");
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    HKEY result = nullptr;
    for (HKEY bad : {key, static_cast<HKEY>(nullptr), reinterpret_cast<HKEY>(0x12345)}) {
        EXPECT_EQ(RegCloseKey(bad), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegOpenKeyExA(bad, "x", 0, KEY_READ, &result), ERROR_INVALID_HANDLE);
        EXPECT_EQ(SetDword(bad, "v", 1), ERROR_INVALID_HANDLE);
        GetDword(bad, "v", ERROR_INVALID_HANDLE);
    }
    EXPECT_NE(RegOpenKeyExA(HKEY_USERS, "x", 0, KEY_READ, &result), ERROR_SUCCESS);

    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software", 0, nullptr, 0, KEY_READ, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, nullptr, 0, nullptr, 0, KEY_READ, nullptr, &result, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "\\Software", 0, nullptr, 0, KEY_READ, nullptr, &result, nullptr),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "a\\\\b", 0, nullptr, 0, KEY_READ, nullptr, &result, nullptr),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, std::string(256, 'k').c_str(), 0, nullptr, 0, KEY_READ, nullptr,
                              &result, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, nullptr), ERROR_INVALID_PARAMETER);

    // Predefined keys survive being closed.
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Test", 0, KEY_READ, &result), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(result), ERROR_SUCCESS);
}

TEST(RegistryKeys, HandleValuesAreNeverReused) {
    TempRegistry registry;
    std::set<HKEY> seen;
    for (int i = 0; i < 200; ++i) {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_READ, &key), ERROR_SUCCESS);
        EXPECT_TRUE(seen.insert(key).second);
        ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
}

TEST(RegistryKeys, TheThreeHivesAreSeparate) {
    TempRegistry registry;
    RegCloseKey(CreateKey(HKEY_CLASSES_ROOT, "CLSID\\{1}"));
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "CLSID", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "CLSID", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SubkeyNames(HKEY_CLASSES_ROOT), std::vector<std::string>{"CLSID"});
}

TEST(RegistryKeys, DeletingRefusesKeysWithSubkeysAndInvalidatesHandles) {
    TempRegistry registry;
    HKEY parent = CreateKey(HKEY_CURRENT_USER, "Software\\Parent");
    HKEY child = CreateKey(parent, "Child");
    ASSERT_EQ(SetDword(child, "v", 1), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Parent"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(parent, "Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(parent, "CHILD"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(parent, "Child"), ERROR_FILE_NOT_FOUND);

    // A key created again at the same path is a different key.
    HKEY successor = CreateKey(parent, "Child");
    HKEY result = nullptr;
    GetDword(child, "v", ERROR_KEY_DELETED);
    EXPECT_EQ(SetDword(child, "v", 2), ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKeyExA(child, "", 0, KEY_READ, &result), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyExA(child, "x", 0, nullptr, 0, KEY_READ, nullptr, &result, nullptr), ERROR_KEY_DELETED);
    GetDword(successor, "v", ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);

    // An empty subkey deletes the handle's own key; a hive root stays.
    EXPECT_EQ(RegDeleteKeyA(successor, ""), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(SubkeyNames(parent).empty());
    RegCloseKey(successor);
    RegCloseKey(parent);
}

TEST(RegistryKeys, DeleteTreeRemovesWholeBranches) {
    TempRegistry registry;
    RegCloseKey(CreateKey(HKEY_CLASSES_ROOT, "CLSID\\{A}\\InprocServer32"));
    RegCloseKey(CreateKey(HKEY_CLASSES_ROOT, "CLSID\\{B}"));
    EXPECT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "CLSID\\{a}"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "CLSID\\{a}"), ERROR_FILE_NOT_FOUND);
    HKEY clsid = CreateKey(HKEY_CLASSES_ROOT, "CLSID");
    // Beside the classes a new machine comes with.
    std::vector<std::string> classes = SubkeyNames(clsid);
    EXPECT_EQ(std::count(classes.begin(), classes.end(), "{B}"), 1);
    EXPECT_EQ(std::count(classes.begin(), classes.end(), "{A}"), 0);
    EXPECT_EQ(RegDeleteTreeA(clsid, nullptr), ERROR_SUCCESS);
    EXPECT_TRUE(SubkeyNames(clsid).empty());
    RegCloseKey(clsid);
}

TEST(RegistryKeys, EnumerationIsSortedAndReportsSizes) {
    TempRegistry registry;
    HKEY key = CreateKey(HKEY_CURRENT_USER, "Software\\Enum");
    for (const char *name : {"beta", "Alpha", "Grüße", "gamma"}) RegCloseKey(CreateKey(key, name));
    EXPECT_EQ(SubkeyNames(key), (std::vector<std::string>{"Alpha", "beta", "gamma", "Grüße"}));

    // "Grüße" is 5 UTF-16 units but 7 UTF-8 bytes.
    char narrow[8] = "xxxxxxx";
    DWORD length = 7;
    EXPECT_EQ(RegEnumKeyExA(key, 3, narrow, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    EXPECT_EQ(length, 7u);
    EXPECT_STREQ(narrow, "xxxxxxx");
    length = 8;
    EXPECT_EQ(RegEnumKeyExA(key, 3, narrow, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(length, 7u);
    WCHAR wide[6];
    length = 6;
    FILETIME written{};
    EXPECT_EQ(RegEnumKeyExW(key, 3, wide, &length, nullptr, nullptr, nullptr, &written), ERROR_SUCCESS);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(wide[2], 0xFC);
    EXPECT_NE(written.dwHighDateTime, 0u);
    EXPECT_EQ(RegEnumKeyExA(key, 4, narrow, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyExA(key, 0, nullptr, &length, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);

    DWORD subkeys = 0, longest = 0, values = 7;
    EXPECT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, &longest, nullptr, &values, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 4u);
    EXPECT_EQ(longest, 7u);
    EXPECT_EQ(values, 0u);
    RegCloseKey(key);
}

TEST(RegistryKeys, HandlesOnlyAllowWhatTheyWereOpenedFor) {
    TempRegistry registry;
    RegCloseKey(CreateKey(HKEY_CURRENT_USER, "Software\\Rights"));
    HKEY reader = CreateKey(HKEY_CURRENT_USER, "Software\\Rights", KEY_READ);
    HKEY writer = CreateKey(HKEY_CURRENT_USER, "Software\\Rights", KEY_SET_VALUE);
    HKEY result = nullptr;
    EXPECT_EQ(SetDword(reader, "v", 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyExA(reader, "Sub", 0, nullptr, 0, KEY_READ, nullptr, &result, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetDword(writer, "v", 1), ERROR_SUCCESS);
    GetDword(writer, "v", ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetDword(reader, "v"), 1u);
    RegCloseKey(reader);
    RegCloseKey(writer);
}

}  // namespace

namespace {

TEST(RegistryKeys, AKeyOfANewMachineStaysOpenWhileOtherRegistriesComeAndGo) {
    TempRegistry registry;
    HKEY installed = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{1E651CC0-B199-11D0-8212-00C04FC32C45}", 0, KEY_READ,
                            &installed),
              ERROR_SUCCESS);
    // Enough other stores to make the process forget the ones it read first.
    for (int index = 0; index < 20; ++index) {
        TempRegistry other;
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, &key), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    char name[64] = {};
    DWORD size = sizeof name - 1, type = 0;
    EXPECT_EQ(RegQueryValueExA(installed, nullptr, nullptr, &type, reinterpret_cast<BYTE *>(name), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "Memory Allocator");
    RegCloseKey(installed);
}

}  // namespace
