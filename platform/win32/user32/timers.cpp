// Timers. A timer never queues anything: GetMessage and PeekMessage make
// its WM_TIMER when the queue has nothing else and the timer is due, so a
// busy thread gets one WM_TIMER however many periods passed, as on Windows.
#include "user32/desktop_state.h"

#include <algorithm>

namespace tm350::user32 {

bool TakeDueTimer(Desktop &desktop, ThreadQueue &queue, HWND filter, UINT first, UINT last, bool remove, MSG *message) {
    const auto now = Clock::now();
    for (auto &timer : queue.timers) {
        if (timer.due > now) continue;
        MSG made = {};
        made.hwnd = timer.window;
        made.message = WM_TIMER;
        made.wParam = timer.id;
        made.lParam = reinterpret_cast<LPARAM>(timer.procedure);
        made.time = GetTickCount();
        made.pt = desktop.cursor;
        if (!PassesFilter(desktop, made, filter, first, last)) continue;
        if (remove) timer.due = now + std::chrono::milliseconds(timer.elapse_ms);
        *message = made;
        return true;
    }
    return false;
}

bool NextTimerDue(const ThreadQueue &queue, Clock::time_point *due) {
    if (queue.timers.empty()) return false;
    *due = std::min_element(queue.timers.begin(), queue.timers.end(), [](const Timer &a, const Timer &b) {
               return a.due < b.due;
           })->due;
    return true;
}

}  // namespace tm350::user32

using namespace tm350::user32;

// A window's timer belongs to the window's thread; SetTimer on a window of
// another thread fails. Periods below 10 ms (USER_TIMER_MINIMUM) are raised
// to it. A thread timer (no window) gets a fresh identifier.
UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const auto queue = desktop.CurrentQueue();
    if (hWnd != nullptr) {
        const Window *window = desktop.Find(hWnd);
        if (window == nullptr || window->thread != queue->thread) {
            SetLastError(window == nullptr ? ERROR_INVALID_WINDOW_HANDLE : ERROR_ACCESS_DENIED);
            return 0;
        }
    }
    const UINT elapse = std::clamp<UINT>(uElapse, 10, 0x7FFFFFFF);
    if (hWnd == nullptr) {
        const bool known = std::any_of(queue->timers.begin(), queue->timers.end(), [&](const Timer &timer) {
            return timer.window == nullptr && timer.id == nIDEvent;
        });
        if (!known) {
            static UINT_PTR next_thread_timer = 0x7FF0;
            nIDEvent = ++next_thread_timer;
        }
    }
    const auto existing = std::find_if(queue->timers.begin(), queue->timers.end(), [&](const Timer &timer) {
        return timer.window == hWnd && timer.id == nIDEvent;
    });
    Timer timer = {hWnd, nIDEvent, elapse, lpTimerFunc, Clock::now() + std::chrono::milliseconds(elapse)};
    if (existing != queue->timers.end()) {
        *existing = timer;
    } else {
        queue->timers.push_back(timer);
    }
    queue->changed.notify_all();
    return hWnd == nullptr ? nIDEvent : (nIDEvent != 0 ? nIDEvent : 1);
}

BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const auto queue = desktop.CurrentQueue();
    const auto before = queue->timers.size();
    std::erase_if(queue->timers, [&](const Timer &timer) { return timer.window == hWnd && timer.id == uIDEvent; });
    if (queue->timers.size() == before) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}
