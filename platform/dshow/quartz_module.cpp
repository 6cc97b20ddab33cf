// quartz.dll: the graph, its clock, the memory allocator and the mappers.
#include "dshow/runtime_classes.h"

#include <dshow.h>

#include <vector>

namespace {

using tm350::dshow::RuntimeClass;

// One line per class this module serves.
const std::vector<RuntimeClass> kClasses = {
    {&CLSID_FilterGraph, tm350::dshow::CreateFilterGraph},
    {&CLSID_SystemClock, tm350::dshow::CreateSystemClock},
    {&CLSID_MemoryAllocator, tm350::dshow::CreateMemoryAllocator},
    {&CLSID_FilterMapper2, tm350::dshow::CreateFilterMapper2},
    {&CLSID_FilterMapper, tm350::dshow::CreateFilterMapper},
};

}  // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv) {
    return tm350::dshow::GetClassObject(kClasses, rclsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return tm350::dshow::CanUnloadNow(); }
