// Windows: creation, destruction and the window tree.
#include "user32/desktop_state.h"

#include "common/text.h"

#include <algorithm>
#include <functional>

namespace tm350::user32 {
namespace {

// Where CW_USEDEFAULT puts a top-level window: a little down and right of
// the last one, as Windows cascades them.
POINT NextDefaultPosition() {
    static int cascade = 0;
    const int step = (cascade++ % 10) * 26;
    return {100 + step, 80 + step};
}

void RemoveFromTree(Desktop &desktop, Window &window) {
    auto &siblings = desktop.SiblingsOf(window);
    siblings.erase(std::remove(siblings.begin(), siblings.end(), window.handle), siblings.end());
    if (desktop.capture == window.handle) desktop.capture = nullptr;
    if (auto queue = desktop.QueueOf(window.thread)) {
        if (queue->focus == window.handle) queue->focus = nullptr;
        if (queue->active == window.handle) queue->active = nullptr;
        std::erase_if(queue->timers, [&](const Timer &timer) { return timer.window == window.handle; });
        for (auto *messages : {&queue->posted, &queue->input}) {
            std::erase_if(*messages, [&](const QueuedMessage &queued) {
                if (queued.message.hwnd != window.handle) return false;
                if (queued.input_sequence != 0) desktop.InputDone(queued.input_sequence);
                return true;
            });
        }
    }
    desktop.windows.erase(window.handle);
}

}  // namespace

HWND DesktopWindowHandle() { return Desktop::Instance().desktop_window; }

void DestroyWindowTree(HWND handle) {
    Desktop &desktop = Desktop::Instance();
    std::vector<HWND> owned;
    {
        Lock lock(desktop.mutex);
        Window *window = desktop.Find(handle);
        if (window == nullptr || window->destroying) return;
        window->destroying = true;
        if (window->style & WS_VISIBLE) {
            window->style &= ~WS_VISIBLE;
            desktop.Changed();
        }
        for (HWND top : desktop.top_levels) {
            const Window *candidate = desktop.Find(top);
            if (candidate != nullptr && candidate->owner == handle && candidate->thread == window->thread) owned.push_back(top);
        }
    }
    // Owned windows go first; WM_DESTROY reaches the window while its
    // children still exist, WM_NCDESTROY after they are gone.
    for (HWND top : owned) DestroyWindowTree(top);
    SendMessageW(handle, WM_DESTROY, 0, 0);
    std::vector<HWND> children;
    {
        Lock lock(desktop.mutex);
        if (const Window *window = desktop.Find(handle)) children = window->children;
    }
    for (HWND child : children) DestroyWindowTree(child);
    SendMessageW(handle, WM_NCDESTROY, 0, 0);
    Lock lock(desktop.mutex);
    if (Window *window = desktop.Find(handle)) RemoveFromTree(desktop, *window);
    desktop.Changed();
}

void ForgetThreadWindows(Lock &lock, DWORD thread) {
    Desktop &desktop = Desktop::Instance();
    std::vector<HWND> gone;
    for (const auto &[handle, window] : desktop.windows) {
        if (window->thread == thread && window->thread != 0) gone.push_back(handle);
    }
    // Deepest first, so each window still finds its parent's list of siblings.
    const auto depth = [&](HWND handle) {
        int levels = 0;
        for (const Window *at = desktop.Find(handle); at != nullptr && at->parent != nullptr; at = desktop.Find(at->parent)) ++levels;
        return levels;
    };
    std::stable_sort(gone.begin(), gone.end(), [&](HWND a, HWND b) { return depth(a) > depth(b); });
    bool any = false;
    for (HWND handle : gone) {
        if (Window *window = desktop.Find(handle)) {
            for (HWND child : std::vector<HWND>(window->children)) {
                if (Window *orphan = desktop.Find(child)) RemoveFromTree(desktop, *orphan);
            }
            RemoveFromTree(desktop, *window);
            any = true;
        }
    }
    if (any) desktop.Changed();
}

}  // namespace tm350::user32

using namespace tm350;
using namespace tm350::user32;

