// The filters registered for the graph to pick from when it renders: those
// under the legacy filter category, with their merit and input pin types as
// their FilterData records them.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

namespace tm350::dshow {

struct RegisteredFilter {
    CLSID clsid;
    std::u16string name;
    DWORD merit;
};

// Filters above MERIT_DO_NOT_USE with an input pin that takes `major_type`
// (any type when it is GUID_NULL, or when a pin lists no types), highest
// merit first.
std::vector<RegisteredFilter> RenderCandidates(const GUID &major_type);

}  // namespace tm350::dshow
