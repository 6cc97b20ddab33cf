#include "registration.h"

#include <uuids.h>

#include "class_factory.h"
#include "module_entry.h"

namespace {

// The registry says "not found" when a filter or key is already gone.
const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

HRESULT FromRegistryError(LONG error) {
    return error == ERROR_SUCCESS ? S_OK : static_cast<HRESULT>(0x80070000u | static_cast<DWORD>(error));
}

// "CLSID\{...}" for one class.
void ClassKeyName(REFCLSID clsid, WCHAR (&name)[6 + 39]) {
    lstrcpyW(name, L"CLSID\\");
    StringFromGUID2(clsid, name + 6, 39);
}

LONG SetStringValue(HKEY key, LPCWSTR name, LPCWSTR value) {
    DWORD bytes = static_cast<DWORD>((lstrlenW(value) + 1) * sizeof(WCHAR));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value), bytes);
}

// Deletes subKey of parent with everything below it. The first subkey is
// always at index 0 once the one before it is gone.
LONG EliminateSubKey(HKEY parent, LPCWSTR subKey) {
    HKEY key = NULL;
    LONG result = RegOpenKeyExW(parent, subKey, 0, KEY_ALL_ACCESS, &key);
    if (result != ERROR_SUCCESS) return result;
    for (;;) {
        WCHAR child[MAX_PATH];
        DWORD length = MAX_PATH;
        if (RegEnumKeyExW(key, 0, child, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) break;
        if (EliminateSubKey(key, child) != ERROR_SUCCESS) break;
    }
    RegCloseKey(key);
    return RegDeleteKeyW(parent, subKey);
}

HRESULT NotFoundIsSuccess(HRESULT hr) { return hr == kNotFound ? S_OK : hr; }

// Initialises COM on the calling thread for the length of one registration,
// and balances it only if it was taken.
class ComForRegistration {
public:
    ComForRegistration() : initialised_(SUCCEEDED(CoInitialize(NULL))) {}
    ~ComForRegistration() {
        CoFreeUnusedLibraries();
        if (initialised_) CoUninitialize();
    }

private:
    const bool initialised_;
};

}  // namespace

STDAPI AMovieSetupRegisterServer(CLSID clsServer, LPCWSTR szDescription, LPCWSTR szFileName,
                                 LPCWSTR szThreadingModel, LPCWSTR szServerType) {
    WCHAR classKeyName[6 + 39];
    ClassKeyName(clsServer, classKeyName);
    HKEY classKey = NULL;
    LONG result = RegCreateKeyW(HKEY_CLASSES_ROOT, classKeyName, &classKey);
    if (result != ERROR_SUCCESS) return FromRegistryError(result);
    result = SetStringValue(classKey, NULL, szDescription);
    if (result == ERROR_SUCCESS) {
        HKEY serverKey = NULL;
        result = RegCreateKeyW(classKey, szServerType, &serverKey);
        if (result == ERROR_SUCCESS) {
            result = SetStringValue(serverKey, NULL, szFileName);
            if (result == ERROR_SUCCESS) result = SetStringValue(serverKey, L"ThreadingModel", szThreadingModel);
            RegCloseKey(serverKey);
        }
    }
    RegCloseKey(classKey);
    return FromRegistryError(result);
}

STDAPI AMovieSetupUnregisterServer(CLSID clsServer) {
    WCHAR classKeyName[6 + 39];
    ClassKeyName(clsServer, classKeyName);
    EliminateSubKey(HKEY_CLASSES_ROOT, classKeyName);
    return S_OK;
}

HRESULT AMovieSetupRegisterFilter2(const AMOVIESETUP_FILTER *psetupdata, IFilterMapper2 *pIFM2, BOOL bRegister) {
    CheckPointer(psetupdata, S_FALSE);
    CheckPointer(pIFM2, E_POINTER);
    HRESULT hr = NotFoundIsSuccess(pIFM2->UnregisterFilter(NULL, NULL, *psetupdata->clsID));
    if (bRegister && SUCCEEDED(hr)) {
        REGFILTER2 rf2 = {};
        rf2.dwVersion = 1;
        rf2.dwMerit = psetupdata->dwMerit;
        rf2.cPins = psetupdata->nPins;
        rf2.rgPins = psetupdata->lpPin;
        hr = NotFoundIsSuccess(pIFM2->RegisterFilter(*psetupdata->clsID, psetupdata->strName, NULL, NULL, NULL, &rf2));
    }
    return hr;
}

