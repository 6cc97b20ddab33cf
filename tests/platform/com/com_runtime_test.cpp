// The COM runtime: apartments, GUID strings, task memory and in-process
// activation of a server registered in HKEY_CLASSES_ROOT.
#include <initguid.h>

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "common/text.h"
#include "servers/counter_server.h"
#include "support/temp_directory.h"

namespace {

std::string ServerPath(const char *name) { return (tm350::test::LibDirectory() / name).string(); }

bool IsLoaded(const std::string &path) {
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    dlclose(handle);
    return true;
}

HRESULT CallServerEntry(const std::string &path, const char *entry_name) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == NULL) return E_FAIL;
    typedef HRESULT(STDAPICALLTYPE * Entry)();
    auto entry = reinterpret_cast<Entry>(GetProcAddress(module, entry_name));
    HRESULT hr = entry != NULL ? entry() : E_FAIL;
    FreeLibrary(module);
    return hr;
}

void RegisterServerPath(REFCLSID clsid, const std::string &path) {
    WCHAR text[39];
    ASSERT_EQ(StringFromGUID2(clsid, text, 39), 39);
    std::string subkey = "CLSID\\" + tm350::text::Utf16ToUtf8(tm350::text::View(text)) + "\\InprocServer32";
    HKEY key = NULL;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, subkey.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, NULL, 0, REG_SZ, reinterpret_cast<const BYTE *>(path.c_str()),
                             static_cast<DWORD>(path.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

class ComThread {
public:
    ComThread() { EXPECT_TRUE(SUCCEEDED(CoInitialize(NULL))); }
    ~ComThread() { CoUninitialize(); }
};

TEST(ComGuidStrings, FormatAndParseRoundTrip) {
    WCHAR text[39];
    ASSERT_EQ(StringFromGUID2(CLSID_TestCounter, text, 39), 39);
    EXPECT_EQ(tm350::text::Utf16ToUtf8(tm350::text::View(text)), "{6B1A2D40-3C1E-4F7A-9D2B-1E5C7A9B0C01}");
    CLSID parsed;
    ASSERT_EQ(CLSIDFromString(text, &parsed), S_OK);
    EXPECT_TRUE(parsed == CLSID_TestCounter);
    // Lower-case digits parse too.
    ASSERT_EQ(CLSIDFromString(L"{6b1a2d40-3c1e-4f7a-9d2b-1e5c7a9b0c01}", &parsed), S_OK);
    EXPECT_TRUE(parsed == CLSID_TestCounter);
    EXPECT_EQ(StringFromGUID2(CLSID_TestCounter, text, 38), 0);  // no room for the terminator
}

TEST(ComGuidStrings, MalformedStringsAreRefused) {
    CLSID parsed;
    const WCHAR *bad[] = {
        L"",
        L"{6B1A2D40-3C1E-4F7A-9D2B-1E5C7A9B0C0}",    // one digit short
        L"{6B1A2D40-3C1E-4F7A-9D2B-1E5C7A9B0C011}",  // one digit long
        L"6B1A2D40-3C1E-4F7A-9D2B-1E5C7A9B0C01",     // no braces
        L"{6B1A2D40-3C1E-4F7A-9D2B+1E5C7A9B0C01}",   // wrong separator
        L"{6B1A2D4G-3C1E-4F7A-9D2B-1E5C7A9B0C01}",   // not hex
        L"{6B1A",                                    // stops early
    };
    for (const WCHAR *text : bad) {
        EXPECT_EQ(CLSIDFromString(text, &parsed), CO_E_CLASSSTRING) << tm350::text::Utf16ToUtf8(tm350::text::View(text));
    }
    EXPECT_EQ(CLSIDFromString(L"{6B1A2D40-3C1E-4F7A-9D2B-1E5C7A9B0C01}", NULL), E_INVALIDARG);
}

TEST(ComTaskMemory, AllocateGrowAndFree) {
    char *block = static_cast<char *>(CoTaskMemAlloc(4));
    ASSERT_NE(block, nullptr);
    memcpy(block, "abc", 4);
    block = static_cast<char *>(CoTaskMemRealloc(block, 4096));
    ASSERT_NE(block, nullptr);
    EXPECT_STREQ(block, "abc");
    EXPECT_EQ(CoTaskMemRealloc(block, 0), nullptr);  // frees
    void *empty = CoTaskMemAlloc(0);
    EXPECT_NE(empty, nullptr);
    CoTaskMemFree(empty);
    CoTaskMemFree(NULL);
}

TEST(ComApartments, RepeatedAndConflictingInitialisation) {
    EXPECT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    CoUninitialize();
    int reserved = 0;
    EXPECT_EQ(CoInitializeEx(&reserved, COINIT_MULTITHREADED), E_INVALIDARG);
}

class ComActivation : public ::testing::Test {
protected:
    tm350::test::TempRegistry registry_;
    ComThread com_;
    std::string server_ = ServerPath("counter_server.so");
};

TEST_F(ComActivation, CreationNeedsAnInitialisedThread) {
    ICounter *counter = reinterpret_cast<ICounter *>(1);
    HRESULT hr = S_OK;
    std::thread([&] { hr = CoCreateInstance(CLSID_TestCounter, NULL, CLSCTX_INPROC_SERVER, IID_ICounter,
                                            reinterpret_cast<void **>(&counter)); }).join();
    EXPECT_EQ(hr, CO_E_NOTINITIALIZED);
    EXPECT_EQ(counter, nullptr);
}

TEST_F(ComActivation, UnregisteredClassesAndBadArguments) {
    ICounter *counter = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, NULL, CLSCTX_INPROC_SERVER, IID_ICounter,
                               reinterpret_cast<void **>(&counter)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, NULL, CLSCTX_INPROC_SERVER, IID_ICounter, NULL), E_POINTER);

    RegisterServerPath(CLSID_TestCounter, ServerPath("no_such_server.so"));
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, NULL, CLSCTX_INPROC_SERVER, IID_ICounter,
                               reinterpret_cast<void **>(&counter)),
              HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));

    // A library that is no COM server.
    RegisterServerPath(CLSID_TestCounter, ServerPath("libtm350kernel32.so"));
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, NULL, CLSCTX_INPROC_SERVER, IID_ICounter,
                               reinterpret_cast<void **>(&counter)),
              CO_E_ERRORINDLL);
    EXPECT_EQ(counter, nullptr);
}

