// Dialogs made from templates, and what a dialog does by default.
#include "user32/desktop_state.h"
#include "user32/dialog_template.h"

#include "common/text.h"

#include <cstdint>

using namespace tm350;
using namespace tm350::user32;

namespace {

RECT ToPixels(const BaseUnits &units, int x, int y, int cx, int cy) {
    const int left = MultiplyDivide(x, units.x, 4), top = MultiplyDivide(y, units.y, 8);
    return {left, top, left + MultiplyDivide(cx, units.x, 4), top + MultiplyDivide(cy, units.y, 8)};
}

// Windows creates the dialog, its controls in template order (each a child
// with WS_CHILD and its template id, WS_EX_NOPARENTNOTIFY), then sends
// WM_INITDIALOG with the focus candidate in wParam; a nonzero answer puts
// the focus there. WS_VISIBLE in the template shows the dialog last.
HWND CreateFromTemplate(HINSTANCE instance, const void *data, size_t size, HWND parent, DLGPROC procedure,
                        LPARAM parameter) {
    const auto dialog = ReadDialogTemplate(data, size);
    if (!dialog) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    const BaseUnits units = DialogBaseUnitsFor(*dialog);
    DWORD style = dialog->style;
    DWORD ex_style = dialog->ex_style;
    if (style & DS_MODALFRAME) ex_style |= WS_EX_DLGMODALFRAME;
    if (style & DS_CONTROL) ex_style |= WS_EX_CONTROLPARENT;
    RECT rect = ToPixels(units, dialog->x, dialog->y, dialog->cx, dialog->cy);
    AdjustWindowRectEx(&rect, style, dialog->menu.present, ex_style);
    // A child's position is in its parent's client area; a popup's in its
    // owner's, unless DS_ABSALIGN asks for the screen's.
    const LONG width = rect.right - rect.left, height = rect.bottom - rect.top;
    POINT position = {MultiplyDivide(dialog->x, units.x, 4), MultiplyDivide(dialog->y, units.y, 8)};
    if (!(style & WS_CHILD) && parent != nullptr && !(style & DS_ABSALIGN)) ClientToScreen(parent, &position);
    if (style & DS_CENTER) {
        position = {(kScreenWidth - width) / 2, (kScreenHeight - height) / 2};
        if (style & WS_CHILD) position = {0, 0};
    }
    const std::u16string class_name = dialog->class_name.present && dialog->class_name.ordinal == 0
                                          ? dialog->class_name.text
                                          : std::u16string(u"#32770");
    const HWND window =
        CreateWindowExW(ex_style, text::AsWide(class_name), text::AsWide(dialog->title), style & ~WS_VISIBLE,
                        position.x, position.y, width, height, parent, nullptr, instance, nullptr);
    if (window == nullptr) return nullptr;
    {
        Desktop &desktop = Desktop::Instance();
        Lock lock(desktop.mutex);
        Window *made = desktop.Find(window);
        if (made == nullptr) return nullptr;
        made->dialog = std::make_unique<DialogState>();
        made->dialog->base_x = units.x;
        made->dialog->base_y = units.y;
    }
    SetWindowLongPtrW(window, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(procedure));
    for (const auto &item : dialog->items) {
        const RECT place = ToPixels(units, item.x, item.y, item.cx, item.cy);
        const std::u16string title = item.title.ordinal == 0 ? item.title.text : std::u16string();
        const HWND control = CreateWindowExW(
            item.ex_style | WS_EX_NOPARENTNOTIFY, text::AsWide(item.class_name), text::AsWide(title),
            (item.style | WS_CHILD) & ~WS_POPUP, place.left, place.top, place.right - place.left,
            place.bottom - place.top, window, reinterpret_cast<HMENU>(static_cast<UINT_PTR>(item.id)), instance,
            const_cast<BYTE *>(item.creation_data));
        if (control == nullptr && !(style & DS_NOFAILCREATE)) {
            DestroyWindow(window);
            return nullptr;
        }
    }
    const HWND focus = GetNextDlgTabItem(window, nullptr, FALSE);
    const LRESULT wants_focus = SendMessageW(window, WM_INITDIALOG, reinterpret_cast<WPARAM>(focus), parameter);
    if (!IsWindow(window)) return nullptr;
    if (wants_focus && focus != nullptr) SetFocus(focus);
    if (style & WS_VISIBLE) ShowWindow(window, SW_SHOWNORMAL);
    return window;
}

// The messages whose answer a dialog procedure returns itself rather than
// through DWLP_MSGRESULT.
bool AnswersDirectly(UINT message) {
    switch (message) {
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
        case WM_QUERYDRAGICON:
        case WM_INITDIALOG:
            return true;
        default:
            return false;
    }
}

}  // namespace

