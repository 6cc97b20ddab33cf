// Registration of the common controls, through the public window API only.
#include <windows.h>
#include <commctrl.h>

#include "comctl32/trackbar.h"

namespace {

// comctl32 registers its classes when it loads, as on Windows, so a module
// that links it may create them before calling InitCommonControlsEx.
__attribute__((constructor)) void RegisterCommonControls() { tm350::comctl32::RegisterTrackbarClass(); }

}  // namespace

void WINAPI InitCommonControls(void) {}

// The classes are registered already; the call only checks its argument.
BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX *picce) {
    if (picce == nullptr || picce->dwSize != sizeof(INITCOMMONCONTROLSEX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}
