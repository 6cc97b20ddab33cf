// The classes of the test program's own template table.
#pragma once

#include <streams.h>

#include <atomic>

namespace framework_test {

// {3C1D8E60-5B7A-4C2E-9F10-6A2B4C8D0E02}
DEFINE_GUID(CLSID_ScriptedClass, 0x3c1d8e60, 0x5b7a, 0x4c2e, 0x9f, 0x10, 0x6a, 0x2b, 0x4c, 0x8d, 0x0e, 0x02);

// How often the test filter's initialisation routine ran, by direction.
extern std::atomic<int> init_routine_loads;
extern std::atomic<int> init_routine_unloads;
extern const AMOVIESETUP_FILTER kTestFilterSetup;

// The next creation of CLSID_ScriptedClass sets this result and returns a
// new object or null.
void ScriptNextCreation(HRESULT result, bool returns_object);

}  // namespace framework_test