// The template is the module's RT_DIALOG resource of that name, found in
// the thread's UI language as FindResource finds it.
HWND WINAPI CreateDialogParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                               LPARAM dwInitParam) {
    const HRSRC found = FindResourceW(hInstance, lpTemplateName, MAKEINTRESOURCEW(5));
    if (found == nullptr) return nullptr;
    const HGLOBAL loaded = LoadResource(hInstance, found);
    const void *data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (data == nullptr) return nullptr;
    return CreateFromTemplate(hInstance, data, SizeofResource(hInstance, found), hWndParent, lpDialogFunc, dwInitParam);
}

HWND WINAPI CreateDialogParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                               LPARAM dwInitParam) {
    if (IS_INTRESOURCE(lpTemplateName)) {
        return CreateDialogParamW(hInstance, reinterpret_cast<LPCWSTR>(lpTemplateName), hWndParent, lpDialogFunc,
                                  dwInitParam);
    }
    const std::u16string name = text::Utf8ToUtf16(lpTemplateName);
    return CreateDialogParamW(hInstance, text::AsWide(name), hWndParent, lpDialogFunc, dwInitParam);
}

HWND WINAPI CreateDialogIndirectParamW(HINSTANCE hInstance, LPCDLGTEMPLATEW lpTemplate, HWND hWndParent,
                                       DLGPROC lpDialogFunc, LPARAM dwInitParam) {
    return CreateFromTemplate(hInstance, lpTemplate, SIZE_MAX, hWndParent, lpDialogFunc, dwInitParam);
}

HWND WINAPI CreateDialogIndirectParamA(HINSTANCE hInstance, LPCDLGTEMPLATEA lpTemplate, HWND hWndParent,
                                       DLGPROC lpDialogFunc, LPARAM dwInitParam) {
    return CreateDialogIndirectParamW(hInstance, lpTemplate, hWndParent, lpDialogFunc, dwInitParam);
}

// The procedure sees every message first. When it answers TRUE the answer
// is DWLP_MSGRESULT (reset to 0 before each call), or its own return value
// for the messages that answer directly; FALSE leaves the message to the
// dialog's default handling.
LRESULT WINAPI DefDlgProcW(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam) {
    const auto procedure = reinterpret_cast<DLGPROC>(GetWindowLongPtrW(hDlg, DWLP_DLGPROC));
    INT_PTR handled = 0;
    if (procedure != nullptr) {
        SetWindowLongPtrW(hDlg, DWLP_MSGRESULT, 0);
        handled = procedure(hDlg, Msg, wParam, lParam);
    }
    if (handled != 0 || !IsWindow(hDlg)) {
        if (AnswersDirectly(Msg)) return handled;
        return GetWindowLongPtrW(hDlg, DWLP_MSGRESULT);
    }
    switch (Msg) {
        case WM_CLOSE:
            // Closing a dialog is pressing its Cancel button.
            PostMessageW(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(hDlg, IDCANCEL)));
            return 0;
        case WM_SETFOCUS: {
            const HWND first = GetNextDlgTabItem(hDlg, nullptr, FALSE);
            if (first != nullptr) SetFocus(first);
            return 0;
        }
        case WM_NEXTDLGCTL: {
            HWND next = lParam ? reinterpret_cast<HWND>(wParam) : GetNextDlgTabItem(hDlg, GetFocus(), wParam != 0);
            if (next != nullptr) SetFocus(next);
            return 0;
        }
        case WM_GETDLGCODE:
            return 0;
        case WM_INITDIALOG:
            return 0;
        default:
            return DefWindowProcW(hDlg, Msg, wParam, lParam);
    }
}

LRESULT WINAPI DefDlgProcA(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return DefDlgProcW(hDlg, Msg, wParam, lParam);
}

// left and right scale by the horizontal base unit over 4, top and bottom
// by the vertical one over 8, rounded as MulDiv rounds.
BOOL WINAPI MapDialogRect(HWND hDlg, LPRECT lpRect) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const Window *window = desktop.Find(hDlg);
    if (window == nullptr || window->dialog == nullptr || lpRect == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    const int x = window->dialog->base_x, y = window->dialog->base_y;
    lpRect->left = MultiplyDivide(lpRect->left, x, 4);
    lpRect->right = MultiplyDivide(lpRect->right, x, 4);
    lpRect->top = MultiplyDivide(lpRect->top, y, 8);
    lpRect->bottom = MultiplyDivide(lpRect->bottom, y, 8);
    return TRUE;
}

LONG WINAPI GetDialogBaseUnits(void) { return MAKELONG(8, 16); }

// For a modeless dialog the result is only kept: the dialog is hidden and
// stays until its owner destroys it.
BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
    {
        Desktop &desktop = Desktop::Instance();
        Lock lock(desktop.mutex);
        Window *window = desktop.Find(hDlg);
        if (window == nullptr || window->dialog == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        window->dialog->ended = true;
        window->dialog->end_result = nResult;
    }
    ShowWindow(hDlg, SW_HIDE);
    PostMessageW(hDlg, WM_NULL, 0, 0);
    return TRUE;
}
