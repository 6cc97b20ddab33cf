#include "dshow/graph_events.h"

#include "dshow/graph_log.h"

#include <algorithm>
#include <chrono>

namespace tm350::dshow {

namespace {

// A negative time-out (INFINITE passed as a LONG) waits without limit.
template <class Predicate>
bool WaitFor(std::condition_variable &condition, std::unique_lock<std::mutex> &lock, LONG timeout_ms,
             Predicate ready) {
    if (timeout_ms < 0) {
        condition.wait(lock, ready);
        return true;
    }
    return condition.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready);
}

bool EndsCompletionWait(LONG code) { return code == EC_COMPLETE || code == EC_ERRORABORT || code == EC_USERABORT; }

}  // namespace

GraphEvents::GraphEvents() : handle_(CreateEventW(NULL, TRUE, FALSE, NULL)) {}

GraphEvents::~GraphEvents() {
    for (const Event &event : queue_) FreeEventParams(event.code, event.param1, event.param2);
    if (handle_ != NULL) CloseHandle(handle_);
}

// EC_COMPLETE is handled by default: each renderer's report is counted and
// the application gets one EC_COMPLETE, with a null second parameter, once
// every renderer has reported. Reports while the graph is stopped, or after
// the graph's EC_COMPLETE went out, are dropped.
HRESULT GraphEvents::Notify(LONG code, LONG_PTR param1, LONG_PTR param2) {
    std::unique_lock lock(lock_);
    if (code == EC_ERRORABORT) GraphLog("error abort 0x%08x", static_cast<unsigned>(static_cast<HRESULT>(param1)));
    if (code == EC_COMPLETE && complete_by_default_) {
        CountCompletion(param1, param2, lock);
        return S_OK;
    }
    Post({code, param1, param2}, lock);
    return S_OK;
}

void GraphEvents::CountCompletion(LONG_PTR status, LONG_PTR renderer, std::unique_lock<std::mutex> &lock) {
    if (!streaming_ || complete_posted_) return;
    if (renderer != 0) {
        if (std::find(completed_renderers_.begin(), completed_renderers_.end(), renderer) !=
            completed_renderers_.end()) {
            return;
        }
        completed_renderers_.push_back(renderer);
    } else {
        ++anonymous_completions_;
    }
    if (FAILED(static_cast<HRESULT>(status)) && SUCCEEDED(completion_status_)) {
        completion_status_ = static_cast<HRESULT>(status);
    }
    int reported = static_cast<int>(completed_renderers_.size()) + anonymous_completions_;
    if (reported < renderers_) return;
    complete_posted_ = true;
    GraphLog("complete: every renderer (%d) has ended its stream", renderers_);
    Post({EC_COMPLETE, static_cast<LONG_PTR>(completion_status_), 0}, lock);
}

void GraphEvents::Post(const Event &event, std::unique_lock<std::mutex> &lock) {
    if (notify_flags_ & AM_MEDIAEVENT_NONOTIFY) {
        FreeEventParams(event.code, event.param1, event.param2);
        return;
    }
    queue_.push_back(event);
    SetEvent(handle_);
    lock.unlock();
    changed_.notify_all();
    lock.lock();
}

bool GraphEvents::TakeLocked(Event &event) {
    if (queue_.empty()) return false;
    event = queue_.front();
    queue_.pop_front();
    if (queue_.empty()) ResetEvent(handle_);
    return true;
}

// E_ABORT when nothing arrives within the time-out.
HRESULT GraphEvents::GetEvent(LONG *code, LONG_PTR *param1, LONG_PTR *param2, LONG timeout_ms) {
    if (code == nullptr || param1 == nullptr || param2 == nullptr) return E_POINTER;
    *code = 0;
    *param1 = 0;
    *param2 = 0;
    std::unique_lock lock(lock_);
    Event event{};
    if (!WaitFor(changed_, lock, timeout_ms, [&] { return !queue_.empty(); })) return E_ABORT;
    TakeLocked(event);
    *code = event.code;
    *param1 = event.param1;
    *param2 = event.param2;
    return S_OK;
}

