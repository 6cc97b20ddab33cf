// Window longs and window text.
#include "user32/desktop_state.h"

#include "common/text.h"

#include <algorithm>
#include <cstring>

using namespace tm350;
using namespace tm350::user32;

namespace {

bool ReadLong(HWND handle, int index, size_t width, LONG_PTR *value) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const Window *window = desktop.Find(handle);
    if (window == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    if (index >= 0) {
        if (static_cast<size_t>(index) + width > window->extra.size()) {
            SetLastError(ERROR_INVALID_INDEX);
            return false;
        }
        if (width == sizeof(LONG)) {
            LONG read;
            memcpy(&read, window->extra.data() + index, sizeof(read));
            *value = read;
        } else {
            memcpy(value, window->extra.data() + index, sizeof(*value));
        }
        return true;
    }
    switch (index) {
        case GWL_STYLE: *value = window->style; return true;
        case GWL_EXSTYLE: *value = window->ex_style; return true;
        case GWLP_ID: *value = window->id; return true;
        case GWLP_USERDATA: *value = window->user_data; return true;
        case GWLP_WNDPROC: *value = reinterpret_cast<LONG_PTR>(window->procedure); return true;
        case GWLP_HINSTANCE: *value = reinterpret_cast<LONG_PTR>(window->instance); return true;
        case GWLP_HWNDPARENT: *value = reinterpret_cast<LONG_PTR>(window->parent ? window->parent : window->owner); return true;
        default:
            SetLastError(ERROR_INVALID_INDEX);
            return false;
    }
}

// A new style or extended style goes through WM_STYLECHANGING, where the
// window may amend it, and WM_STYLECHANGED, as SetWindowLong does on Windows.
LONG_PTR ChangeStyle(HWND handle, int index, LONG requested) {
    Desktop &desktop = Desktop::Instance();
    STYLESTRUCT change = {};
    {
        Lock lock(desktop.mutex);
        const Window *window = desktop.Find(handle);
        if (window == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        change.styleOld = static_cast<DWORD>(index == GWL_STYLE ? window->style : window->ex_style);
    }
    change.styleNew = static_cast<DWORD>(requested);
    SendMessageW(handle, WM_STYLECHANGING, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&change));
    {
        Lock lock(desktop.mutex);
        Window *window = desktop.Find(handle);
        if (window == nullptr) return 0;
        LONG &style = index == GWL_STYLE ? window->style : window->ex_style;
        change.styleOld = static_cast<DWORD>(style);
        style = static_cast<LONG>(change.styleNew);
        desktop.Changed();
    }
    SendMessageW(handle, WM_STYLECHANGED, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&change));
    return static_cast<LONG>(change.styleOld);
}

LONG_PTR WriteLong(HWND handle, int index, size_t width, LONG_PTR value) {
    if (index == GWL_STYLE || index == GWL_EXSTYLE) {
        LONG_PTR previous;
        if (!ReadLong(handle, index, width, &previous)) return 0;
        SetLastError(ERROR_SUCCESS);
        ChangeStyle(handle, index, static_cast<LONG>(value));
        return previous;
    }
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    Window *window = desktop.Find(handle);
    if (window == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    LONG_PTR previous = 0;
    if (index >= 0) {
        if (static_cast<size_t>(index) + width > window->extra.size()) {
            SetLastError(ERROR_INVALID_INDEX);
            return 0;
        }
        if (width == sizeof(LONG)) {
            LONG old_value, new_value = static_cast<LONG>(value);
            memcpy(&old_value, window->extra.data() + index, sizeof(old_value));
            memcpy(window->extra.data() + index, &new_value, sizeof(new_value));
            previous = old_value;
        } else {
            memcpy(&previous, window->extra.data() + index, sizeof(previous));
            memcpy(window->extra.data() + index, &value, sizeof(value));
        }
        SetLastError(ERROR_SUCCESS);
        return previous;
    }
    switch (index) {
        case GWLP_ID:
            previous = window->id;
            window->id = value;
            desktop.Changed();
            break;
        case GWLP_USERDATA:
            previous = window->user_data;
            window->user_data = value;
            break;
        case GWLP_WNDPROC:
            previous = reinterpret_cast<LONG_PTR>(window->procedure);
            window->procedure = reinterpret_cast<WNDPROC>(value);
            break;
        case GWLP_HINSTANCE:
            previous = reinterpret_cast<LONG_PTR>(window->instance);
            window->instance = reinterpret_cast<HINSTANCE>(value);
            break;
        default:
            SetLastError(ERROR_INVALID_INDEX);
            return 0;
    }
    SetLastError(ERROR_SUCCESS);
    return previous;
}

}  // namespace

LONG_PTR WINAPI GetWindowLongPtrW(HWND hWnd, int nIndex) {
    LONG_PTR value = 0;
    return ReadLong(hWnd, nIndex, sizeof(LONG_PTR), &value) ? value : 0;
}
LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex) { return GetWindowLongPtrW(hWnd, nIndex); }
LONG WINAPI GetWindowLongW(HWND hWnd, int nIndex) {
    LONG_PTR value = 0;
    return ReadLong(hWnd, nIndex, sizeof(LONG), &value) ? static_cast<LONG>(value) : 0;
}
LONG WINAPI GetWindowLongA(HWND hWnd, int nIndex) { return GetWindowLongW(hWnd, nIndex); }

LONG_PTR WINAPI SetWindowLongPtrW(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
    return WriteLong(hWnd, nIndex, sizeof(LONG_PTR), dwNewLong);
}
LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
    return SetWindowLongPtrW(hWnd, nIndex, dwNewLong);
}
LONG WINAPI SetWindowLongW(HWND hWnd, int nIndex, LONG dwNewLong) {
    return static_cast<LONG>(WriteLong(hWnd, nIndex, sizeof(LONG), dwNewLong));
}
LONG WINAPI SetWindowLongA(HWND hWnd, int nIndex, LONG dwNewLong) { return SetWindowLongW(hWnd, nIndex, dwNewLong); }

BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR lpString) {
    if (!IsWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return SendMessageW(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) ? TRUE : FALSE;
}

BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString) {
    const std::u16string wide = text::Utf8ToUtf16(lpString ? lpString : "");
    return SetWindowTextW(hWnd, text::AsWide(wide));
}

int WINAPI GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount) {
    if (lpString == nullptr || nMaxCount <= 0) return 0;
    lpString[0] = 0;
    if (!IsWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return static_cast<int>(SendMessageW(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount), reinterpret_cast<LPARAM>(lpString)));
}

int WINAPI GetWindowTextLengthW(HWND hWnd) { return static_cast<int>(SendMessageW(hWnd, WM_GETTEXTLENGTH, 0, 0)); }

int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
    if (lpString == nullptr || nMaxCount <= 0) return 0;
    const int length = GetWindowTextLengthW(hWnd);
    std::u16string wide(static_cast<size_t>(length) + 1, u'\0');
    const int copied = GetWindowTextW(hWnd, reinterpret_cast<LPWSTR>(wide.data()), length + 1);
    wide.resize(static_cast<size_t>(std::max(copied, 0)));
    std::string narrow = text::Utf16ToUtf8(wide);
    if (narrow.size() > static_cast<size_t>(nMaxCount - 1)) narrow.resize(static_cast<size_t>(nMaxCount - 1));
    memcpy(lpString, narrow.c_str(), narrow.size() + 1);
    return static_cast<int>(narrow.size());
}
