// Modules on the dynamic linker. An HMODULE is the address where the
// module's image starts, as on Windows, so any address inside a loaded
// object leads back to its module through dladdr.
//
// LoadLibrary keeps one dlopen reference per module and counts its own
// references on top. The module whose load LoadLibrary caused gets
// DllMain(DLL_PROCESS_ATTACH) and, on the last FreeLibrary,
// DllMain(DLL_PROCESS_DETACH) before dlclose. Modules the dynamic linker
// had already loaded on its own (the program's own dependencies) are like
// a Windows program's static imports: LoadLibrary only counts them, and
// they never unload. There are no DLL_THREAD_ATTACH/DETACH calls.
#include <windows.h>

#include "common/text.h"
#include "kernel32/log.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

using tm350::kernel::Log;

namespace {

namespace fs = std::filesystem;

using DllEntryPoint = BOOL(WINAPI *)(HINSTANCE, DWORD, LPVOID);

struct LoadedModule {
    void *library = nullptr;  // the one dlopen reference the table holds
    std::string path;         // absolute
    unsigned references = 0;  // LoadLibrary calls not yet matched by FreeLibrary
    DllEntryPoint dll_main = nullptr;  // null when the module has none or is not ours to initialise
};

// The loader lock. Recursive because DllMain may load or free other modules,
// as it may on Windows (with the same deadlock caveats: DllMain must not
// wait for a thread that loads modules).
class Loader {
public:
    static Loader &Instance() {
        static auto *loader = new Loader;
        return *loader;
    }

    std::recursive_mutex mutex;
    std::map<HMODULE, LoadedModule> modules;  // guarded by mutex
    // Modules whose last FreeLibrary ran their DETACH but that the dynamic
    // linker kept loaded; the next LoadLibrary initialises them afresh.
    std::set<HMODULE> detached;  // guarded by mutex
};

std::string ExecutablePath() {
    std::error_code error;
    fs::path path = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
}

// The start of the image holding `address`, if any loaded object holds it.
std::optional<Dl_info> ObjectContaining(const void *address) {
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fbase == nullptr) return std::nullopt;
    return info;
}

