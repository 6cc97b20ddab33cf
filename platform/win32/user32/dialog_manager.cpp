// The dialog manager: keyboard navigation of a modeless dialog's controls.
#include "user32/desktop_state.h"

using namespace tm350::user32;

// TAB moves the focus to the next WS_TABSTOP control, ENTER presses OK and
// ESC Cancel, unless the focused control asks for those keys itself
// (WM_GETDLGCODE). Everything else for the dialog or its controls is
// dispatched here. Messages for other windows are left to the caller.
BOOL WINAPI IsDialogMessageW(HWND hDlg, LPMSG lpMsg) {
    if (lpMsg == nullptr || hDlg == nullptr) return FALSE;
    if (lpMsg->hwnd != hDlg && !IsChild(hDlg, lpMsg->hwnd)) return FALSE;
    if (lpMsg->message == WM_KEYDOWN || lpMsg->message == WM_CHAR) {
        const LRESULT code = SendMessageW(lpMsg->hwnd, WM_GETDLGCODE, lpMsg->wParam, reinterpret_cast<LPARAM>(lpMsg));
        const bool wants_all = (code & (DLGC_WANTALLKEYS | DLGC_WANTMESSAGE)) != 0;
        const WPARAM key = lpMsg->wParam;
        if (!wants_all && (key == VK_TAB || key == VK_RETURN || key == VK_ESCAPE)) {
            if (lpMsg->message == WM_CHAR) return TRUE;  // the key did its work on WM_KEYDOWN
            if (key == VK_TAB && !(code & DLGC_WANTTAB)) {
                const HWND next = GetNextDlgTabItem(hDlg, GetFocus(), FALSE);
                if (next != nullptr) SetFocus(next);
                return TRUE;
            }
            if (key == VK_RETURN || key == VK_ESCAPE) {
                const int id = key == VK_RETURN ? IDOK : IDCANCEL;
                const HWND button = GetDlgItem(hDlg, id);
                if (button == nullptr || IsWindowEnabled(button)) {
                    SendMessageW(hDlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
                }
                return TRUE;
            }
        }
    }
    DispatchMessageW(lpMsg);
    return TRUE;
}

BOOL WINAPI IsDialogMessageA(HWND hDlg, LPMSG lpMsg) { return IsDialogMessageW(hDlg, lpMsg); }
