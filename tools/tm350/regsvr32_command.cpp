// tm350 regsvr32 [/u] [/s] MODULE: loads a module and calls its
// DllRegisterServer or DllUnregisterServer, with COM initialised around the
// call, as regsvr32.exe does; exit codes follow regsvr32's.
#include <cstdio>
#include <strings.h>

#include "tools/tm350/commands.h"
#include "tools/tm350/module_registration.h"

namespace tm350::tool {

namespace {

enum Regsvr32Exit { kSuccess = 0, kBadArguments = 1, kLoadFailed = 3, kEntryMissing = 4, kCallFailed = 5 };

}  // namespace

int RunRegsvr32(const Arguments &arguments) {
    bool unregister = false;
    bool silent = false;
    const std::string *module_path = nullptr;
    for (const std::string &argument : arguments) {
        if (strcasecmp(argument.c_str(), "/u") == 0) {
            unregister = true;
        } else if (strcasecmp(argument.c_str(), "/s") == 0) {
            silent = true;
        } else if (module_path == nullptr && !argument.empty()) {
            // Anything but a known switch is the module: Linux paths start with '/' too.
            module_path = &argument;
        } else {
            fprintf(stderr, "tm350 regsvr32: unexpected argument \"%s\"\n", argument.c_str());
            return kBadArguments;
        }
    }
    if (module_path == nullptr) {
        fprintf(stderr, "tm350 regsvr32: no module named\n");
        return kBadArguments;
    }
    const RegistrationEntry entry = unregister ? RegistrationEntry::Unregister : RegistrationEntry::Register;
    const char *entry_name = EntryName(entry);
    RegistrationResult result = CallRegistrationEntry(*module_path, entry);
    switch (result.outcome) {
    case RegistrationResult::LoadFailed:
        fprintf(stderr, "tm350 regsvr32: cannot load \"%s\" (error %u)\n", module_path->c_str(),
                static_cast<unsigned>(result.load_error));
        return kLoadFailed;
    case RegistrationResult::EntryMissing:
        fprintf(stderr, "tm350 regsvr32: \"%s\" has no %s\n", module_path->c_str(), entry_name);
        return kEntryMissing;
    case RegistrationResult::CallFailed:
        fprintf(stderr, "tm350 regsvr32: %s in \"%s\" failed with 0x%08X\n", entry_name, module_path->c_str(),
                static_cast<unsigned>(result.entry_result));
        return kCallFailed;
    case RegistrationResult::Done:
        break;
    }
    if (!silent) printf("%s in %s succeeded.\n", entry_name, module_path->c_str());
    return kSuccess;
}

}  // namespace tm350::tool
