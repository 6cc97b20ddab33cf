// A minimal in-process COM server: one class with a counter, a class
// factory, self-registration and an unload answer that follows its objects
// and server locks.
#include <initguid.h>

#include <olectl.h>

#include "counter_server.h"

namespace {

HINSTANCE g_instance = NULL;
LONG g_objects = 0;
LONG g_locks = 0;

class Counter : public ICounter {
public:
    Counter() { InterlockedIncrement(&g_objects); }
    virtual ~Counter() { InterlockedDecrement(&g_objects); }

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
        if (ppv == NULL) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ICounter) {
            *ppv = static_cast<ICounter *>(this);
            AddRef();
            return S_OK;
        }
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&references_); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG left = InterlockedDecrement(&references_);
        if (left == 0) delete this;
        return left;
    }
    STDMETHODIMP Increment() override {
        InterlockedIncrement(&value_);
        return S_OK;
    }
    STDMETHODIMP_(LONG) Value() override { return value_; }

private:
    LONG references_ = 1;
    LONG value_ = 0;
};

class Factory : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
        if (ppv == NULL) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory *>(this);
            AddRef();
            return S_OK;
        }
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    // The factory is static; it keeps the module alive only through LockServer.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown *outer, REFIID riid, void **ppv) override {
        if (ppv == NULL) return E_POINTER;
        *ppv = NULL;
        if (outer != NULL) return CLASS_E_NOAGGREGATION;
        Counter *counter = new Counter();
        HRESULT hr = counter->QueryInterface(riid, ppv);
        counter->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock) {
            InterlockedIncrement(&g_locks);
        } else {
            InterlockedDecrement(&g_locks);
        }
        return S_OK;
    }
};

Factory g_factory;

const WCHAR kClassKey[] = L"CLSID\\{6B1A2D40-3C1E-4F7A-9D2B-1E5C7A9B0C01}";
const WCHAR kServerKey[] = L"CLSID\\{6B1A2D40-3C1E-4F7A-9D2B-1E5C7A9B0C01}\\InprocServer32";

}  // namespace

EXTERN_C BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) g_instance = instance;
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv) {
    if (ppv == NULL) return E_POINTER;
    *ppv = NULL;
    if (rclsid != CLSID_TestCounter) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() { return (g_objects == 0 && g_locks == 0) ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
    WCHAR path[MAX_PATH];
    DWORD length = GetModuleFileNameW(g_instance, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return E_FAIL;
    HKEY key = NULL;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, kServerKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) !=
        ERROR_SUCCESS) {
        return SELFREG_E_CLASS;
    }
    LONG result = RegSetValueExW(key, NULL, 0, REG_SZ, reinterpret_cast<const BYTE *>(path),
                                 (length + 1) * sizeof(WCHAR));
    static const WCHAR kBoth[] = L"Both";
    if (result == ERROR_SUCCESS) {
        result = RegSetValueExW(key, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE *>(kBoth),
                                sizeof(kBoth));
    }
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

STDAPI DllUnregisterServer() {
    RegDeleteKeyW(HKEY_CLASSES_ROOT, kServerKey);
    LONG result = RegDeleteKeyW(HKEY_CLASSES_ROOT, kClassKey);
    return (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) ? S_OK : SELFREG_E_CLASS;
}
