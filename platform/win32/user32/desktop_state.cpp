#include "user32/desktop_state.h"

#include <algorithm>

namespace tm350::user32 {
namespace {

// Ends a thread's queue when the thread ends: senders waiting on it get 0,
// as SendMessage returns when the receiving thread terminates.
struct QueueOwner {
    std::shared_ptr<ThreadQueue> queue;
    ~QueueOwner() {
        if (!queue) return;
        Desktop &desktop = Desktop::Instance();
        Lock lock(desktop.mutex);
        queue->alive = false;
        for (auto &sent : queue->incoming) {
            sent->done = true;
            sent->result = 0;
            sent->sender->changed.notify_all();
        }
        queue->incoming.clear();
        for (auto *input : {&queue->input, &queue->posted}) {
            for (const auto &message : *input) {
                if (message.input_sequence != 0) desktop.InputDone(message.input_sequence);
            }
            input->clear();
        }
        if (queue->input_in_hand != 0) desktop.InputDone(queue->input_in_hand);
        ForgetThreadWindows(lock, queue->thread);
        desktop.queues.erase(queue->thread);
    }
};

thread_local QueueOwner current_queue;

}  // namespace

Desktop &Desktop::Instance() {
    // Never destroyed: threads that end after static destruction still
    // reach it from their queue's destructor.
    static Desktop *const desktop = [] {
        auto *made = new Desktop;
        RegisterSystemClasses(*made);
        auto window = std::make_unique<Window>();
        window->handle = made->desktop_window = made->NewHandle();
        window->window_class = std::make_shared<WindowClass>();
        window->window_class->name = u"#32769";
        window->style = WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS;
        window->rect = {0, 0, kScreenWidth, kScreenHeight};
        made->windows[made->desktop_window] = std::move(window);
        return made;
    }();
    return *desktop;
}

Window *Desktop::Find(HWND window) {
    const auto found = windows.find(window);
    return found == windows.end() ? nullptr : found->second.get();
}

HWND Desktop::NewHandle() {
    // Even numbers that grow: a destroyed window's handle never names a new one.
    next_handle += 2;
    return reinterpret_cast<HWND>(next_handle);
}

std::shared_ptr<ThreadQueue> Desktop::CurrentQueue() {
    if (!current_queue.queue) {
        auto queue = std::make_shared<ThreadQueue>();
        queue->thread = GetCurrentThreadId();
        queues[queue->thread] = queue;
        current_queue.queue = queue;
    }
    return current_queue.queue;
}

std::shared_ptr<ThreadQueue> Desktop::QueueOf(DWORD thread) {
    const auto found = queues.find(thread);
    return found == queues.end() ? nullptr : found->second;
}

void Desktop::Changed() {
    ++generation;
    generation_changed.notify_all();
}

void Desktop::InputDone(uint64_t sequence) {
    const auto found = std::find_if(outstanding_input.begin(), outstanding_input.end(),
                                    [&](const auto &input) { return input.first == sequence; });
    if (found != outstanding_input.end()) outstanding_input.erase(found);
    input_handled.notify_all();
}

POINT Desktop::ClientOriginOnScreen(const Window &window) {
    const RECT screen = ScreenRect(window);
    const RECT insets = NonClientInsets(window.style, window.ex_style);
    return {screen.left + insets.left, screen.top + insets.top};
}

RECT Desktop::ScreenRect(const Window &window) {
    if (window.parent == nullptr) return window.rect;
    const Window *parent = Find(window.parent);
    if (parent == nullptr) return window.rect;
    const POINT origin = ClientOriginOnScreen(*parent);
    return {window.rect.left + origin.x, window.rect.top + origin.y, window.rect.right + origin.x,
            window.rect.bottom + origin.y};
}

RECT Desktop::ClientRect(const Window &window) {
    const RECT insets = NonClientInsets(window.style, window.ex_style);
    const LONG width = window.rect.right - window.rect.left - insets.left - insets.right;
    const LONG height = window.rect.bottom - window.rect.top - insets.top - insets.bottom;
    return {0, 0, std::max<LONG>(width, 0), std::max<LONG>(height, 0)};
}

bool Desktop::VisibleOnScreen(const Window &window) {
    for (const Window *at = &window; at != nullptr; at = at->parent ? Find(at->parent) : nullptr) {
        if (!(at->style & WS_VISIBLE)) return false;
    }
    return true;
}

bool Desktop::EnabledWithAncestors(const Window &window) {
    for (const Window *at = &window; at != nullptr; at = at->parent ? Find(at->parent) : nullptr) {
        if (at->style & WS_DISABLED) return false;
    }
    return true;
}

std::vector<HWND> &Desktop::SiblingsOf(const Window &window) {
    if (window.parent != nullptr) {
        if (Window *parent = Find(window.parent)) return parent->children;
    }
    return top_levels;
}

bool Desktop::IsDescendant(HWND ancestor, HWND window) {
    const Window *at = Find(window);
    while (at != nullptr && at->parent != nullptr) {
        if (at->parent == ancestor) return true;
        at = Find(at->parent);
    }
    return false;
}

// The frame sizes are Windows' at 96 DPI: a caption of 23 pixels
// (SM_CYCAPTION), a dialog frame of 3 (SM_CXFIXEDFRAME), a sizing frame of 4
// (SM_CXSIZEFRAME), a thin border of 1 (SM_CXBORDER), a client edge of 2.
RECT NonClientInsets(LONG style, LONG ex_style) {
    int frame = 0;
    if (style & WS_THICKFRAME) {
        frame = 4;
    } else if ((style & WS_DLGFRAME) || (ex_style & WS_EX_DLGMODALFRAME)) {
        frame = 3;
    } else if (style & WS_BORDER) {
        frame = 1;
    }
    if (ex_style & WS_EX_CLIENTEDGE) frame += 2;
    if (ex_style & WS_EX_STATICEDGE) frame += 1;
    const int caption = (style & WS_CAPTION) == WS_CAPTION ? 23 : 0;
    return {frame, frame + caption, frame, frame};
}

int MultiplyDivide(int a, int b, int c) {
    if (c == 0) return -1;
    const long long product = static_cast<long long>(a) * b;
    long long rounded = product / c;
    const long long remainder = product % c;
    if (2 * (remainder < 0 ? -remainder : remainder) >= (c < 0 ? -c : c)) rounded += ((product < 0) != (c < 0)) ? -1 : 1;
    return static_cast<int>(rounded);
}

LRESULT CallProcedure(WNDPROC procedure, HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    return procedure != nullptr ? procedure(window, message, wparam, lparam) : 0;
}

}  // namespace tm350::user32
