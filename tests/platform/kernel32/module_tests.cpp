// LoadLibrary, DllMain, FreeLibrary, GetProcAddress and module names, with
// the test modules built from tests/servers.
#include "platform/kernel32/kernel32_test_support.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/temp_directory.h"

namespace tm350::test {
namespace {

namespace fs = std::filesystem;

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        library_directory_ = tm350::test::LibDirectory();
        ASSERT_TRUE(fs::exists(library_directory_ / "dllmain_probe.so")) << "no test modules in " << library_directory_;
        library_directory_ = fs::canonical(library_directory_);
        setenv("TM350_PROBE_EVENTS", "", 1);
    }

    std::string ModulePath(const char *file) const { return (library_directory_ / file).string(); }

    static std::string Events() {
        const char *events = std::getenv("TM350_PROBE_EVENTS");
        return events != nullptr ? events : "";
    }

    static std::string FileNameOf(HMODULE module) {
        char path[4096];
        DWORD length = GetModuleFileNameA(module, path, sizeof path);
        return std::string(path, length);
    }

    template <class Function>
    static Function *Export(HMODULE module, const char *name) {
        return reinterpret_cast<Function *>(GetProcAddress(module, name));
    }

    fs::path library_directory_;
};

TEST_F(ModuleTest, LoadRunsDllMainOnceAndItsInstanceIsTheModule) {
    const std::string path = ModulePath("dllmain_probe.so");
    HMODULE module = LoadLibraryA(path.c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    EXPECT_EQ(Events(), "attach;");
    auto instance = Export<HINSTANCE()>(module, "ProbeInstance");
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(instance(), module);
    EXPECT_EQ(Export<const char *()>(module, "ProbePathSeenInDllMain")(), path);
    EXPECT_TRUE(Export<BOOL()>(module, "ProbeFoundItselfInDllMain")());
    EXPECT_EQ(FileNameOf(module), path);
    EXPECT_EQ(GetModuleHandleA("dllmain_probe.so"), module);
    EXPECT_EQ(GetModuleHandleA(path.c_str()), module);

    // A second load only counts.
    EXPECT_EQ(LoadLibraryA(path.c_str()), module);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(Events(), "attach;");
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(Events(), "attach;detach;");
    EXPECT_EQ(GetModuleHandleA("dllmain_probe.so"), nullptr);
    EXPECT_LAST_ERROR(ERROR_MOD_NOT_FOUND);

    // Loaded again, it is initialised again.
    module = LoadLibraryA(path.c_str());
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(Events(), "attach;detach;attach;");
    EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(ModuleTest, RefusingDllMainFailsTheLoadAndUnloads) {
    ScopedEnvironment refuse("TM350_PROBE_REFUSE_ATTACH", "1");
    const std::string path = ModulePath("dllmain_probe.so");
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA(path.c_str()), nullptr);
    EXPECT_LAST_ERROR(ERROR_DLL_INIT_FAILED);
    EXPECT_EQ(Events(), "attach;detach;");
    EXPECT_EQ(dlopen(path.c_str(), RTLD_NOLOAD | RTLD_LAZY), nullptr);
}

TEST_F(ModuleTest, MissingModulesAndExportsFail) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA(ModulePath("no_such_module.so").c_str()), nullptr);
    EXPECT_LAST_ERROR(ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(LoadLibraryW(L"tm350_no_such_module"), nullptr);
    EXPECT_LAST_ERROR(ERROR_MOD_NOT_FOUND);

    HMODULE module = LoadLibraryA(ModulePath("plain_module.so").c_str());
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(Export<int()>(module, "PlainModuleAnswer")(), 42);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(module, "NoSuchExport"), nullptr);
    EXPECT_LAST_ERROR(ERROR_PROC_NOT_FOUND);
    // Only the module's own exports, not those of the modules it uses.
    EXPECT_EQ(GetProcAddress(module, "GetTickCount"), nullptr);
    EXPECT_LAST_ERROR(ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(ModuleTest, WindowsStyleNamesFindTheSharedObject) {
    HMODULE module = LoadLibraryA(ModulePath("plain_module.so").c_str());
    ASSERT_NE(module, nullptr);
    std::string windows_style = ModulePath("plain_module.dll");
    for (char &c : windows_style) c = c == '/' ? '\\' : c;
    EXPECT_EQ(LoadLibraryA(windows_style.c_str()), module);
    EXPECT_EQ(LoadLibraryA(ModulePath("plain_module").c_str()), module);
    EXPECT_EQ(GetModuleHandleW(L"PLAIN_MODULE.DLL"), module);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(GetModuleHandleW(L"plain_module"), nullptr);
}

TEST_F(ModuleTest, SystemDllsAreFoundByTheirWindowsNames) {
    // Code that looks up an optional entry of a system DLL finds it as on
    // Windows.
    HMODULE ole32 = GetModuleHandleA("ole32.dll");
    ASSERT_NE(ole32, nullptr);
    EXPECT_EQ(GetModuleHandleW(L"OLE32"), ole32);
    EXPECT_EQ(reinterpret_cast<void *>(GetProcAddress(ole32, "CoInitializeEx")),
              reinterpret_cast<void *>(&CoInitializeEx));
    HMODULE kernel32 = GetModuleHandleA("KERNEL32.DLL");
    ASSERT_NE(kernel32, nullptr);
    EXPECT_NE(kernel32, ole32);
    EXPECT_EQ(reinterpret_cast<void *>(GetProcAddress(kernel32, "GetTickCount")),
              reinterpret_cast<void *>(&GetTickCount));
}

TEST_F(ModuleTest, TheProgramAndItsDependenciesAreModulesToo) {
    HMODULE program = GetModuleHandleA(nullptr);
    ASSERT_NE(program, nullptr);
    std::string executable = fs::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(FileNameOf(nullptr), executable);
    EXPECT_EQ(FileNameOf(program), executable);

    HMODULE kernel32 = GetModuleHandleA("libtm350kernel32.so");
    ASSERT_NE(kernel32, nullptr);
    EXPECT_EQ(fs::path(FileNameOf(kernel32)).filename(), "libtm350kernel32.so");
    EXPECT_EQ(reinterpret_cast<void *>(GetProcAddress(kernel32, "GetTickCount")),
              reinterpret_cast<void *>(&GetTickCount));
    // Loading and freeing a module the program was linked with only counts.
    EXPECT_EQ(LoadLibraryA("libtm350kernel32.so"), kernel32);
    EXPECT_TRUE(FreeLibrary(kernel32));
    EXPECT_TRUE(FreeLibrary(kernel32));
    EXPECT_NE(GetTickCount64(), 0u);
}

TEST_F(ModuleTest, GetModuleFileNameTruncatesWithATerminator) {
    std::string executable = fs::read_symlink("/proc/self/exe").string();
    char narrow[5] = {'x', 'x', 'x', 'x', 'x'};
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, narrow, 5), 5u);
    EXPECT_LAST_ERROR(ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(narrow), executable.substr(0, 4));

    WCHAR wide[5];
    EXPECT_EQ(GetModuleFileNameW(nullptr, wide, 5), 5u);
    EXPECT_EQ(wide[4], 0);

    // Exactly the length plus terminator fits.
    std::string exact(executable.size() + 1, 'x');
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, exact.data(), static_cast<DWORD>(exact.size())), executable.size());
    EXPECT_EQ(GetLastError(), 0u);

    EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(&narrow), narrow, 5), 0u);
    EXPECT_LAST_ERROR(ERROR_MOD_NOT_FOUND);
}

}  // namespace
}  // namespace tm350::test
