// Registration of the module: its COM server keys, and its filters with the
// filter mapper (a test server stands in for the platform's mappers).
#include <gtest/gtest.h>

#include <string>

#include "framework/module_templates.h"
#include "framework/test_filter.h"
#include "support/temp_directory.h"

namespace framework_test {
namespace {

std::string Narrow(LPCWSTR text) {
    std::string narrow;
    for (; *text != 0; text++) narrow += static_cast<char>(*text);
    return narrow;
}

std::string GuidText(REFGUID guid) {
    WCHAR text[39];
    StringFromGUID2(guid, text, 39);
    return Narrow(text);
}

bool KeyExists(HKEY root, const std::string &path) {
    HKEY key = NULL;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// The string value `name` (null: the default) of a key, or "<none>".
std::string StringValue(HKEY root, const std::string &path, const char *name) {
    char data[600] = {};
    DWORD size = sizeof(data) - 1;
    DWORD type = 0;
    HKEY key = NULL;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "<none>";
    LONG result = RegQueryValueExA(key, name, NULL, &type, reinterpret_cast<BYTE *>(data), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_SZ) return "<none>";
    return data;
}

DWORD DwordValue(HKEY root, const std::string &path, const char *name) {
    DWORD value = 0xFFFFFFFF;
    DWORD size = sizeof(value);
    HKEY key = NULL;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return value;
    RegQueryValueExA(key, name, NULL, NULL, reinterpret_cast<BYTE *>(&value), &size);
    RegCloseKey(key);
    return value;
}

void RegisterInprocServer(REFCLSID clsid, const char *module) {
    std::string path = (tm350::test::LibDirectory() / module).string();
    std::string subkey = "CLSID\\" + GuidText(clsid) + "\\InprocServer32";
    HKEY key = NULL;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, subkey.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, NULL, 0, REG_SZ, reinterpret_cast<const BYTE *>(path.c_str()),
                             static_cast<DWORD>(path.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

// The machine comes with the platform's mappers installed; a test that wants
// another one, or none, takes them away as an administrator would.
void UnregisterClass(REFCLSID clsid) {
    LSTATUS status = RegDeleteTreeA(HKEY_CLASSES_ROOT, ("CLSID\\" + GuidText(clsid)).c_str());
    ASSERT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
}

void UnregisterPlatformMappers() {
    UnregisterClass(CLSID_FilterMapper2);
    UnregisterClass(CLSID_FilterMapper);
}

const std::string kFilterKey = "CLSID\\" + GuidText(CLSID_TestSourceFilter);
const std::string kScriptedKey = "CLSID\\" + GuidText(CLSID_ScriptedClass);
const std::string kMapperEntry = "Software\\TM350 tests\\Filter mapper\\" + GuidText(CLSID_TestSourceFilter);

class Registration : public ::testing::Test {
protected:
    Registration() { DllEntryPoint(GetModuleHandleW(NULL), DLL_PROCESS_ATTACH, NULL); }
    ~Registration() override { DllEntryPoint(GetModuleHandleW(NULL), DLL_PROCESS_DETACH, NULL); }

    tm350::test::TempRegistry registry_;
};

TEST_F(Registration, AServerKeyNamesTheClassAndTheModule) {
    ASSERT_EQ(AMovieSetupRegisterServer(CLSID_TestSourceFilter, L"A filter", L"C:\\x\\m.ax"), S_OK);
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, kFilterKey, NULL), "A filter");
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, kFilterKey + "\\InprocServer32", NULL), "C:\\x\\m.ax");
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, kFilterKey + "\\InprocServer32", "ThreadingModel"), "Both");

    // Removal takes whatever lies below, and a second removal is no failure.
    HKEY deeper = NULL;
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, (kFilterKey + "\\a\\b\\c").c_str(), &deeper), ERROR_SUCCESS);
    RegCloseKey(deeper);
    EXPECT_EQ(AMovieSetupUnregisterServer(CLSID_TestSourceFilter), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kFilterKey));
    EXPECT_EQ(AMovieSetupUnregisterServer(CLSID_TestSourceFilter), S_OK);
}

