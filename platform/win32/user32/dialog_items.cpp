// A dialog's controls by identifier, and the order the keyboard walks them.
#include "user32/desktop_state.h"

#include "common/text.h"

#include <algorithm>
#include <functional>

using namespace tm350;
using namespace tm350::user32;

namespace {

// The controls of a dialog in tab order: its children in z-order, and the
// controls of a child that is itself a control parent (a page) in its place.
std::vector<HWND> ControlsInTabOrder(Desktop &desktop, HWND dialog) {
    std::vector<HWND> controls;
    const std::function<void(HWND)> walk = [&](HWND parent) {
        const Window *window = desktop.Find(parent);
        if (window == nullptr) return;
        for (HWND child : window->children) {
            const Window *control = desktop.Find(child);
            if (control == nullptr) continue;
            if (control->ex_style & WS_EX_CONTROLPARENT) {
                if ((control->style & WS_VISIBLE) && !(control->style & WS_DISABLED)) walk(child);
            } else {
                controls.push_back(child);
            }
        }
    };
    walk(dialog);
    return controls;
}

// Judged by the control's own styles, so that a dialog still hidden in
// WM_INITDIALOG finds its first control.
bool CanTakeFocus(Desktop &desktop, HWND handle, LONG required_style) {
    const Window *window = desktop.Find(handle);
    const LONG wanted = WS_VISIBLE | required_style;
    return window != nullptr && (window->style & (wanted | WS_DISABLED)) == wanted;
}

}  // namespace

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const Window *dialog = desktop.Find(hDlg);
    if (dialog == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    for (HWND child : dialog->children) {
        const Window *control = desktop.Find(child);
        if (control != nullptr && static_cast<int>(control->id) == nIDDlgItem) return child;
    }
    SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return nullptr;
}

int WINAPI GetDlgCtrlID(HWND hWnd) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const Window *window = desktop.Find(hWnd);
    if (window == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return window->parent != nullptr ? static_cast<int>(window->id) : 0;
}

LRESULT WINAPI SendDlgItemMessageW(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
    const HWND control = GetDlgItem(hDlg, nIDDlgItem);
    return control != nullptr ? SendMessageW(control, Msg, wParam, lParam) : 0;
}

LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
    const HWND control = GetDlgItem(hDlg, nIDDlgItem);
    return control != nullptr ? SendMessageA(control, Msg, wParam, lParam) : 0;
}

BOOL WINAPI SetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPCWSTR lpString) {
    const HWND control = GetDlgItem(hDlg, nIDDlgItem);
    return control != nullptr ? SetWindowTextW(control, lpString) : FALSE;
}

BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString) {
    const HWND control = GetDlgItem(hDlg, nIDDlgItem);
    return control != nullptr ? SetWindowTextA(control, lpString) : FALSE;
}

UINT WINAPI GetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPWSTR lpString, int cchMax) {
    const HWND control = GetDlgItem(hDlg, nIDDlgItem);
    if (control == nullptr) {
        if (lpString != nullptr && cchMax > 0) lpString[0] = 0;
        return 0;
    }
    return static_cast<UINT>(GetWindowTextW(control, lpString, cchMax));
}

BOOL WINAPI SetDlgItemInt(HWND hDlg, int nIDDlgItem, UINT uValue, BOOL bSigned) {
    const std::string digits = bSigned ? std::to_string(static_cast<int>(uValue)) : std::to_string(uValue);
    return SetDlgItemTextA(hDlg, nIDDlgItem, digits.c_str());
}

BOOL WINAPI CheckDlgButton(HWND hDlg, int nIDButton, UINT uCheck) {
    const HWND button = GetDlgItem(hDlg, nIDButton);
    if (button == nullptr) return FALSE;
    SendMessageW(button, BM_SETCHECK, uCheck, 0);
    return TRUE;
}

UINT WINAPI IsDlgButtonChecked(HWND hDlg, int nIDButton) {
    const HWND button = GetDlgItem(hDlg, nIDButton);
    return button != nullptr ? static_cast<UINT>(SendMessageW(button, BM_GETCHECK, 0, 0)) : 0;
}

// Checks the one button and unchecks every other of the dialog's controls
// whose identifier lies in the range.
BOOL WINAPI CheckRadioButton(HWND hDlg, int nIDFirstButton, int nIDLastButton, int nIDCheckButton) {
    std::vector<std::pair<HWND, int>> buttons;
    {
        Desktop &desktop = Desktop::Instance();
        Lock lock(desktop.mutex);
        const Window *dialog = desktop.Find(hDlg);
        if (dialog == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        for (HWND child : dialog->children) {
            const Window *control = desktop.Find(child);
            const int id = control != nullptr ? static_cast<int>(control->id) : 0;
            if (control != nullptr && id >= nIDFirstButton && id <= nIDLastButton) buttons.emplace_back(child, id);
        }
    }
    for (const auto &[button, id] : buttons) {
        SendMessageW(button, BM_SETCHECK, id == nIDCheckButton ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    return TRUE;
}

// The next (or previous) control that is visible, enabled and WS_TABSTOP,
// going round; the first one when `hCtl` is null.
HWND WINAPI GetNextDlgTabItem(HWND hDlg, HWND hCtl, BOOL bPrevious) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    std::vector<HWND> controls = ControlsInTabOrder(desktop, hDlg);
    if (bPrevious) std::reverse(controls.begin(), controls.end());
    const auto start = std::find(controls.begin(), controls.end(), hCtl);
    const size_t first = start == controls.end() ? 0 : static_cast<size_t>(start - controls.begin()) + 1;
    for (size_t step = 0; step < controls.size(); ++step) {
        const HWND candidate = controls[(first + step) % controls.size()];
        if (CanTakeFocus(desktop, candidate, WS_TABSTOP)) return candidate;
    }
    return hCtl;
}

// The next (or previous) control of `hCtl`'s group, which runs from a
// WS_GROUP control up to the next one.
HWND WINAPI GetNextDlgGroupItem(HWND hDlg, HWND hCtl, BOOL bPrevious) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const Window *control = desktop.Find(hCtl);
    if (control == nullptr || control->parent == nullptr) return hCtl;
    const auto &siblings = desktop.SiblingsOf(*control);
    const auto at = std::find(siblings.begin(), siblings.end(), hCtl);
    auto begin = at;
    while (begin != siblings.begin()) {
        const Window *window = desktop.Find(*begin);
        if (window != nullptr && (window->style & WS_GROUP)) break;
        --begin;
    }
    auto end = at + 1;
    while (end != siblings.end()) {
        const Window *window = desktop.Find(*end);
        if (window != nullptr && (window->style & WS_GROUP)) break;
        ++end;
    }
    std::vector<HWND> group(begin, end);
    if (bPrevious) std::reverse(group.begin(), group.end());
    const size_t first = static_cast<size_t>(std::find(group.begin(), group.end(), hCtl) - group.begin()) + 1;
    for (size_t step = 0; step < group.size(); ++step) {
        const HWND candidate = group[(first + step) % group.size()];
        if (CanTakeFocus(desktop, candidate, 0)) return candidate;
    }
    return hCtl;
}
