// The "Button" class: push buttons, check boxes, radio buttons, group boxes.
//
// A click is the left button pressed and released inside the button; the
// button captures the mouse in between. Automatic check boxes and radio
// buttons change their own check first, then every button tells its parent
// with WM_COMMAND (BN_CLICKED, the button's window in lParam).
#include "user32/desktop_state.h"

#include <algorithm>

namespace tm350::user32 {
namespace {

LONG ButtonType(LONG style) { return style & BS_TYPEMASK; }

bool HasCheck(LONG type) {
    return type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON ||
           type == BS_3STATE || type == BS_AUTO3STATE;
}

struct ButtonFacts {
    bool exists = false;
    LONG type = 0;
    int check = 0;
    bool pushed = false;
    HWND parent = nullptr;
    int id = 0;
};

ButtonFacts Facts(HWND handle) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const Window *window = desktop.Find(handle);
    if (window == nullptr) return {};
    return {true, ButtonType(window->style), window->check, window->pushed, window->parent, static_cast<int>(window->id)};
}

void SetPushed(HWND handle, bool pushed) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    if (Window *window = desktop.Find(handle)) window->pushed = pushed;
}

// The other automatic radio buttons of the button's group: from the
// WS_GROUP control at or before it up to the next WS_GROUP control.
std::vector<HWND> OtherAutomaticRadios(HWND handle) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const Window *button = desktop.Find(handle);
    if (button == nullptr || button->parent == nullptr) return {};
    const auto &siblings = desktop.SiblingsOf(*button);
    const auto at = std::find(siblings.begin(), siblings.end(), handle);
    auto begin = at;
    while (begin != siblings.begin()) {
        const Window *window = desktop.Find(*begin);
        if (window != nullptr && (window->style & WS_GROUP)) break;
        --begin;
    }
    std::vector<HWND> others;
    for (auto it = begin; it != siblings.end(); ++it) {
        const Window *window = desktop.Find(*it);
        if (window == nullptr) continue;
        if (it != begin && (window->style & WS_GROUP)) break;
        if (*it != handle && window->window_class == button->window_class && ButtonType(window->style) == BS_AUTORADIOBUTTON) {
            others.push_back(*it);
        }
    }
    return others;
}

void Click(HWND handle) {
    const ButtonFacts facts = Facts(handle);
    if (!facts.exists) return;
    switch (facts.type) {
        case BS_AUTOCHECKBOX:
            SendMessageW(handle, BM_SETCHECK, facts.check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED, 0);
            break;
        case BS_AUTO3STATE:
            SendMessageW(handle, BM_SETCHECK, (facts.check + 1) % 3, 0);
            break;
        case BS_AUTORADIOBUTTON:
            SendMessageW(handle, BM_SETCHECK, BST_CHECKED, 0);
            for (HWND other : OtherAutomaticRadios(handle)) SendMessageW(other, BM_SETCHECK, BST_UNCHECKED, 0);
            break;
        default:
            break;
    }
    if (facts.parent != nullptr) {
        SendMessageW(facts.parent, WM_COMMAND, MAKEWPARAM(facts.id, BN_CLICKED), reinterpret_cast<LPARAM>(handle));
    }
}

bool Inside(HWND handle, LPARAM point) {
    RECT client;
    GetClientRect(handle, &client);
    const int x = static_cast<short>(LOWORD(point)), y = static_cast<short>(HIWORD(point));
    return x >= client.left && x < client.right && y >= client.top && y < client.bottom;
}

}  // namespace

LRESULT CALLBACK ButtonProcedure(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_NCHITTEST:
            return Facts(hWnd).type == BS_GROUPBOX ? HTTRANSPARENT : HTCLIENT;
        case WM_GETDLGCODE: {
            const LONG type = Facts(hWnd).type;
            if (type == BS_GROUPBOX) return DLGC_STATIC;
            if (type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON) return DLGC_BUTTON | DLGC_RADIOBUTTON;
            if (type == BS_DEFPUSHBUTTON) return DLGC_BUTTON | DLGC_DEFPUSHBUTTON;
            if (type == BS_PUSHBUTTON) return DLGC_BUTTON | DLGC_UNDEFPUSHBUTTON;
            return DLGC_BUTTON;
        }
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK:
            if (Facts(hWnd).type == BS_GROUPBOX) return 0;
            SetPushed(hWnd, true);
            SetCapture(hWnd);
            SetFocus(hWnd);
            return 0;
        case WM_MOUSEMOVE:
            if (GetCapture() == hWnd) SetPushed(hWnd, Inside(hWnd, lParam));
            return 0;
        case WM_LBUTTONUP: {
            if (GetCapture() != hWnd) return 0;
            const bool clicked = Facts(hWnd).pushed && Inside(hWnd, lParam);
            SetPushed(hWnd, false);
            ReleaseCapture();
            if (clicked) Click(hWnd);
            return 0;
        }
        case WM_CAPTURECHANGED:
            SetPushed(hWnd, false);
            return 0;
        case WM_KEYDOWN:
            if (wParam == VK_SPACE) Click(hWnd);
            return 0;
        case BM_CLICK:
            if (IsWindowEnabled(hWnd)) Click(hWnd);
            return 0;
        case BM_GETCHECK:
            return HasCheck(Facts(hWnd).type) ? Facts(hWnd).check : BST_UNCHECKED;
        case BM_SETCHECK: {
            Desktop &desktop = Desktop::Instance();
            Lock lock(desktop.mutex);
            Window *window = desktop.Find(hWnd);
            if (window == nullptr || !HasCheck(ButtonType(window->style))) return 0;
            // Only three-state buttons keep BST_INDETERMINATE.
            const LONG type = ButtonType(window->style);
            int check = wParam == BST_CHECKED ? BST_CHECKED : BST_UNCHECKED;
            if (wParam == BST_INDETERMINATE) check = (type == BS_3STATE || type == BS_AUTO3STATE) ? BST_INDETERMINATE : BST_CHECKED;
            if (window->check != check) {
                window->check = check;
                desktop.Changed();
            }
            return 0;
        }
        case BM_GETSTATE: {
            const ButtonFacts facts = Facts(hWnd);
            return (HasCheck(facts.type) ? facts.check : 0) | (facts.pushed ? BST_PUSHED : 0) |
                   (GetFocus() == hWnd ? BST_FOCUS : 0);
        }
        case BM_SETSTATE:
            SetPushed(hWnd, wParam != 0);
            return 0;
        case BM_SETSTYLE: {
            const LONG style = GetWindowLongW(hWnd, GWL_STYLE);
            SetWindowLongW(hWnd, GWL_STYLE, (style & ~0xFFFF) | static_cast<LONG>(wParam & 0xFFFF));
            return 0;
        }
        default:
            return DefWindowProcW(hWnd, message, wParam, lParam);
    }
}

}  // namespace tm350::user32
