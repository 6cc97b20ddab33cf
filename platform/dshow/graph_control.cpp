// Moving the graph through its states, and its reference clock.
#include "dshow/filter_graph.h"
#include "dshow/graph_log.h"
#include "dshow/graph_pins.h"
#include "dshow/system_clock.h"

#include <chrono>
#include <functional>

namespace tm350::dshow {

namespace {

// Filters are told to run this long after the moment Run is called, so that
// every filter has its start time before the first sample is due.
constexpr REFERENCE_TIME kStartLatency = 10 * 10000;  // 10 ms

}  // namespace

// Every filter after all the filters it delivers to: renderers first, then
// the filters upstream of them, sources last. Filters that are not connected
// keep the order they were added in.
std::vector<ComPtr<IBaseFilter>> FilterGraph::DownstreamFirst() {
    std::vector<ComPtr<IBaseFilter>> order;
    std::vector<const Entry *> visited;
    std::function<void(const Entry *)> visit = [&](const Entry *entry) {
        for (const Entry *seen : visited) {
            if (seen == entry) return;
        }
        visited.push_back(entry);
        for (const ComPtr<IBaseFilter> &next : DownstreamOf(entry->filter.Get())) {
            if (const Entry *downstream = Find(next.Get())) visit(downstream);
        }
        order.push_back(entry->filter);
    };
    for (const Entry &entry : entries_) visit(&entry);
    return order;
}

REFERENCE_TIME FilterGraph::ClockTime() {
    REFERENCE_TIME now = 0;
    if (clock_) clock_->GetTime(&now);
    return now;
}

int FilterGraph::CountRenderers() {
    int renderers = 0;
    for (const Entry &entry : entries_) {
        if (IsStreamRenderer(entry.filter.Get())) ++renderers;
    }
    return renderers;
}

bool FilterGraph::AnyFilterTransitioning() {
    for (const Entry &entry : entries_) {
        FILTER_STATE state = State_Stopped;
        if (entry.filter->GetState(0, &state) == VFW_S_STATE_INTERMEDIATE) return true;
    }
    return false;
}

// Run from Stopped pauses first. S_FALSE: some filter is still on its way
// into the new state (GetState waits for it). A filter that fails leaves the
// whole graph stopped, and its error is returned.
STDMETHODIMP FilterGraph::Run() {
    std::lock_guard lock(lock_);
    HRESULT hr = RunLocked(std::nullopt);
    GraphLog("%p run: 0x%08x, start %lld", static_cast<void *>(this), static_cast<unsigned>(hr), start_time_);
    return hr;
}

STDMETHODIMP FilterGraph::Run(REFERENCE_TIME start) {
    std::lock_guard lock(lock_);
    HRESULT hr = RunLocked(start);
    GraphLog("%p run at %lld: 0x%08x", static_cast<void *>(this), start, static_cast<unsigned>(hr));
    return hr;
}

STDMETHODIMP FilterGraph::Pause() {
    std::lock_guard lock(lock_);
    HRESULT hr = PauseLocked();
    GraphLog("%p pause: 0x%08x", static_cast<void *>(this), static_cast<unsigned>(hr));
    return hr;
}

// Stop visits every filter even when one fails, and returns the first
// failure; the graph is stopped either way.
STDMETHODIMP FilterGraph::Stop() {
    std::lock_guard lock(lock_);
    HRESULT hr = StopLocked();
    GraphLog("%p stop: 0x%08x", static_cast<void *>(this), static_cast<unsigned>(hr));
    return hr;
}

// On first leaving Stopped the graph takes its default clock, unless the
// application chose one (or none) with SetSyncSource. End-of-stream counting
// starts over with the renderers connected now.
HRESULT FilterGraph::PauseLocked() {
    if (state_ == State_Paused) return AnyFilterTransitioning() ? S_FALSE : S_OK;
    if (state_ == State_Stopped) {
        if (default_clock_pending_) {
            HRESULT hr = ChooseDefaultClock();
            if (FAILED(hr)) return hr;
        }
        events_.BeginStreaming(CountRenderers());
    } else {
        paused_stream_time_ = clock_ ? ClockTime() - start_time_ : 0;
        events_.SetRunning(false);
    }
    for (const ComPtr<IBaseFilter> &filter : DownstreamFirst()) {
        HRESULT hr = filter->Pause();
        if (FAILED(hr)) {
            StopAfterFailure();
            return hr;
        }
    }
    state_ = State_Paused;
    ++state_changes_;
    return AnyFilterTransitioning() ? S_FALSE : S_OK;
}

HRESULT FilterGraph::RunLocked(std::optional<REFERENCE_TIME> start) {
    if (state_ == State_Running) return S_OK;
    if (state_ == State_Stopped) {
        HRESULT hr = PauseLocked();
        if (FAILED(hr)) return hr;
    }
    if (start) {
        start_time_ = *start;
    } else {
        start_time_ = clock_ ? ClockTime() - paused_stream_time_ + kStartLatency : 0;
    }
    events_.SetRunning(true);
    for (const ComPtr<IBaseFilter> &filter : DownstreamFirst()) {
        HRESULT hr = filter->Run(start_time_);
        if (FAILED(hr)) {
            StopAfterFailure();
            return hr;
        }
    }
    state_ = State_Running;
    ++state_changes_;
    return AnyFilterTransitioning() ? S_FALSE : S_OK;
}

HRESULT FilterGraph::StopLocked() {
    if (state_ == State_Stopped) return S_OK;
    events_.SetRunning(false);
    HRESULT first_failure = S_OK;
    for (const ComPtr<IBaseFilter> &filter : DownstreamFirst()) {
        HRESULT hr = filter->Stop();
        if (FAILED(hr) && SUCCEEDED(first_failure)) first_failure = hr;
    }
    state_ = State_Stopped;
    ++state_changes_;
    paused_stream_time_ = 0;
    events_.EndStreaming();
    return first_failure;
}

// Some filters may already have changed state when another fails: all are
// stopped, whatever the graph's state was.
void FilterGraph::StopAfterFailure() {
    events_.SetRunning(false);
    for (const ComPtr<IBaseFilter> &filter : DownstreamFirst()) filter->Stop();
    if (state_ != State_Stopped) ++state_changes_;
    state_ = State_Stopped;
    paused_stream_time_ = 0;
    events_.EndStreaming();
}

// StopWhenReady needs a graph that finishes cueing on its own thread; this
// graph has none, so it is not offered.
STDMETHODIMP FilterGraph::StopWhenReady() { return E_NOTIMPL; }

STDMETHODIMP FilterGraph::GetState(LONG timeout_ms, OAFilterState *state) {
    if (state == nullptr) return E_POINTER;
    FILTER_STATE filter_state = State_Stopped;
    HRESULT hr = WaitForState(timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms), &filter_state);
    *state = filter_state;
    return hr;
}

