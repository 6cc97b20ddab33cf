// A Windows-style program, built on its own with the pkg-config line the
// README gives: "windows_program write" stores values, "windows_program read"
// (another process) prints them.
#include <windows.h>
#include <objbase.h>

#include <stdio.h>
#include <string.h>

static DWORD WINAPI Worker(LPVOID parameter) {
    SetEvent((HANDLE)parameter);
    return 7;
}

int main(int argc, char **argv) {
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
