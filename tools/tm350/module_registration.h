// Registering an in-process server as regsvr32 does: load the module, call
// its DllRegisterServer or DllUnregisterServer with COM initialised around
// the call, free it.
#pragma once

#include <windows.h>

#include <string>

namespace tm350::tool {

enum class RegistrationEntry { Register, Unregister };

struct RegistrationResult {
    enum Outcome { Done, LoadFailed, EntryMissing, CallFailed } outcome = Done;
    DWORD load_error = 0;      // GetLastError of a failed load
    HRESULT entry_result = S_OK;  // what the entry returned
    std::string module_path;   // where the module was found, once loaded
};

const char *EntryName(RegistrationEntry entry);

// `module` is a path or a bare file name, found as LoadLibrary finds it
// (beside the program, then in the system folder).
RegistrationResult CallRegistrationEntry(const std::string &module, RegistrationEntry entry);

}  // namespace tm350::tool
