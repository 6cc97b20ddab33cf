// Message queues: sending, posting, retrieving and dispatching.
//
// As on Windows, each thread has its own queue. A message sent to a window
// of another thread waits in the owner's queue until the owner is inside
// GetMessage, PeekMessage or a SendMessage of its own; the sender blocks
// meanwhile, handling messages sent to it in turn so that two threads
// sending to each other do not deadlock. GetMessage takes sent messages
// first, then posted messages, then input, then WM_QUIT, then WM_TIMER.
#include "user32/desktop_state.h"

#include "common/text.h"

#include <algorithm>

namespace tm350::user32 {

bool HandleOneSentMessage(Lock &lock, ThreadQueue &queue) {
    if (queue.incoming.empty()) return false;
    Desktop &desktop = Desktop::Instance();
    const auto sent = queue.incoming.front();
    queue.incoming.pop_front();
    const Window *window = desktop.Find(sent->window);
    const WNDPROC procedure = window != nullptr ? window->procedure : nullptr;
    ++queue.sent_depth;
    lock.unlock();
    const LRESULT result = CallProcedure(procedure, sent->window, sent->message, sent->wparam, sent->lparam);
    lock.lock();
    --queue.sent_depth;
    sent->result = result;
    sent->done = true;
    sent->sender->changed.notify_all();
    return true;
}

bool PassesFilter(Desktop &desktop, const MSG &message, HWND filter, UINT first, UINT last) {
    if ((first != 0 || last != 0) && (message.message < first || message.message > last)) return false;
    if (filter == nullptr) return true;
    if (filter == reinterpret_cast<HWND>(-1)) return message.hwnd == nullptr;
    return message.hwnd == filter || desktop.IsDescendant(filter, message.hwnd);
}

}  // namespace tm350::user32

using namespace tm350;
using namespace tm350::user32;

namespace {

MSG MakeMessage(Desktop &desktop, HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    MSG made = {};
    made.hwnd = window;
    made.message = message;
    made.wParam = wparam;
    made.lParam = lparam;
    made.time = GetTickCount();
    made.pt = desktop.cursor;
    return made;
}

void FinishInputInHand(Desktop &desktop, ThreadQueue &queue) {
    if (queue.input_in_hand == 0) return;
    desktop.InputDone(queue.input_in_hand);
    queue.input_in_hand = 0;
}

// GetMessage's and PeekMessage's common part. -1 for an invalid window
// filter, 0 for nothing (PeekMessage) or WM_QUIT (GetMessage), 1 otherwise.
int Retrieve(MSG *out, HWND filter, UINT first, UINT last, UINT remove, bool wait) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const auto queue = desktop.CurrentQueue();
    if (filter != nullptr && filter != reinterpret_cast<HWND>(-1) && desktop.Find(filter) == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    // Whatever input the thread took last time, it is done with by now.
    FinishInputInHand(desktop, *queue);
    const bool take = (remove & PM_REMOVE) != 0;
    for (;;) {
        while (HandleOneSentMessage(lock, *queue)) {
        }
        for (auto *messages : {&queue->posted, &queue->input}) {
            const auto found = std::find_if(messages->begin(), messages->end(), [&](const QueuedMessage &queued) {
                return PassesFilter(desktop, queued.message, filter, first, last);
            });
            if (found == messages->end()) continue;
            *out = found->message;
            if (take) {
                queue->input_in_hand = found->input_sequence;
                messages->erase(found);
            }
            return 1;
        }
        // WM_QUIT passes any message range, but not a window filter.
        if (queue->quit_posted && (filter == nullptr || filter == reinterpret_cast<HWND>(-1))) {
            *out = MakeMessage(desktop, nullptr, WM_QUIT, static_cast<WPARAM>(queue->quit_code), 0);
            if (take) queue->quit_posted = false;
            return 1;
        }
        if (TakeDueTimer(desktop, *queue, filter, first, last, take, out)) return 1;
        if (!wait) return 0;
        Clock::time_point due;
        if (NextTimerDue(*queue, &due)) {
            queue->changed.wait_until(lock, due);
        } else {
            queue->changed.wait(lock);
        }
    }
}

bool Post(DWORD thread, MSG message) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    desktop.CurrentQueue();
    if (message.hwnd != nullptr) {
        const Window *window = desktop.Find(message.hwnd);
        if (window == nullptr || window->thread == 0) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return false;
        }
        thread = window->thread;
    }
    const auto queue = desktop.QueueOf(thread);
    if (queue == nullptr || !queue->alive) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return false;
    }
    queue->posted.push_back({message, 0});
    queue->changed.notify_all();
    return true;
}

}  // namespace

LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const auto queue = desktop.CurrentQueue();
    const Window *window = desktop.Find(hWnd);
    if (window == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (window->thread == queue->thread) {
        const WNDPROC procedure = window->procedure;
        lock.unlock();
        return CallProcedure(procedure, hWnd, Msg, wParam, lParam);
    }
    const auto owner = desktop.QueueOf(window->thread);
    if (owner == nullptr || !owner->alive) return 0;
    auto sent = std::make_shared<SentMessage>();
    sent->window = hWnd;
    sent->message = Msg;
    sent->wparam = wParam;
    sent->lparam = lParam;
    sent->sender = queue;
    owner->incoming.push_back(sent);
    owner->changed.notify_all();
    while (!sent->done) {
        if (!HandleOneSentMessage(lock, *queue)) queue->changed.wait(lock);
    }
    return sent->result;
}

