// An in-process server that stands in for the platform's filter mappers
// (CLSID_FilterMapper2 and CLSID_FilterMapper) in tests of registration
// code. It writes what it is told under
// HKEY_CURRENT_USER\Software\TM350 tests\Filter mapper\{filter}: the values
// Name, Merit, Pins, Mapper (2 or 1), and for the old mapper a subkey per
// pin with its type count. Removing a filter that is not there fails with
// the registry's "not found", as the platform's mappers do.
#include <windows.h>
#include <objbase.h>
#include <strmif.h>
#include <uuids.h>

namespace {

LONG g_objects = 0;
const WCHAR kRoot[] = L"Software\\TM350 tests\\Filter mapper\\";

void FilterKeyName(REFCLSID filter, WCHAR (&name)[80]) {
    lstrcpyW(name, kRoot);
    StringFromGUID2(filter, name + lstrlenW(name), 39);
}

HRESULT WriteFilter(REFCLSID filter, LPCWSTR name, DWORD merit, DWORD pins, DWORD mapper) {
    WCHAR keyName[80];
    FilterKeyName(filter, keyName);
    HKEY key = NULL;
    LONG result = RegCreateKeyW(HKEY_CURRENT_USER, keyName, &key);
    if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(result);
    RegSetValueExW(key, L"Name", 0, REG_SZ, reinterpret_cast<const BYTE *>(name), (lstrlenW(name) + 1) * sizeof(WCHAR));
    RegSetValueExW(key, L"Merit", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&merit), sizeof(DWORD));
    RegSetValueExW(key, L"Pins", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&pins), sizeof(DWORD));
    RegSetValueExW(key, L"Mapper", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&mapper), sizeof(DWORD));
    RegCloseKey(key);
    return S_OK;
}

HRESULT RemoveFilter(REFCLSID filter) {
    WCHAR keyName[80];
    FilterKeyName(filter, keyName);
    LONG result = RegDeleteTreeW(HKEY_CURRENT_USER, keyName);
    return result == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(result);
}

HRESULT ChangePins(REFCLSID filter, LPCWSTR pin, bool newPin) {
    WCHAR keyName[80];
    FilterKeyName(filter, keyName);
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, keyName, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    HKEY pinKey = NULL;
    LONG result = RegCreateKeyW(key, pin, &pinKey);
    if (result == ERROR_SUCCESS) {
        DWORD types = 0;
        DWORD size = sizeof(types);
        if (!newPin) RegQueryValueExW(pinKey, L"Types", NULL, NULL, reinterpret_cast<BYTE *>(&types), &size);
        if (!newPin) types++;
        RegSetValueExW(pinKey, L"Types", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&types), sizeof(DWORD));
        RegCloseKey(pinKey);
    }
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(result);
}

class Mapper : public IFilterMapper2, public IFilterMapper {
public:
    Mapper() { InterlockedIncrement(&g_objects); }
    virtual ~Mapper() { InterlockedDecrement(&g_objects); }

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
        if (ppv == NULL) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IFilterMapper2) {
            *ppv = static_cast<IFilterMapper2 *>(this);
        } else if (riid == IID_IFilterMapper && old_mapper_) {
            *ppv = static_cast<IFilterMapper *>(this);
        } else {
            *ppv = NULL;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&references_); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG left = InterlockedDecrement(&references_);
        if (left == 0) delete this;
        return left;
    }

    // IFilterMapper2
    STDMETHODIMP CreateCategory(REFCLSID, DWORD, LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP UnregisterFilter(const CLSID *, LPCOLESTR, REFCLSID Filter) override { return RemoveFilter(Filter); }
    STDMETHODIMP RegisterFilter(REFCLSID clsidFilter, LPCWSTR Name, IMoniker **, const CLSID *, LPCOLESTR,
                                const REGFILTER2 *prf2) override {
        if (prf2 == NULL || prf2->dwVersion != 1) return E_INVALIDARG;
        return WriteFilter(clsidFilter, Name, prf2->dwMerit, prf2->cPins, 2);
    }
    STDMETHODIMP EnumMatchingFilters(IEnumMoniker **, DWORD, BOOL, DWORD, BOOL, DWORD, const GUID *,
                                     const REGPINMEDIUM *, const CLSID *, BOOL, BOOL, DWORD, const GUID *,
                                     const REGPINMEDIUM *, const CLSID *) override {
        return E_NOTIMPL;
    }

    // IFilterMapper
    STDMETHODIMP RegisterFilter(CLSID clsid, LPCWSTR Name, DWORD dwMerit) override {
        return WriteFilter(clsid, Name, dwMerit, 0, 1);
    }
    STDMETHODIMP RegisterFilterInstance(CLSID, LPCWSTR, CLSID *) override { return E_NOTIMPL; }
    STDMETHODIMP RegisterPin(CLSID Filter, LPCWSTR Name, BOOL, BOOL, BOOL, BOOL, CLSID, LPCWSTR) override {
        return ChangePins(Filter, Name, true);
    }
    STDMETHODIMP RegisterPinType(CLSID clsFilter, LPCWSTR strName, CLSID, CLSID) override {
        return ChangePins(clsFilter, strName, false);
    }
    STDMETHODIMP UnregisterFilter(CLSID Filter) override { return RemoveFilter(Filter); }
    STDMETHODIMP UnregisterFilterInstance(CLSID) override { return E_NOTIMPL; }
    STDMETHODIMP UnregisterPin(CLSID, LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP EnumMatchingFilters(IEnumRegFilters **, DWORD, BOOL, CLSID, CLSID, BOOL, BOOL, CLSID,
                                     CLSID) override {
        return E_NOTIMPL;
    }

    bool old_mapper_ = false;

private:
    LONG references_ = 1;
};

class Factory : public IClassFactory {
public:
    explicit Factory(bool old_mapper) : old_mapper_(old_mapper) {}
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
        if (ppv == NULL) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory *>(this);
            return S_OK;
        }
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown *outer, REFIID riid, void **ppv) override {
        if (ppv == NULL) return E_POINTER;
        *ppv = NULL;
        if (outer != NULL) return CLASS_E_NOAGGREGATION;
        Mapper *mapper = new Mapper();
        mapper->old_mapper_ = old_mapper_;
        // The old mapper's class offers only the old interface.
        HRESULT hr = old_mapper_ && riid == IID_IFilterMapper2 ? E_NOINTERFACE : mapper->QueryInterface(riid, ppv);
        mapper->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

private:
    bool old_mapper_;
};

Factory g_new_mapper(false);
Factory g_old_mapper(true);

}  // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv) {
    if (ppv == NULL) return E_POINTER;
    *ppv = NULL;
    if (rclsid == CLSID_FilterMapper2) return g_new_mapper.QueryInterface(riid, ppv);
    if (rclsid == CLSID_FilterMapper) return g_old_mapper.QueryInterface(riid, ppv);
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() { return g_objects == 0 ? S_OK : S_FALSE; }