HWND WINAPI CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle, int X, int Y,
                            int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance,
                            LPVOID lpParam) {
    Desktop &desktop = Desktop::Instance();
    const HWND desktop_window = DesktopWindowHandle();
    HWND handle = nullptr;
    {
        Lock lock(desktop.mutex);
        desktop.CurrentQueue();
        // A child of the desktop window (a page measured off screen, say) is
        // allowed: it lives among the top-level windows, placed in screen
        // coordinates, and GetParent names the desktop.
        const bool child_of_desktop = hWndParent == desktop_window && (dwStyle & WS_CHILD) != 0;
        if (hWndParent == desktop_window) hWndParent = nullptr;
        const auto window_class = FindClass(desktop, lpClassName, hInstance);
        if (window_class == nullptr) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        const bool child = (dwStyle & WS_CHILD) != 0;
        const Window *parent = hWndParent != nullptr ? desktop.Find(hWndParent) : nullptr;
        if (hWndParent != nullptr && parent == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        if (child && parent == nullptr && !child_of_desktop) {
            SetLastError(ERROR_TLW_WITH_WSCHILD);
            return nullptr;
        }
        auto window = std::make_unique<Window>();
        window->handle = handle = desktop.NewHandle();
        window->thread = GetCurrentThreadId();
        window->window_class = window_class;
        window->procedure = window_class->procedure;
        // An overlapped window always has a caption, as CreateWindowEx gives it.
        if (!child && !(dwStyle & WS_POPUP)) dwStyle |= WS_CAPTION | WS_CLIPSIBLINGS;
        window->style = static_cast<LONG>(dwStyle & ~WS_VISIBLE);
        window->ex_style = static_cast<LONG>(dwExStyle);
        window->instance = hInstance;
        window->extra.assign(static_cast<size_t>(window_class->window_extra), 0);
        if (child) {
            window->parent = hWndParent;
            window->id = reinterpret_cast<LONG_PTR>(hMenu);
        } else if (parent != nullptr) {
            // The owner of a top-level window is always a top-level window.
            const Window *owner = parent;
            while (owner->parent != nullptr) owner = desktop.Find(owner->parent);
            window->owner = owner->handle;
        }
        if (X == CW_USEDEFAULT) {
            const POINT place = child ? POINT{0, 0} : NextDefaultPosition();
            X = place.x;
            Y = place.y;
        }
        if (nWidth == CW_USEDEFAULT) {
            nWidth = child ? 0 : 640;
            nHeight = child ? 0 : 480;
        }
        window->rect = {X, Y, X + std::max(nWidth, 0), Y + std::max(nHeight, 0)};
        if (parent != nullptr && child) {
            desktop.Find(hWndParent)->children.push_back(handle);
        } else {
            desktop.top_levels.insert(desktop.top_levels.begin(), handle);
        }
        desktop.windows[handle] = std::move(window);
        desktop.Changed();
    }
    CREATESTRUCTW creation = {lpParam, hInstance, hMenu, hWndParent, nHeight, nWidth, Y, X,
                              static_cast<LONG>(dwStyle), lpWindowName, lpClassName, dwExStyle};
    const auto fail = [&] {
        DestroyWindowTree(handle);
        return static_cast<HWND>(nullptr);
    };
    if (!SendMessageW(handle, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&creation))) return fail();
    if (SendMessageW(handle, WM_CREATE, 0, reinterpret_cast<LPARAM>(&creation)) == -1) return fail();
    if (!IsWindow(handle)) return nullptr;
    RECT client;
    GetClientRect(handle, &client);
    SendMessageW(handle, WM_SIZE, 0, MAKELPARAM(client.right, client.bottom));
    SendMessageW(handle, WM_MOVE, 0, MAKELPARAM(X, Y));
    if (dwStyle & WS_VISIBLE) ShowWindow(handle, SW_SHOW);
    return handle;
}

HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle, int X, int Y,
                            int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance,
                            LPVOID lpParam) {
    const bool atom = lpClassName != nullptr && IS_INTRESOURCE(lpClassName);
    const std::u16string class_name = atom || lpClassName == nullptr ? std::u16string() : text::Utf8ToUtf16(lpClassName);
    const std::u16string window_name = lpWindowName == nullptr ? std::u16string() : text::Utf8ToUtf16(lpWindowName);
    return CreateWindowExW(dwExStyle, atom ? reinterpret_cast<LPCWSTR>(lpClassName) : text::AsWide(class_name),
                           lpWindowName ? text::AsWide(window_name) : nullptr, dwStyle, X, Y, nWidth, nHeight,
                           hWndParent, hMenu, hInstance, lpParam);
}

