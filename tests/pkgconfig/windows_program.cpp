// A Windows-style program, built on its own with the pkg-config line the
// README gives: "windows_program write" stores values, "windows_program read"
// (another process) prints them, "windows_program camera N" opens camera N
// through its driver and prints the driver version and a word of the
// camera's memory, "windows_program media" prints identifiers of the media
// framework as the identifier library defines them and the length of a
// BSTR.
#include <windows.h>
#include <objbase.h>
#include <winioctl.h>
#include <dshow.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../../driver/vexusb_interface.h"

static int ShowCamera(const char *instance) {
    char path[32];
    snprintf(path, sizeof(path), "\\\\.\\TM350-%s", instance);
    HANDLE camera = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (camera == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "%s: error %lu\n", path, (unsigned long)GetLastError());
        return 10;
    }
    CAM_DRIVER_VERSION version;
    DWORD bytes = 0;
    // Word 0x24C0 of camera memory: vendor request 0x11, device to host,
    // reply [high, low, status].
    CAM_CONTROL_RECORD record = {1, 2, 0, 0, 0x11, 0, 0, 0x24C0};
    BYTE reply[3] = {0, 0, 0};
    int status = 0;
    if (!DeviceIoControl(camera, IOCTL_CAM_GET_DRIVER_VERSION, NULL, 0, &version, sizeof(version), &bytes, NULL) ||
        bytes != sizeof(version)) {
        status = 11;
    } else if (!DeviceIoControl(camera, IOCTL_CAM_CONTROL_REQUEST, &record, sizeof(record), reply, sizeof(reply),
                                &bytes, NULL) ||
               bytes != 3 || reply[2] != 0x08) {
        status = 12;
    } else {
        printf("TM350-%s driver %u.%u.%u word 0x24C0=0x%02X%02X\n", instance, version.Major, version.Minor,
               version.Build, reply[0], reply[1]);
    }
    CloseHandle(camera);
    return status;
}

static int ShowMediaIdentifiers(void) {
    const struct {
        const char *name;
        const GUID *id;
    } identifiers[] = {
        {"MEDIASUBTYPE_RGB24", &MEDIASUBTYPE_RGB24},
        {"IID_IBaseFilter", &IID_IBaseFilter},
        {"PIN_CATEGORY_CAPTURE", &PIN_CATEGORY_CAPTURE},
    };
    for (const auto &identifier : identifiers) {
        WCHAR text[CHARS_IN_GUID];
        if (StringFromGUID2(*identifier.id, text, CHARS_IN_GUID) != CHARS_IN_GUID) return 20;
        char narrow[CHARS_IN_GUID];
        for (int i = 0; i < CHARS_IN_GUID; ++i) narrow[i] = (char)text[i];
        printf("%s=%s\n", identifier.name, narrow);
    }
    // A device's friendly name comes from its property bag as a BSTR.
    VARIANT name;
    VariantInit(&name);
    name.vt = VT_BSTR;
    name.bstrVal = SysAllocString(L"TM350 camera");
    if (name.bstrVal == NULL) return 21;
    printf("FriendlyName length=%u\n", SysStringLen(name.bstrVal));
    return VariantClear(&name) == S_OK && name.vt == VT_EMPTY ? 0 : 22;
}

static DWORD WINAPI Worker(LPVOID parameter) {
    SetEvent((HANDLE)parameter);
    return 7;
}

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "camera") == 0) return ShowCamera(argv[2]);
    if (argc == 2 && strcmp(argv[1], "media") == 0) return ShowMediaIdentifiers();
    if (argc != 2) return 2;
    if (FAILED(CoInitializeEx(NULL, COINIT_MULTITHREADED))) return 3;

    // A thread and an event, to show the base services link and work.
    HANDLE done = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE thread = CreateThread(NULL, 0, Worker, done, 0, NULL);
    HANDLE both[2] = {done, thread};
    DWORD exit_code = 0;
    if (WaitForMultipleObjects(2, both, TRUE, 5000) != WAIT_OBJECT_0 || !GetExitCodeThread(thread, &exit_code) ||
        exit_code != 7) {
        return 4;
    }
    CloseHandle(thread);
    CloseHandle(done);

    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\TM350\\Example", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) !=
        ERROR_SUCCESS) {
        return 5;
    }
    int status = 0;
    if (strcmp(argv[1], "write") == 0) {
        DWORD number = 350;
        const WCHAR text[] = L"camera";
        if (RegSetValueExA(key, "Number", 0, REG_DWORD, (const BYTE *)&number, sizeof(number)) != ERROR_SUCCESS ||
            RegSetValueExW(key, L"Name", 0, REG_SZ, (const BYTE *)text, sizeof(text)) != ERROR_SUCCESS) {
            status = 6;
        }
    } else {
        DWORD number = 0, size = sizeof(number), type = 0;
        char name[32];
        DWORD name_size = sizeof(name);
        if (RegQueryValueExA(key, "Number", NULL, &type, (BYTE *)&number, &size) != ERROR_SUCCESS ||
            type != REG_DWORD || RegQueryValueExA(key, "name", NULL, &type, (BYTE *)name, &name_size) != ERROR_SUCCESS) {
            status = 7;
        } else {
            printf("Number=%u Name=%s\n", (unsigned)number, name);
        }
    }
    RegCloseKey(key);
    CoUninitialize();
    return status;
}
