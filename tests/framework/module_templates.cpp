// The test program is a filter module of its own: these are its classes.
#include "framework/module_templates.h"

#include "framework/test_filter.h"

namespace framework_test {

std::atomic<int> init_routine_loads{0};
std::atomic<int> init_routine_unloads{0};

namespace {

void CALLBACK CountInitRoutine(BOOL loading, const CLSID *) {
    if (loading) {
        ++init_routine_loads;
    } else {
        ++init_routine_unloads;
    }
}

std::atomic<HRESULT> g_next_creation_result{S_OK};
std::atomic<bool> g_next_creation_returns_object{true};

// A class whose creation function fails as the test says.
CUnknown *CALLBACK CreateScripted(LPUNKNOWN outer, HRESULT *phr) {
    HRESULT result = g_next_creation_result.exchange(S_OK);
    bool returns_object = g_next_creation_returns_object.exchange(true);
    *phr = result;
    return returns_object ? new TestSourceFilter(outer, phr) : NULL;
}

const AMOVIESETUP_MEDIATYPE kPinTypes[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24}};
const AMOVIESETUP_PIN kPins[] = {
    {const_cast<LPWSTR>(L"Preview"), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, NULL, 1, kPinTypes}};

}  // namespace

const AMOVIESETUP_FILTER kTestFilterSetup = {&CLSID_TestSourceFilter, L"Test Source Filter", 0x00200000, 1, kPins};

void ScriptNextCreation(HRESULT result, bool returns_object) {
    g_next_creation_result = result;
    g_next_creation_returns_object = returns_object;
}

}  // namespace framework_test

CFactoryTemplate g_Templates[] = {
    {L"Test Source Filter", &framework_test::CLSID_TestSourceFilter, framework_test::TestSourceFilter::CreateInstance,
     framework_test::CountInitRoutine, &framework_test::kTestFilterSetup},
    {L"Scripted Class", &framework_test::CLSID_ScriptedClass, framework_test::CreateScripted, NULL, NULL},
};
int g_cTemplates = sizeof(g_Templates) / sizeof(g_Templates[0]);
