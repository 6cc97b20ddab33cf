// qedit.dll: the sample grabber and the null renderer.
#include "dshow/runtime_classes.h"

#include <dshow.h>

#include <vector>

EXTERN_C const CLSID CLSID_SampleGrabber;
EXTERN_C const CLSID CLSID_NullRenderer;

namespace {

using tm350::dshow::RuntimeClass;

// One line per class this module serves.
const std::vector<RuntimeClass> kClasses = {
    {&CLSID_SampleGrabber, tm350::dshow::CreateSampleGrabber},
    {&CLSID_NullRenderer, tm350::dshow::CreateNullRenderer},
};

}  // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv) {
    return tm350::dshow::GetClassObject(kClasses, rclsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return tm350::dshow::CanUnloadNow(); }