TEST_F(ComActivation, RegisterCreateUseAndUnloadAServer) {
    ASSERT_EQ(CallServerEntry(server_, "DllRegisterServer"), S_OK);
    ASSERT_FALSE(IsLoaded(server_));

    ICounter *counter = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_TestCounter, NULL, CLSCTX_INPROC_SERVER, IID_ICounter,
                               reinterpret_cast<void **>(&counter)),
              S_OK);
    ASSERT_NE(counter, nullptr);
    EXPECT_TRUE(IsLoaded(server_));
    counter->Increment();
    counter->Increment();
    EXPECT_EQ(counter->Value(), 2);

    // A live object keeps its module loaded.
    CoFreeUnusedLibraries();
    EXPECT_TRUE(IsLoaded(server_));
    EXPECT_EQ(counter->Value(), 2);

    // An unknown interface is refused by the server, not by the runtime.
    IUnknown *other = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, NULL, CLSCTX_INPROC_SERVER, IID_IClassFactory,
                               reinterpret_cast<void **>(&other)),
              E_NOINTERFACE);

    EXPECT_EQ(counter->Release(), 0u);
    CoFreeUnusedLibraries();
    EXPECT_FALSE(IsLoaded(server_));

    // Loaded again on demand.
    ASSERT_EQ(CoCreateInstance(CLSID_TestCounter, NULL, CLSCTX_INPROC_SERVER, IID_ICounter,
                               reinterpret_cast<void **>(&counter)),
              S_OK);
    EXPECT_EQ(counter->Value(), 0);
    counter->Release();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(IsLoaded(server_));

    ASSERT_EQ(CallServerEntry(server_, "DllUnregisterServer"), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, NULL, CLSCTX_INPROC_SERVER, IID_ICounter,
                               reinterpret_cast<void **>(&counter)),
              REGDB_E_CLASSNOTREG);
}

TEST_F(ComActivation, AServerLockKeepsTheModuleWithoutObjects) {
    ASSERT_EQ(CallServerEntry(server_, "DllRegisterServer"), S_OK);
    IClassFactory *factory = nullptr;
    ASSERT_EQ(CoGetClassObject(CLSID_TestCounter, CLSCTX_INPROC_SERVER, NULL, IID_IClassFactory,
                               reinterpret_cast<void **>(&factory)),
              S_OK);
    factory->LockServer(TRUE);
    factory->Release();
    CoFreeUnusedLibraries();
    EXPECT_TRUE(IsLoaded(server_));
    factory->LockServer(FALSE);
    CoFreeUnusedLibraries();
    EXPECT_FALSE(IsLoaded(server_));
}

}  // namespace
