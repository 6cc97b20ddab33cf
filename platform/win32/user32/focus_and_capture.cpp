// Keyboard focus (per thread, as each thread has its own input state) and
// the mouse capture (one for the desktop).
#include "user32/desktop_state.h"

using namespace tm350::user32;

// Focus moves only to a window of the calling thread; WM_KILLFOCUS goes to
// the window losing it, then WM_SETFOCUS to the one gaining it.
HWND WINAPI SetFocus(HWND hWnd) {
    Desktop &desktop = Desktop::Instance();
    HWND previous;
    {
        Lock lock(desktop.mutex);
        const auto queue = desktop.CurrentQueue();
        if (hWnd != nullptr) {
            const Window *window = desktop.Find(hWnd);
            if (window == nullptr) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return nullptr;
            }
            if (window->thread != queue->thread || !desktop.EnabledWithAncestors(*window)) return nullptr;
        }
        previous = queue->focus;
        if (previous == hWnd) return previous;
        queue->focus = hWnd;
    }
    if (previous != nullptr && IsWindow(previous)) SendMessageW(previous, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hWnd), 0);
    if (hWnd != nullptr) SendMessageW(hWnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(previous), 0);
    return previous;
}

HWND WINAPI GetFocus(void) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const auto queue = desktop.CurrentQueue();
    return desktop.Find(queue->focus) != nullptr ? queue->focus : nullptr;
}

HWND WINAPI GetActiveWindow(void) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const auto queue = desktop.CurrentQueue();
    return desktop.Find(queue->active) != nullptr ? queue->active : nullptr;
}

HWND WINAPI SetActiveWindow(HWND hWnd) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const auto queue = desktop.CurrentQueue();
    const HWND previous = queue->active;
    const Window *window = desktop.Find(hWnd);
    if (window == nullptr || window->thread != queue->thread) return nullptr;
    queue->active = hWnd;
    return previous;
}

// The window holding the capture gets every mouse message until it lets go;
// the one losing it gets WM_CAPTURECHANGED.
HWND WINAPI SetCapture(HWND hWnd) {
    Desktop &desktop = Desktop::Instance();
    HWND previous;
    {
        Lock lock(desktop.mutex);
        desktop.CurrentQueue();
        if (desktop.Find(hWnd) == nullptr) return nullptr;
        previous = desktop.capture;
        desktop.capture = hWnd;
    }
    if (previous != nullptr && previous != hWnd && IsWindow(previous)) {
        SendMessageW(previous, WM_CAPTURECHANGED, 0, reinterpret_cast<LPARAM>(hWnd));
    }
    return previous;
}

BOOL WINAPI ReleaseCapture(void) {
    Desktop &desktop = Desktop::Instance();
    HWND previous;
    {
        Lock lock(desktop.mutex);
        previous = desktop.capture;
        desktop.capture = nullptr;
    }
    if (previous != nullptr && IsWindow(previous)) SendMessageW(previous, WM_CAPTURECHANGED, 0, 0);
    return TRUE;
}

HWND WINAPI GetCapture(void) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    return desktop.capture;
}
