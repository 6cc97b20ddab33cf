// What a window does with the messages its own procedure leaves alone.
#include "user32/desktop_state.h"

#include "common/text.h"

#include <algorithm>

using namespace tm350;
using namespace tm350::user32;

namespace {

void StoreText(HWND handle, LPCWSTR text_value) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    Window *window = desktop.Find(handle);
    if (window == nullptr) return;
    const std::u16string_view replacement = text::View(text_value);
    if (window->text != replacement) {
        window->text = replacement;
        desktop.Changed();
    }
}

}  // namespace

LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    Desktop &desktop = Desktop::Instance();
    switch (Msg) {
        case WM_NCCREATE: {
            const auto *creation = reinterpret_cast<const CREATESTRUCTW *>(lParam);
            // An ordinal name (0xFFFF, id) names an icon, which has no text.
            if (creation != nullptr && creation->lpszName != nullptr && creation->lpszName[0] != 0xFFFF) {
                StoreText(hWnd, creation->lpszName);
            }
            return TRUE;
        }
        case WM_SETTEXT:
            StoreText(hWnd, reinterpret_cast<LPCWSTR>(lParam));
            return TRUE;
        case WM_GETTEXT: {
            auto *buffer = reinterpret_cast<LPWSTR>(lParam);
            const int capacity = static_cast<int>(wParam);
            if (buffer == nullptr || capacity <= 0) return 0;
            Lock lock(desktop.mutex);
            const Window *window = desktop.Find(hWnd);
            if (window == nullptr) return 0;
            const int copied = std::min<int>(static_cast<int>(window->text.size()), capacity - 1);
            std::copy_n(window->text.data(), copied, reinterpret_cast<char16_t *>(buffer));
            buffer[copied] = 0;
            return copied;
        }
        case WM_GETTEXTLENGTH: {
            Lock lock(desktop.mutex);
            const Window *window = desktop.Find(hWnd);
            return window == nullptr ? 0 : static_cast<LRESULT>(window->text.size());
        }
        case WM_CLOSE:
            DestroyWindow(hWnd);
            return 0;
        case WM_NCHITTEST:
            return HTCLIENT;
        case WM_MOUSEACTIVATE:
            return 1;  // MA_ACTIVATE
        default:
            return 0;
    }
}

// Windows here are always Unicode, so their messages carry UTF-16 text
// whichever form a procedure hands them on with.
LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(hWnd, Msg, wParam, lParam);
}

LRESULT WINAPI CallWindowProcW(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return CallProcedure(lpPrevWndFunc, hWnd, Msg, wParam, lParam);
}
