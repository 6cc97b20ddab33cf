// Where windows are, whether they show and whether they take input.
#include "user32/desktop_state.h"

#include <algorithm>

using namespace tm350::user32;

namespace {

Window *FindOrFail(Desktop &desktop, HWND handle) {
    Window *window = desktop.Find(handle);
    if (window == nullptr) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return window;
}

}  // namespace

// Disabling sends WM_CANCELMODE and takes away focus and capture; a change
// of state then sends WM_ENABLE. Returns whether the window was disabled.
BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable) {
    Desktop &desktop = Desktop::Instance();
    bool was_disabled;
    {
        Lock lock(desktop.mutex);
        Window *window = FindOrFail(desktop, hWnd);
        if (window == nullptr) return FALSE;
        was_disabled = (window->style & WS_DISABLED) != 0;
        if (was_disabled == !bEnable) return was_disabled;
    }
    if (!bEnable) SendMessageW(hWnd, WM_CANCELMODE, 0, 0);
    {
        Lock lock(desktop.mutex);
        Window *window = desktop.Find(hWnd);
        if (window == nullptr) return was_disabled;
        if (bEnable) {
            window->style &= ~WS_DISABLED;
        } else {
            window->style |= WS_DISABLED;
            if (desktop.capture == hWnd) desktop.capture = nullptr;
            if (auto queue = desktop.QueueOf(window->thread)) {
                if (queue->focus == hWnd || desktop.IsDescendant(hWnd, queue->focus)) queue->focus = nullptr;
            }
        }
        desktop.Changed();
    }
    SendMessageW(hWnd, WM_ENABLE, bEnable ? TRUE : FALSE, 0);
    return was_disabled;
}

BOOL WINAPI IsWindowEnabled(HWND hWnd) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const Window *window = FindOrFail(desktop, hWnd);
    return window != nullptr && !(window->style & WS_DISABLED);
}

// Returns whether the window was visible before. Minimising and maximising
// show the window as it is: the desktop has no taskbar to minimise to.
BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) {
    Desktop &desktop = Desktop::Instance();
    const bool show = nCmdShow != SW_HIDE;
    bool was_visible;
    {
        Lock lock(desktop.mutex);
        Window *window = FindOrFail(desktop, hWnd);
        if (window == nullptr) return FALSE;
        was_visible = (window->style & WS_VISIBLE) != 0;
        if (was_visible == show) return was_visible;
    }
    SendMessageW(hWnd, WM_SHOWWINDOW, show ? TRUE : FALSE, 0);
    {
        Lock lock(desktop.mutex);
        Window *window = desktop.Find(hWnd);
        if (window == nullptr) return was_visible;
        if (show) {
            window->style |= WS_VISIBLE;
        } else {
            window->style &= ~WS_VISIBLE;
            if (desktop.capture == hWnd) desktop.capture = nullptr;
        }
        desktop.Changed();
    }
    return was_visible;
}

BOOL WINAPI IsWindowVisible(HWND hWnd) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const Window *window = desktop.Find(hWnd);
    return window != nullptr && desktop.VisibleOnScreen(*window);
}

BOOL WINAPI MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL bRepaint) {
    return SetWindowPos(hWnd, nullptr, X, Y, nWidth, nHeight, SWP_NOZORDER | SWP_NOACTIVATE);
}

// Moves, sizes and restacks; a change of position sends WM_MOVE (the client
// origin in the parent's client coordinates) and a change of size WM_SIZE
// (the client size), as DefWindowProc makes of WM_WINDOWPOSCHANGED.
BOOL WINAPI SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy, UINT uFlags) {
    Desktop &desktop = Desktop::Instance();
    bool moved = false, sized = false;
    RECT client = {};
    POINT origin = {};
    {
        Lock lock(desktop.mutex);
        Window *window = FindOrFail(desktop, hWnd);
        if (window == nullptr) return FALSE;
        RECT rect = window->rect;
        if (!(uFlags & SWP_NOMOVE)) {
            rect = {X, Y, X + (rect.right - rect.left), Y + (rect.bottom - rect.top)};
        }
        if (!(uFlags & SWP_NOSIZE)) rect.right = rect.left + std::max(cx, 0), rect.bottom = rect.top + std::max(cy, 0);
        moved = rect.left != window->rect.left || rect.top != window->rect.top;
        sized = (rect.right - rect.left) != (window->rect.right - window->rect.left) ||
                (rect.bottom - rect.top) != (window->rect.bottom - window->rect.top);
        window->rect = rect;
        if (!(uFlags & SWP_NOZORDER)) {
            auto &siblings = desktop.SiblingsOf(*window);
            siblings.erase(std::remove(siblings.begin(), siblings.end(), hWnd), siblings.end());
            if (hWndInsertAfter == HWND_BOTTOM) {
                siblings.push_back(hWnd);
            } else if (hWndInsertAfter == HWND_TOP || hWndInsertAfter == HWND_TOPMOST ||
                       hWndInsertAfter == HWND_NOTOPMOST) {
                siblings.insert(siblings.begin(), hWnd);
            } else {
                const auto after = std::find(siblings.begin(), siblings.end(), hWndInsertAfter);
                siblings.insert(after == siblings.end() ? siblings.begin() : after + 1, hWnd);
            }
        }
        if (moved || sized || !(uFlags & SWP_NOZORDER)) desktop.Changed();
        client = desktop.ClientRect(*window);
        const RECT insets = NonClientInsets(window->style, window->ex_style);
        origin = {rect.left + insets.left, rect.top + insets.top};
    }
    if (uFlags & SWP_SHOWWINDOW) ShowWindow(hWnd, SW_SHOWNA);
    if (uFlags & SWP_HIDEWINDOW) ShowWindow(hWnd, SW_HIDE);
    if (moved) SendMessageW(hWnd, WM_MOVE, 0, MAKELPARAM(origin.x, origin.y));
    if (sized) SendMessageW(hWnd, WM_SIZE, 0, MAKELPARAM(client.right, client.bottom));
    return TRUE;
}

BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT lpRect) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const Window *window = FindOrFail(desktop, hWnd);
    if (window == nullptr || lpRect == nullptr) return FALSE;
    *lpRect = desktop.ScreenRect(*window);
    return TRUE;
}

BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const Window *window = FindOrFail(desktop, hWnd);
    if (window == nullptr || lpRect == nullptr) return FALSE;
    *lpRect = desktop.ClientRect(*window);
    return TRUE;
}

BOOL WINAPI AdjustWindowRectEx(LPRECT lpRect, DWORD dwStyle, BOOL bMenu, DWORD dwExStyle) {
    if (lpRect == nullptr) return FALSE;
    const RECT insets = NonClientInsets(static_cast<LONG>(dwStyle), static_cast<LONG>(dwExStyle));
    // A menu bar is one line of 20 pixels (SM_CYMENU at 96 DPI).
    const LONG menu = bMenu ? 20 : 0;
    lpRect->left -= insets.left;
    lpRect->top -= insets.top + menu;
    lpRect->right += insets.right;
    lpRect->bottom += insets.bottom;
    return TRUE;
}

BOOL WINAPI ClientToScreen(HWND hWnd, LPPOINT lpPoint) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const Window *window = FindOrFail(desktop, hWnd);
    if (window == nullptr || lpPoint == nullptr) return FALSE;
    const POINT origin = desktop.ClientOriginOnScreen(*window);
    lpPoint->x += origin.x;
    lpPoint->y += origin.y;
    return TRUE;
}

BOOL WINAPI ScreenToClient(HWND hWnd, LPPOINT lpPoint) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const Window *window = FindOrFail(desktop, hWnd);
    if (window == nullptr || lpPoint == nullptr) return FALSE;
    const POINT origin = desktop.ClientOriginOnScreen(*window);
    lpPoint->x -= origin.x;
    lpPoint->y -= origin.y;
    return TRUE;
}

// Returns the horizontal offset in the low word and the vertical in the
// high word, as Windows does.
int WINAPI MapWindowPoints(HWND hWndFrom, HWND hWndTo, LPPOINT lpPoints, UINT cPoints) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const HWND screen = DesktopWindowHandle();
    POINT from = {}, to = {};
    if (hWndFrom != nullptr && hWndFrom != screen) {
        const Window *window = FindOrFail(desktop, hWndFrom);
        if (window == nullptr) return 0;
        from = desktop.ClientOriginOnScreen(*window);
    }
    if (hWndTo != nullptr && hWndTo != screen) {
        const Window *window = FindOrFail(desktop, hWndTo);
        if (window == nullptr) return 0;
        to = desktop.ClientOriginOnScreen(*window);
    }
    const LONG dx = from.x - to.x, dy = from.y - to.y;
    for (UINT i = 0; lpPoints != nullptr && i < cPoints; ++i) {
        lpPoints[i].x += dx;
        lpPoints[i].y += dy;
    }
    SetLastError(ERROR_SUCCESS);
    return MAKELONG(static_cast<WORD>(dx), static_cast<WORD>(dy));
}

// Nothing is painted: the views read the state itself. The window must
// still exist (or be null, for all windows).
BOOL WINAPI InvalidateRect(HWND hWnd, const RECT *lpRect, BOOL bErase) {
    if (hWnd == nullptr) return TRUE;
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    return FindOrFail(desktop, hWnd) != nullptr;
}

BOOL WINAPI UpdateWindow(HWND hWnd) { return InvalidateRect(hWnd, nullptr, FALSE); }

// The metrics of a 1920x1080 screen at 96 DPI, without the padded borders
// of visual styles.
int WINAPI GetSystemMetrics(int nIndex) {
    switch (nIndex) {
        case SM_CXSCREEN: return kScreenWidth;
        case SM_CYSCREEN: return kScreenHeight;
        case SM_CYCAPTION: return 23;
        case SM_CXBORDER:
        case SM_CYBORDER: return 1;
        case SM_CXDLGFRAME:
        case SM_CYDLGFRAME: return 3;
        case SM_CXFRAME:
        case SM_CYFRAME: return 4;
        default: return 0;
    }
}
