#include "tools/tm350/camera_devices.h"

#include <sys/stat.h>

#include <cstdio>

#include "tools/tm350/module_registration.h"

namespace tm350::tool {

namespace {

std::string ClsidText(REFCLSID clsid) {
    WCHAR text[40];
    StringFromGUID2(clsid, text, 40);
    return Narrow(text);
}

// Where the class's server lives, as the COM runtime will look for it.
std::string RegisteredServer(REFCLSID clsid) {
    std::string key = "CLSID\\" + ClsidText(clsid) + "\\InprocServer32";
    HKEY opened = NULL;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return "";
    char path[MAX_PATH + 1] = {};
    DWORD type = REG_NONE;
    DWORD size = MAX_PATH;
    LSTATUS status = RegQueryValueExA(opened, nullptr, nullptr, &type, reinterpret_cast<BYTE *>(path), &size);
    RegCloseKey(opened);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return "";
    return path;
}

bool ServerFileExists(const std::string &server) {
    if (server.empty()) return false;
    // A bare name is found by LoadLibrary's search, which the load itself reports on.
    if (server.find('/') == std::string::npos) return true;
    struct stat status;
    return stat(server.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool IsRegistered(const CNVC480Identity &identity, const std::vector<Device> &devices) {
    for (const Device &device : devices) {
        if (IsEqualCLSID(device.clsid, identity.filter)) return ServerFileExists(RegisteredServer(identity.filter));
    }
    return false;
}

}  // namespace

std::string CaptureModuleFileName(const CNVC480Identity &identity) {
    std::string name = sizeof(void *) == 8 ? "TM350Mt64" : "TM350Mt";
    if (identity.instance != 0) name += "_" + std::to_string(identity.instance);
    return name + ".ax";
}

const CNVC480Identity *IdentityOfFilter(REFCLSID clsid) {
    for (const CNVC480Identity &identity : kNVC480Identities) {
        if (IsEqualCLSID(identity.filter, clsid)) return &identity;
    }
    return nullptr;
}

std::string CameraDevicePath(const CNVC480Identity &identity) {
    return "\\\\.\\TM350-" + std::to_string(identity.instance);
}

bool CameraAnswers(const std::string &path) {
    HANDLE device = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) return false;
    CloseHandle(device);
    return true;
}

bool RegisterMissingCaptureModules(const std::vector<Device> &devices, const char *command) {
    bool registered = false;
    for (const CNVC480Identity &identity : kNVC480Identities) {
        if (IsRegistered(identity, devices)) continue;
        const std::string module = CaptureModuleFileName(identity);
        RegistrationResult result = CallRegistrationEntry(module, RegistrationEntry::Register);
        switch (result.outcome) {
        case RegistrationResult::Done:
            fprintf(stderr, "%s: registered %s\n", command, result.module_path.c_str());
            registered = true;
            break;
        case RegistrationResult::LoadFailed:
            fprintf(stderr, "%s: cannot register %s: no such module beside the tool or in its library folder\n",
                    command, module.c_str());
            break;
        case RegistrationResult::EntryMissing:
            fprintf(stderr, "%s: cannot register %s: it has no %s\n", command, result.module_path.c_str(),
                    EntryName(RegistrationEntry::Register));
            break;
        case RegistrationResult::CallFailed:
            fprintf(stderr, "%s: registering %s failed with %s\n", command, result.module_path.c_str(),
                    HresultText(result.entry_result).c_str());
            break;
        }
    }
    return registered;
}

HRESULT FindVideoInputDevices(std::vector<Device> *devices, const char *command) {
    HRESULT hr = EnumerateDevices(CLSID_VideoInputDeviceCategory, devices);
    if (SUCCEEDED(hr) && RegisterMissingCaptureModules(*devices, command)) {
        ReleaseDevices(*devices);
        hr = EnumerateDevices(CLSID_VideoInputDeviceCategory, devices);
    }
    return hr;
}

const Device *ChooseDevice(const std::vector<Device> &devices, const std::string *selector, std::string *error) {
    if (selector == nullptr) {
        for (const Device &device : devices) {
            if (IdentityOfFilter(device.clsid) != nullptr) return &device;
        }
        *error = "no TM350 camera among the video input devices (tm350 capture --list-devices lists them)";
        return nullptr;
    }
    const bool byPosition = !selector->empty() && selector->size() <= 6 &&
                            selector->find_first_not_of("0123456789") == std::string::npos;
    if (byPosition) {
        const unsigned long position = std::stoul(*selector);
        if (position < devices.size()) return &devices[position];
        *error = "no video input device " + *selector + " (there " +
                 (devices.size() == 1 ? std::string("is 1") : "are " + std::to_string(devices.size())) + ")";
        return nullptr;
    }
    for (const Device &device : devices) {
        if (device.friendly_name == *selector) return &device;
    }
    *error = "no video input device named \"" + *selector + "\"";
    return nullptr;
}

}  // namespace tm350::tool
