// The runtime's classes are there on a new machine, served by the modules
// Windows names, and a user's unregistration removes them as on Windows.
#include "runtime_test_support.h"

#include <qedit.h>

#include <string>

namespace tm350::test {
namespace {

std::string ClassKey(REFCLSID clsid) {
    WCHAR text[39];
    StringFromGUID2(clsid, text, 39);
    std::string key = "CLSID\\";
    for (int index = 0; text[index] != 0; ++index) key += static_cast<char>(text[index]);
    return key;
}

std::string ServerOf(REFCLSID clsid, const char *value = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, (ClassKey(clsid) + "\\InprocServer32").c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return "";
    }
    char data[64] = {};
    DWORD type = 0, size = sizeof data - 1;
    LSTATUS status = RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE *>(data), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ ? data : "";
}

using InstalledClasses = RuntimeTest;

TEST_F(InstalledClasses, ANewRegistryNamesTheWindowsModulesAsServers) {
    struct Expected {
        const CLSID *clsid;
        const char *module;
    } expected[] = {
        {&CLSID_FilterGraph, "quartz.dll"},      {&CLSID_SystemClock, "quartz.dll"},
        {&CLSID_MemoryAllocator, "quartz.dll"},  {&CLSID_FilterMapper2, "quartz.dll"},
        {&CLSID_FilterMapper, "quartz.dll"},     {&CLSID_SystemDeviceEnum, "devenum.dll"},
        {&CLSID_SampleGrabber, "qedit.dll"},     {&CLSID_NullRenderer, "qedit.dll"},
    };
    for (const Expected &entry : expected) {
        EXPECT_EQ(ServerOf(*entry.clsid), entry.module) << ClassKey(*entry.clsid);
        EXPECT_EQ(ServerOf(*entry.clsid, "ThreadingModel"), "Both") << ClassKey(*entry.clsid);
    }
}

TEST_F(InstalledClasses, AnInstalledClassIsCreatableUntilTheUserUnregistersIt) {
    IMemAllocator *allocator = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                               reinterpret_cast<void **>(&allocator)),
              S_OK);
    allocator->Release();

    ASSERT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, ClassKey(CLSID_MemoryAllocator).c_str()), ERROR_SUCCESS);
    EXPECT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                               reinterpret_cast<void **>(&allocator)),
              REGDB_E_CLASSNOTREG);
    // The rest of the machine's classes stay.
    EXPECT_EQ(ServerOf(CLSID_FilterMapper2), "quartz.dll");
}

TEST_F(InstalledClasses, AModuleAsksToStayLoadedWhileItsObjectsLive) {
    HMODULE quartz = LoadLibraryA("quartz.dll");
    ASSERT_NE(quartz, nullptr);
    using CanUnloadNow = HRESULT(STDAPICALLTYPE *)();
    auto can_unload = reinterpret_cast<CanUnloadNow>(GetProcAddress(quartz, "DllCanUnloadNow"));
    ASSERT_NE(can_unload, nullptr);
    IMemAllocator *allocator = Create<IMemAllocator>(CLSID_MemoryAllocator, IID_IMemAllocator);
    ASSERT_NE(allocator, nullptr);
    EXPECT_EQ(can_unload(), S_FALSE);
    allocator->Release();
    EXPECT_EQ(can_unload(), S_OK);
    FreeLibrary(quartz);
}

}  // namespace
}  // namespace tm350::test