HRESULT AMovieSetupRegisterFilter(const AMOVIESETUP_FILTER *psetupdata, IFilterMapper *pIFM, BOOL bRegister) {
    CheckPointer(psetupdata, S_FALSE);
    CheckPointer(pIFM, E_POINTER);
    const CLSID filter = *psetupdata->clsID;
    HRESULT hr = NotFoundIsSuccess(pIFM->UnregisterFilter(filter));
    if (!bRegister || FAILED(hr)) return hr;
    hr = pIFM->RegisterFilter(filter, psetupdata->strName, psetupdata->dwMerit);
    for (UINT p = 0; SUCCEEDED(hr) && p < psetupdata->nPins; p++) {
        const AMOVIESETUP_PIN &pin = psetupdata->lpPin[p];
        hr = pIFM->RegisterPin(filter, pin.strName, pin.bRendered, pin.bOutput, pin.bZero, pin.bMany,
                               pin.clsConnectsToFilter != NULL ? *pin.clsConnectsToFilter : CLSID_NULL,
                               pin.strConnectsToPin);
        for (UINT t = 0; SUCCEEDED(hr) && t < pin.nMediaTypes; t++) {
            const AMOVIESETUP_MEDIATYPE &type = pin.lpMediaType[t];
            hr = pIFM->RegisterPinType(filter, pin.strName, type.clsMajorType != NULL ? *type.clsMajorType : GUID_NULL,
                                       type.clsMinorType != NULL ? *type.clsMinorType : GUID_NULL);
        }
    }
    return NotFoundIsSuccess(hr);
}

STDAPI AMovieDllRegisterServer2(BOOL bRegister) {
    char ansiPath[MAX_PATH];
    DWORD length = GetModuleFileNameA(g_hInst, ansiPath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        DWORD error = GetLastError();
        return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    WCHAR path[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, ansiPath, -1, path, MAX_PATH) == 0) return HRESULT_FROM_WIN32(GetLastError());

    HRESULT hr = S_OK;
    if (bRegister) {
        for (int i = 0; i < g_cTemplates && SUCCEEDED(hr); i++) {
            hr = AMovieSetupRegisterServer(*g_Templates[i].m_ClsID, g_Templates[i].m_Name, path);
        }
        if (FAILED(hr)) return hr;
    }

    {
        ComForRegistration com;
        IFilterMapper2 *mapper2 = NULL;
        IFilterMapper *mapper = NULL;
        hr = CoCreateInstance(CLSID_FilterMapper2, NULL, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                              reinterpret_cast<void **>(&mapper2));
        if (FAILED(hr)) {
            hr = CoCreateInstance(CLSID_FilterMapper, NULL, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                                  reinterpret_cast<void **>(&mapper));
        }
        if (SUCCEEDED(hr)) {
            for (int i = 0; i < g_cTemplates && SUCCEEDED(hr); i++) {
                const AMOVIESETUP_FILTER *setup = g_Templates[i].m_pAMovieSetup_Filter;
                if (setup == NULL) continue;
                hr = mapper2 != NULL ? AMovieSetupRegisterFilter2(setup, mapper2, bRegister)
                                     : AMovieSetupRegisterFilter(setup, mapper, bRegister);
            }
            if (mapper2 != NULL) mapper2->Release();
            if (mapper != NULL) mapper->Release();
        }
    }

    if (!bRegister && SUCCEEDED(hr)) {
        for (int i = 0; i < g_cTemplates; i++) AMovieSetupUnregisterServer(*g_Templates[i].m_ClsID);
    }
    return hr;
}