STDMETHODIMP FilterGraph::GetState(DWORD timeout_ms, FILTER_STATE *state) {
    if (state == nullptr) return E_POINTER;
    return WaitForState(timeout_ms, state);
}

// The state the graph is in or moving to. VFW_S_STATE_INTERMEDIATE when a
// filter has not finished its transition within the time-out, VFW_S_CANT_CUE
// when a filter is paused but cannot deliver, VFW_E_STATE_CHANGED when
// another thread changed the graph's state meanwhile. The filters are asked
// without the graph lock, so a Stop from another thread is never held up.
HRESULT FilterGraph::WaitForState(DWORD timeout_ms, FILTER_STATE *state) {
    std::vector<ComPtr<IBaseFilter>> filters;
    unsigned changes = 0;
    {
        std::lock_guard lock(lock_);
        *state = state_;
        filters = DownstreamFirst();
        changes = state_changes_;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    HRESULT result = S_OK;
    for (const ComPtr<IBaseFilter> &filter : filters) {
        DWORD remaining = INFINITE;
        if (timeout_ms != INFINITE) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              std::chrono::steady_clock::now());
            remaining = static_cast<DWORD>(std::max<long long>(left.count(), 0));
        }
        FILTER_STATE filter_state = State_Stopped;
        HRESULT hr = filter->GetState(remaining, &filter_state);
        if (FAILED(hr)) return hr;
        if (hr == VFW_S_STATE_INTERMEDIATE) {
            result = hr;
        } else if (hr == VFW_S_CANT_CUE && result == S_OK) {
            result = hr;
        }
    }
    if (state_changes_ != changes) return VFW_E_STATE_CHANGED;
    return result;
}

// The clock can change only while the graph is stopped; a null clock makes
// the filters run without one (as fast as data comes), and keeps the graph
// from choosing a default one.
STDMETHODIMP FilterGraph::SetSyncSource(IReferenceClock *clock) {
    std::lock_guard lock(lock_);
    if (state_ != State_Stopped) return VFW_E_NOT_STOPPED;
    clock_ = ComPtr<IReferenceClock>(clock);
    default_clock_pending_ = false;
    DistributeClock();
    return S_OK;
}

STDMETHODIMP FilterGraph::GetSyncSource(IReferenceClock **clock) {
    if (clock == nullptr) return E_POINTER;
    std::lock_guard lock(lock_);
    *clock = clock_.Get();
    if (*clock != nullptr) (*clock)->AddRef();
    return S_OK;
}

STDMETHODIMP FilterGraph::SetDefaultSyncSource() {
    std::lock_guard lock(lock_);
    if (state_ != State_Stopped) return VFW_E_NOT_STOPPED;
    return ChooseDefaultClock();
}

// The first filter, renderers first, that offers a clock; else a new
// system clock.
HRESULT FilterGraph::ChooseDefaultClock() {
    ComPtr<IReferenceClock> chosen;
    for (const ComPtr<IBaseFilter> &filter : DownstreamFirst()) {
        if (SUCCEEDED(filter->QueryInterface(IID_IReferenceClock, reinterpret_cast<void **>(chosen.Receive()))) && chosen) break;
    }
    if (!chosen) {
        HRESULT hr = SystemClock::Create(IID_IReferenceClock, reinterpret_cast<void **>(chosen.Receive()));
        if (FAILED(hr)) return hr;
    }
    clock_ = chosen;
    default_clock_pending_ = false;
    DistributeClock();
    return S_OK;
}

void FilterGraph::DistributeClock() {
    for (const Entry &entry : entries_) entry.filter->SetSyncSource(clock_.Get());
}

}  // namespace tm350::dshow
