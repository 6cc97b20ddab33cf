#include "module_entry.h"

#include "class_factory.h"

HINSTANCE g_hInst = NULL;
DWORD g_amPlatform = 0;

namespace {

void CallInitRoutines(BOOL bLoading) {
    for (int i = 0; i < g_cTemplates; i++) {
        const CFactoryTemplate *pT = &g_Templates[i];
        if (pT->m_lpfnInit != NULL) pT->m_lpfnInit(bLoading, pT->m_ClsID);
    }
}

}  // namespace

BOOL WINAPI DllEntryPoint(HINSTANCE hInstance, ULONG ulReason, LPVOID) {
    switch (ulReason) {
    case DLL_PROCESS_ATTACH: {
        DisableThreadLibraryCalls(hInstance);
        g_hInst = hInstance;
        OSVERSIONINFOW version = {};
        version.dwOSVersionInfoSize = sizeof(version);
        if (GetVersionExW(&version)) g_amPlatform = version.dwPlatformId;
        CallInitRoutines(TRUE);
        break;
    }
    case DLL_PROCESS_DETACH:
        CallInitRoutines(FALSE);
        break;
    }
    return TRUE;
}
