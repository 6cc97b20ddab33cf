// The tab control ("SysTabControl32"): a row of tabs along its top edge and a
// display area below them that the parent fills (a property frame puts its
// pages there). Only what property frames use: text items, the selection,
// TCM_ADJUSTRECT, and a click on a tab that notifies the parent.
//
// Documented behaviour kept: TCM_INSERTITEM returns the new item's index or
// -1; the first item inserted becomes the selection; TCM_SETCURSEL sends no
// notification and returns the previous selection (-1 for a bad index); a
// click on another tab sends TCN_SELCHANGING (a TRUE answer keeps the
// selection) and then TCN_SELCHANGE, both as WM_NOTIFY to the parent with
// the control's id.
#include <windows.h>
#include <commctrl.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/text.h"
#include "user32/headless_desktop.h"

namespace tm350::comctl32 {
namespace {

// Metrics in pixels, as the control draws at 96 DPI with the dialog font.
constexpr int kTabHeight = 20;
constexpr int kTabPadding = 12;   // around the text, both sides together
constexpr int kCharacterWidth = 6;
constexpr int kFirstTabOffset = 2;
constexpr int kBorder = 4;        // between the control's edge and its display area

struct TabState {
    std::vector<std::u16string> items;
    int selection = -1;
};

// Per window, outside the window's own storage so that the application's
// user data stays the application's.
std::mutex g_lock;
std::map<HWND, TabState> g_tabs;

TabState *Find(HWND window) {
    auto found = g_tabs.find(window);
    return found == g_tabs.end() ? nullptr : &found->second;
}

// Item i's rectangle in the control's client coordinates.
RECT ItemRect(const TabState &state, size_t index) {
    int left = kFirstTabOffset;
    for (size_t i = 0; i < index; ++i) {
        left += static_cast<int>(state.items[i].size()) * kCharacterWidth + kTabPadding;
    }
    const int width = static_cast<int>(state.items[index].size()) * kCharacterWidth + kTabPadding;
    return RECT{left, 0, left + width, kTabHeight};
}

// What a screen shows of the control, told to the desktop after each change.
void Publish(HWND window) {
    std::vector<std::u16string> items;
    int selection = -1;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        TabState *state = Find(window);
        if (state == nullptr) return;
        items = state->items;
        selection = state->selection;
    }
    user32::PublishTabState(window, items, selection);
}

int HitTest(const TabState &state, POINT point) {
    for (size_t i = 0; i < state.items.size(); ++i) {
        RECT rect = ItemRect(state, i);
        if (point.x >= rect.left && point.x < rect.right && point.y >= rect.top && point.y < rect.bottom) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

LRESULT Notify(HWND window, UINT code) {
    NMHDR header = {};
    header.hwndFrom = window;
    header.idFrom = static_cast<UINT_PTR>(GetDlgCtrlID(window));
    header.code = code;
    return SendMessageW(GetParent(window), WM_NOTIFY, header.idFrom, reinterpret_cast<LPARAM>(&header));
}

// The display area from the window rectangle, or the reverse.
void AdjustRect(BOOL larger, RECT *rect) {
    if (larger) {
        rect->left -= kBorder;
        rect->right += kBorder;
        rect->top -= kTabHeight + kBorder;
        rect->bottom += kBorder;
    } else {
        rect->left += kBorder;
        rect->right -= kBorder;
        rect->top += kTabHeight + kBorder;
        rect->bottom -= kBorder;
    }
}

void OnClick(HWND window, POINT point) {
    int hit;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        TabState *state = Find(window);
        if (state == nullptr) return;
        hit = HitTest(*state, point);
        if (hit < 0 || hit == state->selection) return;
    }
    // The parent's answers run without the lock: they may ask the control.
    if (Notify(window, TCN_SELCHANGING) != FALSE) return;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        TabState *state = Find(window);
        if (state == nullptr || hit >= static_cast<int>(state->items.size())) return;
        state->selection = hit;
    }
    Publish(window);
    Notify(window, TCN_SELCHANGE);
}

LRESULT CALLBACK TabControlProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE: {
        {
            std::lock_guard<std::mutex> guard(g_lock);
            g_tabs[window] = TabState{};
        }
        Publish(window);
        return 0;
    }
    case WM_NCDESTROY: {
        std::lock_guard<std::mutex> guard(g_lock);
        g_tabs.erase(window);
        break;
    }
    case TCM_INSERTITEMW: {
        const TCITEMW *item = reinterpret_cast<const TCITEMW *>(lParam);
        if (item == nullptr) return -1;
        std::u16string label;
        if ((item->mask & TCIF_TEXT) != 0 && item->pszText != nullptr) label = std::u16string(text::View(item->pszText));
        int index;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            TabState *state = Find(window);
            if (state == nullptr) return -1;
            size_t position = std::min(static_cast<size_t>(wParam), state->items.size());
            state->items.insert(state->items.begin() + static_cast<std::ptrdiff_t>(position), label);
            if (state->selection < 0) {
                state->selection = 0;
            } else if (static_cast<int>(position) <= state->selection) {
                ++state->selection;
            }
            index = static_cast<int>(position);
        }
        Publish(window);
        return index;
    }
    case TCM_DELETEALLITEMS: {
        {
            std::lock_guard<std::mutex> guard(g_lock);
            TabState *state = Find(window);
            if (state == nullptr) return FALSE;
            state->items.clear();
            state->selection = -1;
        }
        Publish(window);
        return TRUE;
    }
    case TCM_GETITEMCOUNT: {
        std::lock_guard<std::mutex> guard(g_lock);
        TabState *state = Find(window);
        return state == nullptr ? 0 : static_cast<LRESULT>(state->items.size());
    }
    case TCM_GETCURSEL: {
        std::lock_guard<std::mutex> guard(g_lock);
        TabState *state = Find(window);
        return state == nullptr ? -1 : state->selection;
    }
    case TCM_SETCURSEL: {
        int previous;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            TabState *state = Find(window);
            if (state == nullptr || static_cast<size_t>(wParam) >= state->items.size()) return -1;
            previous = state->selection;
            state->selection = static_cast<int>(wParam);
        }
        Publish(window);
        return previous;
    }
    case TCM_GETITEMRECT: {
        RECT *rect = reinterpret_cast<RECT *>(lParam);
        std::lock_guard<std::mutex> guard(g_lock);
        TabState *state = Find(window);
        if (state == nullptr || rect == nullptr || static_cast<size_t>(wParam) >= state->items.size()) return FALSE;
        *rect = ItemRect(*state, static_cast<size_t>(wParam));
        return TRUE;
    }
    case TCM_ADJUSTRECT:
        if (lParam != 0) AdjustRect(static_cast<BOOL>(wParam), reinterpret_cast<RECT *>(lParam));
        return 0;
    case WM_LBUTTONDOWN:
        OnClick(window, POINT{static_cast<SHORT>(LOWORD(lParam)), static_cast<SHORT>(HIWORD(lParam))});
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Registered when comctl32 loads, like the library's other classes, so a
// program may create tab controls before calling InitCommonControlsEx.
__attribute__((constructor)) void RegisterTabControlClass() {
    WNDCLASSW window_class = {};
    window_class.style = CS_GLOBALCLASS | CS_DBLCLKS;
    window_class.lpfnWndProc = TabControlProc;
    window_class.lpszClassName = WC_TABCONTROLW;
    RegisterClassW(&window_class);
}

}  // namespace
}  // namespace tm350::comctl32