// Only the owning thread may destroy a window: another gets FALSE with
// ERROR_ACCESS_DENIED, as on Windows.
BOOL WINAPI DestroyWindow(HWND hWnd) {
    Desktop &desktop = Desktop::Instance();
    {
        Lock lock(desktop.mutex);
        desktop.CurrentQueue();
        const Window *window = desktop.Find(hWnd);
        if (window == nullptr || hWnd == DesktopWindowHandle()) {
            SetLastError(window == nullptr ? ERROR_INVALID_WINDOW_HANDLE : ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (window->thread != GetCurrentThreadId()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    DestroyWindowTree(hWnd);
    return TRUE;
}

BOOL WINAPI IsWindow(HWND hWnd) {
    if (hWnd == nullptr) return FALSE;
    if (hWnd == DesktopWindowHandle()) return TRUE;
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    return desktop.Find(hWnd) != nullptr;
}

BOOL WINAPI IsChild(HWND hWndParent, HWND hWnd) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    return desktop.IsDescendant(hWndParent, hWnd);
}

HWND WINAPI GetDesktopWindow(void) { return DesktopWindowHandle(); }

// A child's parent; a popup's owner; nothing for an overlapped window.
HWND WINAPI GetParent(HWND hWnd) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const Window *window = desktop.Find(hWnd);
    if (window == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (window->style & WS_CHILD) return window->parent != nullptr ? window->parent : DesktopWindowHandle();
    return (window->style & WS_POPUP) ? window->owner : nullptr;
}

HWND WINAPI SetParent(HWND hWndChild, HWND hWndNewParent) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    if (hWndNewParent == DesktopWindowHandle()) hWndNewParent = nullptr;
    Window *window = desktop.Find(hWndChild);
    Window *parent = hWndNewParent ? desktop.Find(hWndNewParent) : nullptr;
    if (window == nullptr || (hWndNewParent != nullptr && parent == nullptr) ||
        (hWndNewParent != nullptr && (hWndNewParent == hWndChild || desktop.IsDescendant(hWndChild, hWndNewParent)))) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    const HWND previous = window->parent != nullptr ? window->parent : DesktopWindowHandle();
    auto &siblings = desktop.SiblingsOf(*window);
    siblings.erase(std::remove(siblings.begin(), siblings.end(), hWndChild), siblings.end());
    window->parent = hWndNewParent;
    if (parent != nullptr) {
        parent->children.insert(parent->children.begin(), hWndChild);
    } else {
        desktop.top_levels.insert(desktop.top_levels.begin(), hWndChild);
    }
    desktop.Changed();
    return previous;
}

HWND WINAPI GetWindow(HWND hWnd, UINT uCmd) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    if (hWnd == DesktopWindowHandle()) {
        if (uCmd == GW_CHILD) return desktop.top_levels.empty() ? nullptr : desktop.top_levels.front();
        return nullptr;
    }
    const Window *window = desktop.Find(hWnd);
    if (window == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (uCmd == GW_CHILD) return window->children.empty() ? nullptr : window->children.front();
    if (uCmd == GW_OWNER) return window->owner;
    const auto &siblings = desktop.SiblingsOf(*window);
    const auto at = std::find(siblings.begin(), siblings.end(), hWnd);
    switch (uCmd) {
        case GW_HWNDFIRST:
            return siblings.front();
        case GW_HWNDLAST:
            return siblings.back();
        case GW_HWNDNEXT:
            return at + 1 < siblings.end() ? *(at + 1) : nullptr;
        case GW_HWNDPREV:
            return at != siblings.begin() ? *(at - 1) : nullptr;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
    }
}

HWND WINAPI GetTopWindow(HWND hWnd) {
    return GetWindow(hWnd != nullptr ? hWnd : DesktopWindowHandle(), GW_CHILD);
}

// Every descendant, depth first, each window before its own children. The
// list is taken before the first call, so the callback may change the tree.
BOOL WINAPI EnumChildWindows(HWND hWndParent, WNDENUMPROC lpEnumFunc, LPARAM lParam) {
    Desktop &desktop = Desktop::Instance();
    std::vector<HWND> found;
    {
        Lock lock(desktop.mutex);
        if (hWndParent == nullptr || hWndParent == DesktopWindowHandle()) {
            for (HWND top : desktop.top_levels) found.push_back(top);
        } else {
            const std::function<void(HWND)> walk = [&](HWND at) {
                const Window *window = desktop.Find(at);
                if (window == nullptr) return;
                for (HWND child : window->children) {
                    found.push_back(child);
                    walk(child);
                }
            };
            walk(hWndParent);
        }
    }
    for (HWND window : found) {
        if (IsWindow(window) && !lpEnumFunc(window, lParam)) break;
    }
    return TRUE;
}

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const Window *window = desktop.Find(hWnd);
    if (window == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (lpdwProcessId != nullptr) *lpdwProcessId = GetCurrentProcessId();
    return window->thread;
}