// Takes events until EC_COMPLETE, EC_ERRORABORT or EC_USERABORT, discarding
// the others. Only a running graph can complete: VFW_E_WRONG_STATE when it
// is not running, also when it stops or pauses during the wait (where a
// waiter would otherwise wait for an end that cannot come). E_ABORT with a
// code of 0 on time-out.
HRESULT GraphEvents::WaitForCompletion(LONG timeout_ms, LONG *code) {
    if (code == nullptr) return E_POINTER;
    *code = 0;
    std::unique_lock lock(lock_);
    if (!running_) return VFW_E_WRONG_STATE;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max<LONG>(timeout_ms, 0));
    for (;;) {
        Event event{};
        while (TakeLocked(event)) {
            if (EndsCompletionWait(event.code)) {
                *code = event.code;
                return S_OK;
            }
            FreeEventParams(event.code, event.param1, event.param2);
        }
        auto ready = [&] { return !queue_.empty() || !running_; };
        if (timeout_ms < 0) {
            changed_.wait(lock, ready);
        } else if (!changed_.wait_until(lock, deadline, ready)) {
            return E_ABORT;
        }
        if (queue_.empty() && !running_) return VFW_E_WRONG_STATE;
    }
}

// Only EC_COMPLETE has default handling here; other codes reach the
// application as they are.
HRESULT GraphEvents::CancelDefaultHandling(LONG code) {
    if (code != EC_COMPLETE) return E_INVALIDARG;
    std::lock_guard lock(lock_);
    complete_by_default_ = false;
    return S_OK;
}

HRESULT GraphEvents::RestoreDefaultHandling(LONG code) {
    if (code != EC_COMPLETE) return E_INVALIDARG;
    std::lock_guard lock(lock_);
    complete_by_default_ = true;
    return S_OK;
}

// With AM_MEDIAEVENT_NONOTIFY the queue is emptied, its handle reset, and
// events are dropped until notification is turned back on.
HRESULT GraphEvents::SetNotifyFlags(LONG flags) {
    if (flags != 0 && flags != AM_MEDIAEVENT_NONOTIFY) return E_INVALIDARG;
    std::lock_guard lock(lock_);
    notify_flags_ = flags;
    if (flags & AM_MEDIAEVENT_NONOTIFY) {
        for (const Event &event : queue_) FreeEventParams(event.code, event.param1, event.param2);
        queue_.clear();
        ResetEvent(handle_);
    }
    return S_OK;
}

LONG GraphEvents::notify_flags() {
    std::lock_guard lock(lock_);
    return notify_flags_;
}

// The events whose parameters are strings own them; every other parameter
// is a plain value or a pointer the sender keeps.
HRESULT GraphEvents::FreeEventParams(LONG code, LONG_PTR param1, LONG_PTR param2) {
    switch (code) {
    case EC_OLE_EVENT:
    case EC_STATUS:
        SysFreeString(reinterpret_cast<BSTR>(param1));
        SysFreeString(reinterpret_cast<BSTR>(param2));
        break;
    case EC_ERRORABORTEX:
        SysFreeString(reinterpret_cast<BSTR>(param2));
        break;
    default:
        break;
    }
    return S_OK;
}

void GraphEvents::BeginStreaming(int renderers) {
    std::lock_guard lock(lock_);
    streaming_ = true;
    renderers_ = renderers;
    completed_renderers_.clear();
    anonymous_completions_ = 0;
    completion_status_ = S_OK;
    complete_posted_ = false;
}

void GraphEvents::EndStreaming() {
    std::lock_guard lock(lock_);
    streaming_ = false;
}

void GraphEvents::SetRunning(bool running) {
    {
        std::lock_guard lock(lock_);
        running_ = running;
    }
    changed_.notify_all();
}

}  // namespace tm350::dshow
