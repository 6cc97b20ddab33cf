// In-process activation: a class is found under
// HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32, its module is loaded once and
// kept loaded until it says, through DllCanUnloadNow, that nothing of it is
// in use.
#include "common/text.h"
#include "ole32/apartments.h"

#include <mutex>
#include <string>
#include <vector>

namespace {

typedef HRESULT(STDAPICALLTYPE *GetClassObjectFunction)(REFCLSID, REFIID, LPVOID *);
typedef HRESULT(STDAPICALLTYPE *CanUnloadNowFunction)();

struct LoadedServer {
    std::u16string folded_path;
    HMODULE module;
    GetClassObjectFunction get_class_object;
    CanUnloadNowFunction can_unload_now;  // may be null: such a module stays loaded
    // Both under g_servers_lock. A server is never unloaded while a call into
    // DllGetClassObject is under way (callers), nor when an activation began
    // after it was asked whether it can unload (activations changed).
    int callers = 0;
    unsigned long activations = 0;
};

// Guards the table only; calls into a server happen outside it, since a
// server may create objects of other servers while answering.
std::mutex g_servers_lock;
std::vector<LoadedServer> g_servers;
// Serialises unloading, so a module being asked is not freed by another
// thread's sweep meanwhile.
std::mutex g_unload_lock;

LoadedServer *FindLoaded(const std::u16string &folded) {
    for (LoadedServer &server : g_servers) {
        if (server.folded_path == folded) return &server;
    }
    return nullptr;
}

HRESULT FindServerPath(REFCLSID clsid, std::u16string &path) {
    WCHAR clsid_text[39];
    StringFromGUID2(clsid, clsid_text, 39);
    std::u16string subkey = u"CLSID\\" + std::u16string(tm350::text::View(clsid_text)) + u"\\InprocServer32";
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, tm350::text::AsWide(subkey), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return REGDB_E_CLASSNOTREG;
    }
    DWORD type = REG_NONE;
    DWORD size = 0;
    LONG result = RegQueryValueExW(key, NULL, NULL, &type, NULL, &size);
    std::vector<BYTE> data(size + sizeof(WCHAR));
    if (result == ERROR_SUCCESS) result = RegQueryValueExW(key, NULL, NULL, &type, data.data(), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return REGDB_E_CLASSNOTREG;
    path = tm350::text::View(reinterpret_cast<LPCWSTR>(data.data()));
    if (path.empty()) return REGDB_E_CLASSNOTREG;
    return S_OK;
}

// Loads the server if needed and registers the caller as one in progress.
HRESULT EnterServer(const std::u16string &folded, const std::u16string &path,
                    GetClassObjectFunction &get_class_object) {
    {
        std::lock_guard lock(g_servers_lock);
        if (LoadedServer *server = FindLoaded(folded)) {
            ++server->callers;
            ++server->activations;
            get_class_object = server->get_class_object;
            return S_OK;
        }
    }
    HMODULE module = LoadLibraryW(tm350::text::AsWide(path));
    if (module == NULL) {
        DWORD error = GetLastError();
        return HRESULT_FROM_WIN32(error != ERROR_SUCCESS ? error : ERROR_MOD_NOT_FOUND);
    }
    auto entry = reinterpret_cast<GetClassObjectFunction>(GetProcAddress(module, "DllGetClassObject"));
    if (entry == NULL) {
        FreeLibrary(module);
        return CO_E_ERRORINDLL;
    }
    auto can_unload = reinterpret_cast<CanUnloadNowFunction>(GetProcAddress(module, "DllCanUnloadNow"));
    std::lock_guard lock(g_servers_lock);
    LoadedServer *server = FindLoaded(folded);
    if (server != nullptr) {
        // Another thread loaded it meanwhile: one table entry, one module
        // reference of ours.
        FreeLibrary(module);
    } else {
        g_servers.push_back({folded, module, entry, can_unload});
        server = &g_servers.back();
    }
    ++server->callers;
    ++server->activations;
    get_class_object = server->get_class_object;
    return S_OK;
}

void LeaveServer(const std::u16string &folded) {
    std::lock_guard lock(g_servers_lock);
    if (LoadedServer *server = FindLoaded(folded)) --server->callers;
}

HRESULT GetInprocClassObject(REFCLSID clsid, DWORD context, REFIID riid, LPVOID *ppv) {
    if (!(context & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
    std::u16string path;
    HRESULT hr = FindServerPath(clsid, path);
    if (FAILED(hr)) return hr;
    std::u16string folded = tm350::text::FoldCase(path);
    GetClassObjectFunction get_class_object = NULL;
    hr = EnterServer(folded, path, get_class_object);
    if (FAILED(hr)) return hr;
    hr = get_class_object(clsid, riid, ppv);
    LeaveServer(folded);
    return hr;
}

}  // namespace

namespace tm350::com {

void OnLastUninitialize() { CoFreeUnusedLibraries(); }

}  // namespace tm350::com

WINOLEAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID *ppv) {
    if (ppv == NULL) return E_INVALIDARG;
    *ppv = NULL;
    if (!tm350::com::IsInitializedOnThisThread()) return CO_E_NOTINITIALIZED;
    return GetInprocClassObject(rclsid, dwClsContext, riid, ppv);
}

WINOLEAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID *ppv) {
    if (ppv == NULL) return E_POINTER;
    *ppv = NULL;
    if (!tm350::com::IsInitializedOnThisThread()) return CO_E_NOTINITIALIZED;
    IClassFactory *factory = NULL;
    HRESULT hr = GetInprocClassObject(rclsid, dwClsContext, IID_IClassFactory, reinterpret_cast<void **>(&factory));
    if (FAILED(hr)) return hr;
    if (factory == NULL) return E_UNEXPECTED;
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    return hr;
}

WINOLEAPI_(void) CoFreeUnusedLibrariesEx(DWORD dwUnloadDelay, DWORD dwReserved) {
    struct Candidate {
        std::u16string folded_path;
        CanUnloadNowFunction can_unload_now;
        unsigned long activations;
    };
    // Ask each idle server outside the lock; unload it only if nothing
    // started using it since it was asked.
    std::lock_guard unload_lock(g_unload_lock);
    std::vector<Candidate> candidates;
    {
        std::lock_guard lock(g_servers_lock);
        for (const LoadedServer &server : g_servers) {
            if (server.can_unload_now != NULL && server.callers == 0) {
                candidates.push_back({server.folded_path, server.can_unload_now, server.activations});
            }
        }
    }
    std::vector<HMODULE> to_free;
    for (const Candidate &candidate : candidates) {
        if (candidate.can_unload_now() != S_OK) continue;
        std::lock_guard lock(g_servers_lock);
        LoadedServer *server = FindLoaded(candidate.folded_path);
        if (server == nullptr || server->callers != 0 || server->activations != candidate.activations) continue;
        to_free.push_back(server->module);
        g_servers.erase(g_servers.begin() + (server - g_servers.data()));
    }
    for (HMODULE module : to_free) FreeLibrary(module);
}

WINOLEAPI_(void) CoFreeUnusedLibraries(void) { CoFreeUnusedLibrariesEx(INFINITE, 0); }
