#include "tools/tm350/module_registration.h"

#include <objbase.h>

namespace tm350::tool {

const char *EntryName(RegistrationEntry entry) {
    return entry == RegistrationEntry::Register ? "DllRegisterServer" : "DllUnregisterServer";
}

RegistrationResult CallRegistrationEntry(const std::string &module, RegistrationEntry entry) {
    RegistrationResult result;
    HRESULT init = CoInitialize(NULL);
    HMODULE loaded = LoadLibraryA(module.c_str());
    if (loaded == NULL) {
        result.outcome = RegistrationResult::LoadFailed;
        result.load_error = GetLastError();
    } else {
        char path[MAX_PATH];
        DWORD length = GetModuleFileNameA(loaded, path, sizeof path);
        result.module_path = length > 0 && length < sizeof path ? std::string(path, length) : module;
        typedef HRESULT(STDAPICALLTYPE * EntryFunction)();
        auto function = reinterpret_cast<EntryFunction>(GetProcAddress(loaded, EntryName(entry)));
        if (function == NULL) {
            result.outcome = RegistrationResult::EntryMissing;
        } else {
            result.entry_result = function();
            if (FAILED(result.entry_result)) result.outcome = RegistrationResult::CallFailed;
        }
        FreeLibrary(loaded);
    }
    if (SUCCEEDED(init)) CoUninitialize();
    return result;
}

}  // namespace tm350::tool
