// The pattern source's module: its class table, entry point and
// registration, the way a capture filter module registers itself as a
// device of its category.
#include "pattern_source_filter.h"

namespace {

const AMOVIESETUP_MEDIATYPE kPinTypes[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24}};
const AMOVIESETUP_PIN kPins[] = {
    {const_cast<LPWSTR>(L"Out"), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, NULL, 1, kPinTypes}};
const AMOVIESETUP_FILTER kFilterSetup = {&CLSID_TestPatternSource, TEST_PATTERN_SOURCE_NAME, MERIT_DO_NOT_USE, 1,
                                         kPins};

// The device entry under the test category: one output pin of Video / RGB24.
const REGPINTYPES kDevicePinTypes[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24}};
const REGFILTERPINS2 kDevicePins[] = {{REG_PINFLAG_B_OUTPUT, 1, 1, kDevicePinTypes, 0, NULL, &PIN_CATEGORY_CAPTURE}};

// The test category's entry needs COM on this thread; the framework's step
// before it initialised and uninitialised COM around its own work only.
HRESULT RegisterDevice(BOOL bRegister) {
    HRESULT init = CoInitialize(NULL);
    IFilterMapper2 *mapper = NULL;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, NULL, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                  reinterpret_cast<void **>(&mapper));
    if (SUCCEEDED(hr)) {
        if (bRegister) {
            REGFILTER2 filter = {};
            filter.dwVersion = 2;
            filter.dwMerit = MERIT_DO_NOT_USE;
            filter.cPins2 = 1;
            filter.rgPins2 = kDevicePins;
            hr = mapper->RegisterFilter(CLSID_TestPatternSource, TEST_PATTERN_SOURCE_NAME, NULL,
                                        &CLSID_TestSourceCategory, TEST_PATTERN_SOURCE_NAME, &filter);
        } else {
            hr = mapper->UnregisterFilter(&CLSID_TestSourceCategory, TEST_PATTERN_SOURCE_NAME, CLSID_TestPatternSource);
            // Unregistering what is not there is done.
            if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) hr = S_OK;
        }
        mapper->Release();
    }
    if (SUCCEEDED(init)) CoUninitialize();
    return hr;
}

}  // namespace

CFactoryTemplate g_Templates[] = {
    {TEST_PATTERN_SOURCE_NAME, &CLSID_TestPatternSource, CPatternSource::CreateInstance, NULL, &kFilterSetup},
};
int g_cTemplates = sizeof(g_Templates) / sizeof(g_Templates[0]);

STDAPI DllRegisterServer() {
    HRESULT hr = AMovieDllRegisterServer2(TRUE);
    if (FAILED(hr)) return hr;
    return RegisterDevice(TRUE);
}

STDAPI DllUnregisterServer() {
    // The device entry first: the framework's step removes the class, and
    // with it the entry's way to the module.
    HRESULT hr = RegisterDevice(FALSE);
    if (FAILED(hr)) return hr;
    return AMovieDllRegisterServer2(FALSE);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved) {
    return DllEntryPoint(hInstance, dwReason, pReserved);
}