TEST_F(Registration, WithoutAFilterMapperTheServerKeysStayAndTheFailureIsReturned) {
    UnregisterPlatformMappers();
    EXPECT_EQ(AMovieDllRegisterServer2(TRUE), REGDB_E_CLASSNOTREG);
    char program[MAX_PATH];
    GetModuleFileNameA(NULL, program, MAX_PATH);
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, kFilterKey, NULL), "Test Source Filter");
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, kFilterKey + "\\InprocServer32", NULL), program);
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, kScriptedKey, NULL), "Scripted Class");
    EXPECT_EQ(AMovieDllRegisterServer2(FALSE), REGDB_E_CLASSNOTREG);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kFilterKey));
}

TEST_F(Registration, TheFilterGoesToTheFilterMapperAndUnregisteringTwiceSucceeds) {
    RegisterInprocServer(CLSID_FilterMapper2, "filter_mapper_double.so");
    ASSERT_EQ(AMovieDllRegisterServer2(TRUE), S_OK);
    EXPECT_EQ(StringValue(HKEY_CURRENT_USER, kMapperEntry, "Name"), "Test Source Filter");
    EXPECT_EQ(DwordValue(HKEY_CURRENT_USER, kMapperEntry, "Merit"), 0x00200000u);
    EXPECT_EQ(DwordValue(HKEY_CURRENT_USER, kMapperEntry, "Pins"), 1u);
    EXPECT_EQ(DwordValue(HKEY_CURRENT_USER, kMapperEntry, "Mapper"), 2u);
    // Registering again replaces the entries.
    ASSERT_EQ(AMovieDllRegisterServer2(TRUE), S_OK);

    EXPECT_EQ(AMovieDllRegisterServer2(FALSE), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kMapperEntry));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kFilterKey));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kScriptedKey));
    EXPECT_EQ(AMovieDllRegisterServer2(FALSE), S_OK);
}

TEST_F(Registration, TheOldFilterMapperGetsEachPinAndType) {
    UnregisterPlatformMappers();
    RegisterInprocServer(CLSID_FilterMapper, "filter_mapper_double.so");
    ASSERT_EQ(AMovieDllRegisterServer2(TRUE), S_OK);
    EXPECT_EQ(DwordValue(HKEY_CURRENT_USER, kMapperEntry, "Mapper"), 1u);
    EXPECT_EQ(DwordValue(HKEY_CURRENT_USER, kMapperEntry, "Merit"), 0x00200000u);
    EXPECT_EQ(DwordValue(HKEY_CURRENT_USER, kMapperEntry + "\\Preview", "Types"), 1u);
    EXPECT_EQ(AMovieDllRegisterServer2(FALSE), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kMapperEntry));
    EXPECT_EQ(AMovieDllRegisterServer2(FALSE), S_OK);
}

// A filter whose setup data registers itself through IAMovieSetup.
class SelfRegisteringFilter : public TestSourceFilter {
public:
    SelfRegisteringFilter(HRESULT *phr) : TestSourceFilter(NULL, phr) {}
    const AMOVIESETUP_FILTER *GetSetupData() override { return &kTestFilterSetup; }
};

TEST_F(Registration, AFilterWithSetupDataRegistersThroughTheOldMapper) {
    HRESULT hr = S_OK;
    auto *filter = new SelfRegisteringFilter(&hr);
    filter->NonDelegatingAddRef();
    UnregisterPlatformMappers();
    EXPECT_EQ(filter->Register(), REGDB_E_CLASSNOTREG);
    RegisterInprocServer(CLSID_FilterMapper, "filter_mapper_double.so");
    EXPECT_EQ(filter->Register(), S_OK);
    EXPECT_EQ(DwordValue(HKEY_CURRENT_USER, kMapperEntry, "Mapper"), 1u);
    EXPECT_EQ(filter->Unregister(), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kMapperEntry));
    EXPECT_EQ(filter->Unregister(), S_OK);
    filter->NonDelegatingRelease();
}

}  // namespace
}  // namespace framework_test
