// Window classes: RegisterClass and its kin, and the lookup CreateWindowEx
// uses.
#include "user32/desktop_state.h"

#include "common/text.h"

#include <algorithm>

namespace tm350::user32 {
namespace {

bool SameName(const WindowClass &window_class, LPCWSTR name) {
    if (IS_INTRESOURCE(name)) return window_class.atom == static_cast<ATOM>(reinterpret_cast<ULONG_PTR>(name));
    return text::EqualsIgnoringCase(window_class.name, text::View(name));
}

ATOM Register(const WNDCLASSEXW &description) {
    if (description.lpszClassName == nullptr || description.lpfnWndProc == nullptr || description.cbWndExtra < 0 ||
        description.cbClsExtra < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    desktop.CurrentQueue();
    const bool global = (description.style & CS_GLOBALCLASS) != 0;
    // A module may not register a name twice, nor a global class clash with another.
    for (const auto &existing : desktop.classes) {
        if (SameName(*existing, description.lpszClassName) &&
            (existing->instance == description.hInstance || (global && (existing->style & CS_GLOBALCLASS)))) {
            SetLastError(ERROR_CLASS_ALREADY_EXISTS);
            return 0;
        }
    }
    auto made = std::make_shared<WindowClass>();
    made->name = IS_INTRESOURCE(description.lpszClassName) ? std::u16string() : std::u16string(text::View(description.lpszClassName));
    made->atom = desktop.next_atom++;
    made->style = description.style;
    made->procedure = description.lpfnWndProc;
    made->class_extra = description.cbClsExtra;
    made->window_extra = description.cbWndExtra;
    made->instance = description.hInstance;
    made->background = description.hbrBackground;
    desktop.classes.push_back(made);
    return made->atom;
}

WNDCLASSEXW Widen(UINT size, UINT style, WNDPROC procedure, int class_extra, int window_extra, HINSTANCE instance,
                  HBRUSH background, LPCWSTR name) {
    WNDCLASSEXW wide = {};
    wide.cbSize = size;
    wide.style = style;
    wide.lpfnWndProc = procedure;
    wide.cbClsExtra = class_extra;
    wide.cbWndExtra = window_extra;
    wide.hInstance = instance;
    wide.hbrBackground = background;
    wide.lpszClassName = name;
    return wide;
}

ATOM RegisterAnsi(UINT size, UINT style, WNDPROC procedure, int class_extra, int window_extra, HINSTANCE instance,
                  HBRUSH background, LPCSTR name) {
    if (name != nullptr && IS_INTRESOURCE(name)) {
        return Register(Widen(size, style, procedure, class_extra, window_extra, instance, background,
                              reinterpret_cast<LPCWSTR>(name)));
    }
    const std::u16string wide_name = text::Utf8ToUtf16(name ? name : "");
    return Register(Widen(size, style, procedure, class_extra, window_extra, instance, background,
                          name ? text::AsWide(wide_name) : nullptr));
}

}  // namespace

std::shared_ptr<WindowClass> FindClass(Desktop &desktop, LPCWSTR name, HINSTANCE instance) {
    std::shared_ptr<WindowClass> global;
    for (const auto &candidate : desktop.classes) {
        if (!SameName(*candidate, name)) continue;
        if (!candidate->system && candidate->instance == instance) return candidate;
        if (global == nullptr && (candidate->system || (candidate->style & CS_GLOBALCLASS))) global = candidate;
    }
    return global;
}

void RegisterSystemClasses(Desktop &desktop) {
    auto add = [&](const char16_t *name, ATOM atom, WNDPROC procedure, int window_extra, UINT style) {
        auto made = std::make_shared<WindowClass>();
        made->name = name;
        made->atom = atom;
        made->procedure = procedure;
        made->window_extra = window_extra;
        made->style = style | CS_GLOBALCLASS;
        made->system = true;
        desktop.classes.push_back(made);
    };
    // A dialog's longs hold its message result, procedure and user value,
    // pointer-sized each.
    const int dialog_extra = std::max<int>(DLGWINDOWEXTRA, DWLP_USER + sizeof(LONG_PTR));
    add(u"#32770", 0x8002, DefDlgProcW, dialog_extra, CS_DBLCLKS | CS_SAVEBITS);
    add(u"Button", desktop.next_atom++, ButtonProcedure, 0, CS_DBLCLKS | CS_PARENTDC | CS_HREDRAW | CS_VREDRAW);
    add(u"Static", desktop.next_atom++, StaticProcedure, 0, CS_DBLCLKS | CS_PARENTDC);
}

}  // namespace tm350::user32

using namespace tm350;
using namespace tm350::user32;

ATOM WINAPI RegisterClassExW(const WNDCLASSEXW *lpWndClass) {
    if (lpWndClass == nullptr || lpWndClass->cbSize != sizeof(WNDCLASSEXW)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Register(*lpWndClass);
}

ATOM WINAPI RegisterClassW(const WNDCLASSW *lpWndClass) {
    if (lpWndClass == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Register(Widen(sizeof(WNDCLASSEXW), lpWndClass->style, lpWndClass->lpfnWndProc, lpWndClass->cbClsExtra,
                          lpWndClass->cbWndExtra, lpWndClass->hInstance, lpWndClass->hbrBackground,
                          lpWndClass->lpszClassName));
}

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA *lpWndClass) {
    if (lpWndClass == nullptr || lpWndClass->cbSize != sizeof(WNDCLASSEXA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return RegisterAnsi(sizeof(WNDCLASSEXW), lpWndClass->style, lpWndClass->lpfnWndProc, lpWndClass->cbClsExtra,
                        lpWndClass->cbWndExtra, lpWndClass->hInstance, lpWndClass->hbrBackground,
                        lpWndClass->lpszClassName);
}

ATOM WINAPI RegisterClassA(const WNDCLASSA *lpWndClass) {
    if (lpWndClass == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return RegisterAnsi(sizeof(WNDCLASSEXW), lpWndClass->style, lpWndClass->lpfnWndProc, lpWndClass->cbClsExtra,
                        lpWndClass->cbWndExtra, lpWndClass->hInstance, lpWndClass->hbrBackground,
                        lpWndClass->lpszClassName);
}

// A class with windows still open stays (ERROR_CLASS_HAS_WINDOWS), as on Windows.
BOOL WINAPI UnregisterClassW(LPCWSTR lpClassName, HINSTANCE hInstance) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    for (auto at = desktop.classes.begin(); at != desktop.classes.end(); ++at) {
        if ((*at)->system || (*at)->instance != hInstance || !SameName(**at, lpClassName)) continue;
        for (const auto &[handle, window] : desktop.windows) {
            if (window->window_class == *at) {
                SetLastError(ERROR_CLASS_HAS_WINDOWS);
                return FALSE;
            }
        }
        desktop.classes.erase(at);
        return TRUE;
    }
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
}

BOOL WINAPI GetClassInfoW(HINSTANCE hInstance, LPCWSTR lpClassName, LPWNDCLASSW lpWndClass) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const auto found = FindClass(desktop, lpClassName, hInstance);
    if (found == nullptr || lpWndClass == nullptr) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    *lpWndClass = {};
    lpWndClass->style = found->style;
    lpWndClass->lpfnWndProc = found->procedure;
    lpWndClass->cbClsExtra = found->class_extra;
    lpWndClass->cbWndExtra = found->window_extra;
    lpWndClass->hInstance = found->instance;
    lpWndClass->hbrBackground = found->background;
    lpWndClass->lpszClassName = lpClassName;
    return TRUE;
}

int WINAPI GetClassNameW(HWND hWnd, LPWSTR lpClassName, int nMaxCount) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const Window *window = desktop.Find(hWnd);
    if (window == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (lpClassName == nullptr || nMaxCount <= 0) return 0;
    const std::u16string &name = window->window_class->name;
    const int copied = std::min<int>(static_cast<int>(name.size()), nMaxCount - 1);
    std::copy_n(name.data(), copied, reinterpret_cast<char16_t *>(lpClassName));
    lpClassName[copied] = 0;
    return copied;
}
