// devenum.dll: the system device enumerator.
#include "dshow/runtime_classes.h"

#include <dshow.h>

#include <vector>

namespace {

using tm350::dshow::RuntimeClass;

// One line per class this module serves.
const std::vector<RuntimeClass> kClasses = {
    {&CLSID_SystemDeviceEnum, tm350::dshow::CreateSystemDeviceEnum},
};

}  // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv) {
    return tm350::dshow::GetClassObject(kClasses, rclsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return tm350::dshow::CanUnloadNow(); }
