// The "Static" class: text and frames that take no input. Unless it has
// SS_NOTIFY, a static lets mouse input through to the window beneath it.
#include "user32/desktop_state.h"

namespace tm350::user32 {

bool TransparentToMouse(const Window &window) {
    const std::u16string &name = window.window_class->name;
    if (name == u"Static") return !(window.style & SS_NOTIFY);
    if (name == u"Button") return (window.style & BS_TYPEMASK) == BS_GROUPBOX;
    return false;
}

LRESULT CALLBACK StaticProcedure(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_NCHITTEST:
            return (GetWindowLongW(hWnd, GWL_STYLE) & SS_NOTIFY) ? HTCLIENT : HTTRANSPARENT;
        case WM_GETDLGCODE:
            return DLGC_STATIC;
        case WM_LBUTTONUP:
            if (GetWindowLongW(hWnd, GWL_STYLE) & SS_NOTIFY) {
                // STN_CLICKED is 0.
                SendMessageW(GetParent(hWnd), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(hWnd), 0),
                             reinterpret_cast<LPARAM>(hWnd));
            }
            return 0;
        default:
            return DefWindowProcW(hWnd, message, wParam, lParam);
    }
}

}  // namespace tm350::user32