// The text messages carry UTF-8 in their ANSI form; everything else passes as it is.
LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (Msg == WM_SETTEXT) {
        const char *narrow = reinterpret_cast<const char *>(lParam);
        const std::u16string wide = text::Utf8ToUtf16(narrow ? narrow : "");
        return SendMessageW(hWnd, Msg, wParam, narrow ? reinterpret_cast<LPARAM>(text::AsWide(wide)) : 0);
    }
    if (Msg == WM_GETTEXT) {
        char *narrow = reinterpret_cast<char *>(lParam);
        if (narrow == nullptr || wParam == 0) return 0;
        const LRESULT length = SendMessageW(hWnd, WM_GETTEXTLENGTH, 0, 0);
        std::u16string wide(static_cast<size_t>(length) + 1, u'\0');
        const LRESULT copied = SendMessageW(hWnd, WM_GETTEXT, wide.size(), reinterpret_cast<LPARAM>(wide.data()));
        wide.resize(static_cast<size_t>(std::max<LRESULT>(copied, 0)));
        std::string converted = text::Utf16ToUtf8(wide);
        if (converted.size() > wParam - 1) converted.resize(wParam - 1);
        memcpy(narrow, converted.c_str(), converted.size() + 1);
        return static_cast<LRESULT>(converted.size());
    }
    return SendMessageW(hWnd, Msg, wParam, lParam);
}

BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    Desktop &desktop = Desktop::Instance();
    MSG message;
    DWORD thread;
    {
        Lock lock(desktop.mutex);
        message = MakeMessage(desktop, hWnd, Msg, wParam, lParam);
        thread = desktop.CurrentQueue()->thread;
    }
    return Post(thread, message) ? TRUE : FALSE;
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return PostMessageW(hWnd, Msg, wParam, lParam);
}

BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    Desktop &desktop = Desktop::Instance();
    MSG message;
    {
        Lock lock(desktop.mutex);
        message = MakeMessage(desktop, nullptr, Msg, wParam, lParam);
    }
    return Post(idThread, message) ? TRUE : FALSE;
}

VOID WINAPI PostQuitMessage(int nExitCode) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    const auto queue = desktop.CurrentQueue();
    queue->quit_posted = true;
    queue->quit_code = nExitCode;
    queue->changed.notify_all();
}

BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    const int got = Retrieve(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, PM_REMOVE, true);
    if (got < 0) return -1;
    return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    return GetMessageW(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax);
}

BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Retrieve(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, wRemoveMsg, false) > 0 ? TRUE : FALSE;
}

BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
    return PeekMessageW(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, wRemoveMsg);
}

BOOL WINAPI WaitMessage(void) {
    MSG ignored;
    Desktop &desktop = Desktop::Instance();
    for (;;) {
        if (PeekMessageW(&ignored, nullptr, 0, 0, PM_NOREMOVE)) return TRUE;
        Lock lock(desktop.mutex);
        const auto queue = desktop.CurrentQueue();
        if (!queue->posted.empty() || !queue->input.empty() || !queue->incoming.empty() || queue->quit_posted) continue;
        Clock::time_point due;
        if (NextTimerDue(*queue, &due)) {
            queue->changed.wait_until(lock, due);
        } else {
            queue->changed.wait(lock);
        }
    }
}

// Keys become characters for the keys that have one; others pass untranslated.
BOOL WINAPI TranslateMessage(const MSG *lpMsg) {
    if (lpMsg == nullptr || lpMsg->message != WM_KEYDOWN) return FALSE;
    const WPARAM key = lpMsg->wParam;
    const bool has_character = key == VK_TAB || key == VK_RETURN || key == VK_ESCAPE || key == VK_SPACE ||
                               (key >= '0' && key <= '9') || (key >= 'A' && key <= 'Z');
    if (!has_character) return FALSE;
    PostMessageW(lpMsg->hwnd, WM_CHAR, key, lpMsg->lParam);
    return TRUE;
}

LRESULT WINAPI DispatchMessageW(const MSG *lpMsg) {
    if (lpMsg == nullptr) return 0;
    Desktop &desktop = Desktop::Instance();
    LRESULT result = 0;
    if (lpMsg->message == WM_TIMER && lpMsg->lParam != 0) {
        reinterpret_cast<TIMERPROC>(lpMsg->lParam)(lpMsg->hwnd, WM_TIMER, lpMsg->wParam, GetTickCount());
    } else if (lpMsg->hwnd != nullptr) {
        WNDPROC procedure = nullptr;
        {
            Lock lock(desktop.mutex);
            const Window *window = desktop.Find(lpMsg->hwnd);
            if (window == nullptr) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            } else if (window->thread != GetCurrentThreadId()) {
                // A message of another thread's window cannot be dispatched here.
                SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
            } else {
                procedure = window->procedure;
            }
        }
        result = CallProcedure(procedure, lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
    }
    Lock lock(desktop.mutex);
    FinishInputInHand(desktop, *desktop.CurrentQueue());
    return result;
}

LRESULT WINAPI DispatchMessageA(const MSG *lpMsg) { return DispatchMessageW(lpMsg); }

BOOL WINAPI InSendMessage(void) {
    Desktop &desktop = Desktop::Instance();
    Lock lock(desktop.mutex);
    return desktop.CurrentQueue()->sent_depth > 0 ? TRUE : FALSE;
}