HMODULE BaseOfLibrary(void *library) {
    link_map *map = nullptr;
    if (dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return nullptr;
    // The dynamic section lies inside the image, so it leads to the image start.
    auto info = ObjectContaining(map->l_ld);
    return info ? static_cast<HMODULE>(info->dli_fbase) : nullptr;
}

HMODULE MainModule() {
    static const HMODULE main_module = [] {
        void *program = dlopen(nullptr, RTLD_LAZY);
        HMODULE base = BaseOfLibrary(program);
        dlclose(program);
        return base;
    }();
    return main_module;
}

bool IsModuleBase(HMODULE module) {
    auto info = ObjectContaining(module);
    return info && info->dli_fbase == module;
}

std::string AbsolutePath(const std::string &path) {
    std::error_code error;
    fs::path absolute = fs::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

// Where the file of a loaded module is, or nothing if `module` is no
// module's base. Caller holds the loader lock.
std::optional<std::string> ModulePath(HMODULE module) {
    if (module == nullptr || module == MainModule()) return ExecutablePath();
    auto &modules = Loader::Instance().modules;
    if (auto found = modules.find(module); found != modules.end()) return found->second.path;
    if (!IsModuleBase(module)) return std::nullopt;
    return AbsolutePath(ObjectContaining(module)->dli_fname);
}

// Windows names modules with '\' and an implied ".dll"; these are the file
// names a module name may stand for here, most literal first.
std::vector<std::string> CandidateNames(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    std::vector<std::string> names;
    size_t slash = name.rfind('/');
    std::string file = slash == std::string::npos ? name : name.substr(slash + 1);
    size_t dot = file.rfind('.');
    if (!file.empty() && file.back() == '.') {
        // A trailing dot means "no extension, add none".
        names.push_back(name.substr(0, name.size() - 1));
        return names;
    }
    names.push_back(name);
    std::string stem = file;
    if (dot == std::string::npos) {
        names.push_back(name + ".so");
    } else if (strcasecmp(file.c_str() + dot, ".dll") == 0) {
        names.push_back(name.substr(0, name.size() - 4) + ".so");
        stem = file.substr(0, dot);
    }
    // The system's own DLLs, asked for by their Windows names, are the
    // platform's libraries.
    if (slash == std::string::npos) {
        for (const char *system_dll : {"kernel32", "advapi32", "ole32"}) {
            if (strcasecmp(stem.c_str(), system_dll) == 0) names.push_back(std::string("libtm350") + system_dll + ".so");
        }
    }
    return names;
}

// The places LoadLibrary tries for one candidate name: a path as given; a
// bare name first beside the executable (the Windows application
// directory), then wherever dlopen searches.
std::vector<std::string> SearchPaths(const std::string &name) {
    if (name.find('/') != std::string::npos) return {name};
    std::vector<std::string> paths;
    std::string executable = ExecutablePath();
    if (!executable.empty()) {
        fs::path beside = fs::path(executable).parent_path() / name;
        std::error_code error;
        if (fs::exists(beside, error)) paths.push_back(beside.string());
    }
    paths.push_back(name);
    return paths;
}

// `name` in `module` itself, not in the modules it depends on (which dlsym
// on a handle also searches): Windows exports are per module.
void *OwnSymbol(void *library, HMODULE module, const char *name) {
    void *symbol = dlsym(library, name);
    if (symbol == nullptr) return nullptr;
    auto info = ObjectContaining(symbol);
    return info && info->dli_fbase == module ? symbol : nullptr;
}

DWORD LoadFailureError(const std::string &path, const char *message) {
    std::error_code error;
    bool exists = path.find('/') != std::string::npos && fs::exists(path, error);
    if (exists && message != nullptr && (strstr(message, "ELF") != nullptr || strstr(message, "too short") != nullptr)) {
        return ERROR_BAD_EXE_FORMAT;
    }
    return ERROR_MOD_NOT_FOUND;
}

// Runs DllMain(DLL_PROCESS_ATTACH) for a module just entered in the table;
// false if it refused, in which case it has had its DETACH too.
bool InitialiseModule(HMODULE module, LoadedModule &entry) {
    Log("LoadLibrary: %s attach", entry.path.c_str());
    if (entry.dll_main(reinterpret_cast<HINSTANCE>(module), DLL_PROCESS_ATTACH, nullptr)) return true;
    Log("LoadLibrary: DllMain of %s failed", entry.path.c_str());
    entry.dll_main(reinterpret_cast<HINSTANCE>(module), DLL_PROCESS_DETACH, nullptr);
    return false;
}

// Loads one file; NULL with the last error set if it cannot. Caller holds
// the loader lock.
HMODULE LoadModuleFile(const std::string &path) {
    Loader &loader = Loader::Instance();
    void *already_loaded = dlopen(path.c_str(), RTLD_NOLOAD | RTLD_LAZY);
    if (already_loaded != nullptr) dlclose(already_loaded);
    void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char *message = dlerror();
        Log("LoadLibrary: %s: %s", path.c_str(), message != nullptr ? message : "not loadable");
        SetLastError(LoadFailureError(path, message));
        return nullptr;
    }
    HMODULE module = BaseOfLibrary(library);
    if (module == nullptr) {
        dlclose(library);
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (auto found = loader.modules.find(module); found != loader.modules.end()) {
        // The table's reference suffices.
        dlclose(library);
        ++found->second.references;
        return module;
    }

    LoadedModule entry;
    entry.library = library;
    link_map *map = nullptr;
    dlinfo(library, RTLD_DI_LINKMAP, &map);
    entry.path = AbsolutePath(map != nullptr && map->l_name[0] != '\0' ? map->l_name : path);
    entry.references = 1;
    bool ours = already_loaded == nullptr || loader.detached.count(module) != 0;
    loader.detached.erase(module);
    if (ours) entry.dll_main = reinterpret_cast<DllEntryPoint>(OwnSymbol(library, module, "DllMain"));
    // In the table before DllMain runs, so DllMain can use its HINSTANCE.
    auto &stored = loader.modules[module] = entry;
    if (stored.dll_main != nullptr && !InitialiseModule(module, stored)) {
        loader.modules.erase(module);
        dlclose(library);
        SetLastError(ERROR_DLL_INIT_FAILED);
        return nullptr;
    }
    Log("LoadLibrary: %s loaded at %p", entry.path.c_str(), static_cast<void *>(module));
    return module;
}

// Case-insensitive as Windows compares module names.
bool SameFileName(const std::string &a, const std::string &b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

struct ModuleSearch {
    std::vector<std::string> names;  // file names or absolute paths to match
    bool by_path = false;
    HMODULE found = nullptr;
};

int MatchLoadedObject(dl_phdr_info *info, size_t, void *context) {
    auto &search = *static_cast<ModuleSearch *>(context);
    if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') return 0;
    std::string path = AbsolutePath(info->dlpi_name);
    std::string compared = search.by_path ? path : fs::path(path).filename().string();
    for (const std::string &name : search.names) {
        if (SameFileName(compared, name)) {
            // The image start: the lowest loadable segment.
            ElfW(Addr) lowest = ~ElfW(Addr){0};
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                if (info->dlpi_phdr[i].p_type == PT_LOAD) lowest = std::min(lowest, info->dlpi_phdr[i].p_vaddr);
            }
            auto object = ObjectContaining(reinterpret_cast<void *>(info->dlpi_addr + lowest));
            if (object) search.found = static_cast<HMODULE>(object->dli_fbase);
            return 1;
        }
    }
    return 0;
}

HMODULE FindLoadedModule(const std::string &name) {
    ModuleSearch search;
    for (const std::string &candidate : CandidateNames(name)) {
        search.by_path = candidate.find('/') != std::string::npos;
        search.names.push_back(search.by_path ? AbsolutePath(candidate) : candidate);
    }
    dl_iterate_phdr(MatchLoadedObject, &search);
    if (search.found == nullptr) {
        std::string executable = ExecutablePath();
        for (const std::string &candidate : search.names) {
            std::string compared = search.by_path ? executable : fs::path(executable).filename().string();
            if (SameFileName(candidate, compared)) return MainModule();
        }
    }
    return search.found;
}

// Copies a module path into a caller's buffer by GetModuleFileName's rules:
// the length without terminator if it fits; otherwise as much as fits with a
// terminator, nSize, and ERROR_INSUFFICIENT_BUFFER.
template <class Char, class String>
DWORD CopyPath(const String &path, Char *buffer, DWORD size) {
    if (path.size() < size) {
        std::copy(path.begin(), path.end(), buffer);
        buffer[path.size()] = 0;
        return static_cast<DWORD>(path.size());
    }
    if (size > 0) {
        std::copy(path.begin(), path.begin() + (size - 1), buffer);
        buffer[size - 1] = 0;
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

std::optional<std::string> LockedModulePath(HMODULE module) {
    std::lock_guard lock(Loader::Instance().mutex);
    return ModulePath(module);
}

// Both entry points: the same checks, the path in the caller's encoding.
template <class Char>
DWORD ModuleFileName(HMODULE module, Char *buffer, DWORD size) {
    if (buffer == nullptr && size != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto path = LockedModulePath(module);
    if (!path) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if constexpr (sizeof(Char) == 1) {
        return CopyPath(*path, buffer, size);
    } else {
        return CopyPath(tm350::text::Utf8ToUtf16(*path), buffer, size);
    }
}

}  // namespace

extern "C" {

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    if (lpLibFileName == nullptr || lpLibFileName[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard lock(Loader::Instance().mutex);
    for (const std::string &name : CandidateNames(lpLibFileName)) {
        for (const std::string &path : SearchPaths(name)) {
            std::error_code error;
            // A path that names no file is not worth a dlopen; a bare name
            // is for dlopen's own search.
            if (path.find('/') != std::string::npos && !fs::exists(path, error)) continue;
            HMODULE module = LoadModuleFile(path);
            if (module != nullptr || GetLastError() != ERROR_MOD_NOT_FOUND) return module;
        }
    }
    Log("LoadLibrary: %s not found", lpLibFileName);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
    if (lpLibFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return LoadLibraryA(tm350::text::Utf16ToUtf8(tm350::text::View(lpLibFileName)).c_str());
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    Loader &loader = Loader::Instance();
    std::lock_guard lock(loader.mutex);
    auto found = loader.modules.find(hLibModule);
    if (found == loader.modules.end()) {
        // Modules the dynamic linker loaded stay, whatever is freed.
        if (hLibModule != nullptr && IsModuleBase(hLibModule)) return TRUE;
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    if (--found->second.references > 0) return TRUE;
    LoadedModule entry = found->second;
    if (entry.dll_main != nullptr) {
        Log("FreeLibrary: %s detach", entry.path.c_str());
        entry.dll_main(reinterpret_cast<HINSTANCE>(hLibModule), DLL_PROCESS_DETACH, nullptr);
    }
    loader.modules.erase(hLibModule);
    dlclose(entry.library);
    if (entry.dll_main != nullptr && IsModuleBase(hLibModule)) loader.detached.insert(hLibModule);
    Log("FreeLibrary: %s unloaded", entry.path.c_str());
    return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (hModule == nullptr) hModule = MainModule();
    // Linux objects export by name only.
    if (reinterpret_cast<ULONG_PTR>(lpProcName) <= 0xFFFF) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    Loader &loader = Loader::Instance();
    std::lock_guard lock(loader.mutex);
    void *library = nullptr;
    bool borrowed = false;  // a handle opened just for this lookup
    if (auto found = loader.modules.find(hModule); found != loader.modules.end()) {
        library = found->second.library;
    } else if (hModule == MainModule()) {
        library = dlopen(nullptr, RTLD_LAZY);
        borrowed = true;
    } else if (IsModuleBase(hModule)) {
        library = dlopen(ObjectContaining(hModule)->dli_fname, RTLD_NOLOAD | RTLD_LAZY);
        borrowed = true;
    }
    if (library == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void *symbol = OwnSymbol(library, hModule, lpProcName);
    if (borrowed) dlclose(library);
    if (symbol == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    if (lpModuleName == nullptr) return MainModule();
    HMODULE module = FindLoadedModule(lpModuleName);
    if (module == nullptr) SetLastError(ERROR_MOD_NOT_FOUND);
    return module;
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
    if (lpModuleName == nullptr) return MainModule();
    return GetModuleHandleA(tm350::text::Utf16ToUtf8(tm350::text::View(lpModuleName)).c_str());
}


DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    return ModuleFileName(hModule, lpFilename, nSize);
}

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    return ModuleFileName(hModule, lpFilename, nSize);
}

BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule) {
    // There are no thread notifications to turn off.
    return TRUE;
}

}  // extern "C"
