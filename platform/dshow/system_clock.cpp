#include "dshow/system_clock.h"

#include "dshow/runtime_classes.h"

#include <chrono>
#include <limits>
#include <new>

namespace tm350::dshow {

namespace {

constexpr REFERENCE_TIME kMaxTime = std::numeric_limits<REFERENCE_TIME>::max();

std::chrono::steady_clock::time_point AsTimePoint(REFERENCE_TIME time) {
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::nanoseconds(time) * 100));
}

}  // namespace

HRESULT CreateSystemClock(REFIID iid, void **object) { return SystemClock::Create(iid, object); }

HRESULT SystemClock::Create(REFIID iid, void **object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    auto *clock = new (std::nothrow) SystemClock();
    if (clock == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = clock->QueryInterface(iid, object);
    clock->Release();
    return hr;
}

// Releasing the clock ends every advise request: the thread stops before any
// caller's handle could be signalled by a clock nobody holds.
SystemClock::~SystemClock() {
    {
        std::lock_guard lock(lock_);
        closing_ = true;
        advises_.clear();
    }
    advises_changed_.notify_all();
    if (advise_thread_.joinable()) advise_thread_.join();
}

STDMETHODIMP SystemClock::QueryInterface(REFIID iid, void **object) {
    if (object == nullptr) return E_POINTER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IReferenceClock)) {
        *object = static_cast<IReferenceClock *>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

REFERENCE_TIME SystemClock::Now() {
    auto since_start = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since_start).count() / 100;
}

// S_FALSE tells the caller the time has not moved since the previous call;
// the clock never runs backwards.
STDMETHODIMP SystemClock::GetTime(REFERENCE_TIME *time) {
    if (time == nullptr) return E_POINTER;
    REFERENCE_TIME now = Now();
    std::lock_guard lock(lock_);
    if (now <= last_time_) {
        *time = last_time_;
        return S_FALSE;
    }
    last_time_ = now;
    *time = now;
    return S_OK;
}

// A one-shot request for base + offset: the sum must lie in (0, MAX_TIME),
// or E_INVALIDARG. A time already past signals at once. The clock forgets the
// request once it has signalled.
STDMETHODIMP SystemClock::AdviseTime(REFERENCE_TIME base_time, REFERENCE_TIME stream_time, HEVENT event,
                                     DWORD_PTR *cookie) {
    if (cookie == nullptr) return E_POINTER;
    *cookie = 0;
    REFERENCE_TIME due = 0;
    if (__builtin_add_overflow(base_time, stream_time, &due) || due <= 0 || due >= kMaxTime) return E_INVALIDARG;
    return AddAdvise(due, 0, reinterpret_cast<HANDLE>(event), cookie);
}

// The semaphore is released once per period from the start time on, until
// Unadvise. Start and period must be positive.
STDMETHODIMP SystemClock::AdvisePeriodic(REFERENCE_TIME start_time, REFERENCE_TIME period, HSEMAPHORE semaphore,
                                         DWORD_PTR *cookie) {
    if (cookie == nullptr) return E_POINTER;
    *cookie = 0;
    if (start_time <= 0 || start_time >= kMaxTime || period <= 0) return E_INVALIDARG;
    return AddAdvise(start_time, period, reinterpret_cast<HANDLE>(semaphore), cookie);
}

// Once Unadvise returns, the request's handle is never signalled again.
// S_FALSE: no such request (already served, or never made).
STDMETHODIMP SystemClock::Unadvise(DWORD_PTR cookie) {
    std::lock_guard lock(lock_);
    for (auto it = advises_.begin(); it != advises_.end(); ++it) {
        if (it->cookie == cookie) {
            advises_.erase(it);
            return S_OK;
        }
    }
    return S_FALSE;
}

HRESULT SystemClock::AddAdvise(REFERENCE_TIME due, REFERENCE_TIME period, HANDLE handle, DWORD_PTR *cookie) {
    if (handle == NULL) return E_INVALIDARG;
    {
        std::lock_guard lock(lock_);
        try {
            if (!advise_thread_.joinable()) advise_thread_ = std::thread(&SystemClock::ServeAdvises, this);
            advises_.push_back({next_cookie_, due, period, handle});
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        *cookie = next_cookie_++;
    }
    advises_changed_.notify_all();
    return S_OK;
}

// Handles are signalled under the lock, so a request removed by Unadvise is
// never signalled afterwards.
void SystemClock::ServeAdvises() {
    std::unique_lock lock(lock_);
    while (!closing_) {
        if (advises_.empty()) {
            advises_changed_.wait(lock);
            continue;
        }
        REFERENCE_TIME earliest = kMaxTime;
        for (const Advise &advise : advises_) earliest = std::min(earliest, advise.due);
        REFERENCE_TIME now = Now();
        if (earliest > now) {
            advises_changed_.wait_until(lock, AsTimePoint(earliest));
            continue;
        }
        for (auto it = advises_.begin(); it != advises_.end();) {
            if (it->due > now) {
                ++it;
            } else if (it->period == 0) {
                SetEvent(it->handle);
                it = advises_.erase(it);
            } else {
                // A late thread releases once for every period that went by.
                while (it->due <= now) {
                    ReleaseSemaphore(it->handle, 1, NULL);
                    it->due += it->period;
                }
                ++it;
            }
        }
    }
}

}  // namespace tm350::dshow
