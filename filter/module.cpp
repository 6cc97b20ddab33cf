// The capture filter module's entry points: the language of its pages, its
// creatable classes and its registration as a video capture device.
#include <streams.h>

#include "module_resources.h"
#include "nvc480_filter.h"
#include "nvc480_identity.h"
#include "setup_page.h"
#include "size_property_page.h"

DWORD g_bChineseResources = 0;

namespace {

const AMOVIESETUP_MEDIATYPE kPinTypes[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24}};
// "Preview" is only the registered name; the pin object is "Out".
const AMOVIESETUP_PIN kPins[] = {
    {const_cast<LPWSTR>(L"Preview"), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, NULL, 1, kPinTypes}};
const AMOVIESETUP_FILTER kFilterSetup = {&CLSID_NVC480Filter, NVC480_FRIENDLY_NAME, MERIT_DO_NOT_USE, 1, kPins};

// The entry under the video input devices: one output pin of the capture category.
const REGPINTYPES kCapturePinTypes[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24}};
const REGFILTERPINS2 kCapturePins[] = {
    {REG_PINFLAG_B_OUTPUT, 1, 1, kCapturePinTypes, 0, NULL, &PIN_CATEGORY_CAPTURE}};

bool IsSimplifiedChinese(LANGID language) {
    return PRIMARYLANGID(language) == LANG_CHINESE && SUBLANGID(language) == SUBLANG_CHINESE_SIMPLIFIED;
}

// The framework's step initialises and uninitialises COM around its own
// work only; the mapper needs COM on this thread too. A caller that already
// initialised it keeps it as it was.
class CComOnThisThread {
public:
    CComOnThisThread() : m_hr(CoInitialize(NULL)) {}
    ~CComOnThisThread() {
        if (SUCCEEDED(m_hr)) CoUninitialize();
    }

private:
    const HRESULT m_hr;
};

HRESULT CreateFilterMapper(IFilterMapper2 **mapper) {
    return CoCreateInstance(CLSID_FilterMapper2, NULL, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                            reinterpret_cast<void **>(mapper));
}

}  // namespace

CFactoryTemplate g_Templates[] = {
    {NVC480_FRIENDLY_NAME, &CLSID_NVC480Filter, CNVC480::CreateInstance, NULL, &kFilterSetup},
    {L"NVC480 SizePage", &CLSID_NVC480SizePage, CSizePropertyPage::CreateInstance, NULL, NULL},
    {L"NVC480 SetupPage", &CLSID_NVC480SetupPage, CSetupPage::CreateInstance, NULL, NULL},
};
int g_cTemplates = sizeof(g_Templates) / sizeof(g_Templates[0]);

STDAPI DllRegisterServer() {
    HRESULT hr = AMovieDllRegisterServer2(TRUE);
    if (FAILED(hr)) return hr;
    CComOnThisThread com;
    IFilterMapper2 *mapper = NULL;
    hr = CreateFilterMapper(&mapper);
    if (FAILED(hr)) return hr;
    REGFILTER2 filter = {};
    filter.dwVersion = 2;
    filter.dwMerit = MERIT_DO_NOT_USE;
    filter.cPins2 = 1;
    filter.rgPins2 = kCapturePins;
    hr = mapper->RegisterFilter(CLSID_NVC480Filter, NVC480_FRIENDLY_NAME, NULL, &CLSID_VideoInputDeviceCategory,
                                NVC480_FRIENDLY_NAME, &filter);
    mapper->Release();
    return hr;
}

STDAPI DllUnregisterServer() {
    HRESULT hr = AMovieDllRegisterServer2(FALSE);
    if (FAILED(hr)) return hr;
    CComOnThisThread com;
    IFilterMapper2 *mapper = NULL;
    hr = CreateFilterMapper(&mapper);
    if (FAILED(hr)) return hr;
    hr = mapper->UnregisterFilter(&CLSID_VideoInputDeviceCategory, NVC480_FRIENDLY_NAME, CLSID_NVC480Filter);
    mapper->Release();
    return hr;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved) {
    if (dwReason == DLL_PROCESS_ATTACH) {
        // Assigned, not only set: a module the loader kept mapped is attached
        // again with whatever the last load left here.
        g_bChineseResources = IsSimplifiedChinese(GetUserDefaultLangID()) ? 1 : 0;
    }
    return DllEntryPoint(hInstance, dwReason, pReserved);
}
