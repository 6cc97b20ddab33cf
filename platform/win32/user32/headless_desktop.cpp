// The headless desktop: views of the window tree and input as a user gives it.
#include "user32/headless_desktop.h"

#include "user32/desktop_state.h"

#include <algorithm>

namespace tm350::user32 {
namespace {

bool Contains(const RECT &rect, POINT point) {
    return point.x >= rect.left && point.x < rect.right && point.y >= rect.top && point.y < rect.bottom;
}

// The window that gets a click at a point, as WindowFromPoint finds it: the
// deepest visible child under the point, passing over disabled windows and
// those that let the mouse through.
HWND DeepestUnder(Desktop &desktop, const Window &window, POINT point) {
    for (HWND child : window.children) {
        const Window *candidate = desktop.Find(child);
        if (candidate == nullptr || !(candidate->style & WS_VISIBLE)) continue;
        if (!Contains(desktop.ScreenRect(*candidate), point)) continue;
        if ((candidate->style & WS_DISABLED) || TransparentToMouse(*candidate)) continue;
        return DeepestUnder(desktop, *candidate, point);
    }
    return window.handle;
}

// Null with `covered` set when a visible but disabled top-level window is
// under the point: its input is dropped.
HWND WindowUnder(Desktop &desktop, POINT point, bool *covered) {
    *covered = false;
    for (HWND top : desktop.top_levels) {
        const Window *window = desktop.Find(top);
        if (window == nullptr || !(window->style & WS_VISIBLE) || !Contains(window->rect, point)) continue;
        *covered = true;
        if (window->style & WS_DISABLED) return nullptr;
        return DeepestUnder(desktop, *window, point);
    }
    return nullptr;
}

WindowView ViewOf(Desktop &desktop, const Window &window) {
    WindowView view;
    view.window = window.handle;
    view.parent = window.parent;
    view.thread = window.thread;
    view.class_name = window.window_class->name;
    view.text = window.text;
    view.rect = desktop.ScreenRect(window);
    view.style = window.style;
    view.ex_style = window.ex_style;
    view.id = window.parent != nullptr ? static_cast<int>(window.id) : 0;
    view.visible = desktop.VisibleOnScreen(window);
    view.enabled = desktop.EnabledWithAncestors(window);
    view.check = window.check;
    if (window.trackbar.present) {
        const POINT origin = desktop.ClientOriginOnScreen(window);
        view.range_min = window.trackbar.range_min;
        view.range_max = window.trackbar.range_max;
        view.position = window.trackbar.position;
        const RECT &thumb = window.trackbar.thumb_client;
        view.thumb = {thumb.left + origin.x, thumb.top + origin.y, thumb.right + origin.x, thumb.bottom + origin.y};
    }
    if (window.tab.present) {
        view.tabs = window.tab.tabs;
        view.selected_tab = window.tab.selected;
    }
    return view;
}

void AddTree(Desktop &desktop, const Window &window, std::vector<WindowView> *views) {
    views->push_back(ViewOf(desktop, window));
    for (HWND child : window.children) {
        if (const Window *found = desktop.Find(child)) AddTree(desktop, *found, views);
    }
}

}  // namespace

std::vector<HWND> TopLevelWindows() {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    return desktop.top_levels;
}

std::vector<WindowView> ViewWindowTree(HWND root) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    std::vector<WindowView> views;
    if (const Window *window = desktop.Find(root)) AddTree(desktop, *window, &views);
    return views;
}

uint64_t DesktopGeneration() {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    return desktop.generation;
}

uint64_t WaitForDesktopChange(uint64_t seen, DWORD timeout_ms) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    desktop.generation_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                        [&] { return desktop.generation > seen; });
    return desktop.generation;
}

// The input joins the receiving thread's queue, behind its posted messages,
// with the point in the receiver's client coordinates.
BOOL SendMouseInput(MouseAction action, POINT screen_point) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    desktop.cursor = screen_point;
    bool covered = false;
    HWND target = desktop.Find(desktop.capture) != nullptr ? desktop.capture : nullptr;
    if (target != nullptr) {
        covered = true;
    } else {
        target = WindowUnder(desktop, screen_point, &covered);
    }
    const bool was_down = desktop.mouse_button_down;
    if (action == MouseAction::Down) desktop.mouse_button_down = true;
    if (action == MouseAction::Up) desktop.mouse_button_down = false;
    if (target == nullptr) return covered ? TRUE : FALSE;
    const Window *window = desktop.Find(target);
    const auto queue = desktop.QueueOf(window->thread);
    if (queue == nullptr || !queue->alive) return TRUE;
    const POINT origin = desktop.ClientOriginOnScreen(*window);
    MSG message = {};
    message.hwnd = target;
    message.message = action == MouseAction::Down ? WM_LBUTTONDOWN : action == MouseAction::Up ? WM_LBUTTONUP : WM_MOUSEMOVE;
    message.wParam = (action == MouseAction::Down || (action == MouseAction::Move && was_down)) ? MK_LBUTTON : 0;
    message.lParam = MAKELPARAM(screen_point.x - origin.x, screen_point.y - origin.y);
    message.time = GetTickCount();
    message.pt = screen_point;
    const uint64_t sequence = desktop.next_input_sequence++;
    desktop.outstanding_input.emplace_back(sequence, queue->thread);
    queue->input.push_back({message, sequence});
    queue->changed.notify_all();
    return TRUE;
}

BOOL ClickAt(POINT screen_point) {
    if (!SendMouseInput(MouseAction::Down, screen_point)) return FALSE;
    return SendMouseInput(MouseAction::Up, screen_point);
}

// Input counts as handled once its thread has dispatched it, or has gone
// back to its queue for more. A thread waiting for input queued to itself
// could never see it handled, so it gets FALSE at once rather than pumping
// messages its caller did not expect.
BOOL WaitForInputHandled(DWORD timeout_ms) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const uint64_t last = desktop.next_input_sequence - 1;
    const DWORD me = GetCurrentThreadId();
    const auto pending = [&](bool mine_only) {
        return std::any_of(desktop.outstanding_input.begin(), desktop.outstanding_input.end(), [&](const auto &input) {
            return input.first <= last && (!mine_only || input.second == me);
        });
    };
    if (pending(true)) return FALSE;
    return desktop.input_handled.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return !pending(false); })
               ? TRUE
               : FALSE;
}

void PublishTrackbarState(HWND trackbar, int range_min, int range_max, int position, RECT thumb_client) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    Window *window = desktop.Find(trackbar);
    if (window == nullptr) return;
    TrackbarPicture &picture = window->trackbar;
    const bool same = picture.present && picture.range_min == range_min && picture.range_max == range_max &&
                      picture.position == position && picture.thumb_client.left == thumb_client.left &&
                      picture.thumb_client.top == thumb_client.top && picture.thumb_client.right == thumb_client.right &&
                      picture.thumb_client.bottom == thumb_client.bottom;
    if (same) return;
    picture = {true, range_min, range_max, position, thumb_client};
    desktop.Changed();
}

void PublishTabState(HWND tab_control, const std::vector<std::u16string> &tabs, int selected_tab) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    Window *window = desktop.Find(tab_control);
    if (window == nullptr) return;
    if (window->tab.present && window->tab.tabs == tabs && window->tab.selected == selected_tab) return;
    window->tab = {true, tabs, selected_tab};
    desktop.Changed();
}

}  // namespace tm350::user32
