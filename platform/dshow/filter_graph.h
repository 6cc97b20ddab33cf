// The filter graph manager: holds the filters of one graph by name, connects
// their pins, moves them through Stopped, Paused and Running together
// (always downstream first, renderers before their sources), gives them one
// reference clock and collects their events.
//
// Locks: the graph lock (recursive, as a critical section is) serialises
// building and state changes and is held while filters change state; the
// event queue has its own lock, taken by filters' threads (see
// graph_events.h). GetState and WaitForCompletion wait without the graph lock.
#pragma once

#include "dshow/com_object.h"
#include "dshow/graph_events.h"

#include <dshow.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tm350::dshow {

class FilterGraph final
    : public ComObject<IFilterGraph2, IMediaControl, IMediaEventEx, IMediaEventSink, IMediaFilter> {
public:
    // The class's create function: a new object, asked for `iid`.
    static HRESULT Create(REFIID iid, void **object);

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void **object) override;

    // IFilterGraph
    STDMETHODIMP AddFilter(IBaseFilter *filter, LPCWSTR name) override;
    STDMETHODIMP RemoveFilter(IBaseFilter *filter) override;
    STDMETHODIMP EnumFilters(IEnumFilters **enumerator) override;
    STDMETHODIMP FindFilterByName(LPCWSTR name, IBaseFilter **filter) override;
    STDMETHODIMP ConnectDirect(IPin *output, IPin *input, const AM_MEDIA_TYPE *type) override;
    STDMETHODIMP Reconnect(IPin *pin) override;
    STDMETHODIMP Disconnect(IPin *pin) override;
    STDMETHODIMP SetDefaultSyncSource() override;
    // IGraphBuilder
    STDMETHODIMP Connect(IPin *output, IPin *input) override;
    STDMETHODIMP Render(IPin *output) override;
    STDMETHODIMP RenderFile(LPCWSTR file, LPCWSTR play_list) override;
    STDMETHODIMP AddSourceFilter(LPCWSTR file, LPCWSTR filter_name, IBaseFilter **filter) override;
    STDMETHODIMP SetLogFile(DWORD_PTR file) override;
    STDMETHODIMP Abort() override;
    STDMETHODIMP ShouldOperationContinue() override;
    // IFilterGraph2
    STDMETHODIMP AddSourceFilterForMoniker(IMoniker *moniker, IBindCtx *context, LPCWSTR filter_name,
                                           IBaseFilter **filter) override;
    STDMETHODIMP ReconnectEx(IPin *pin, const AM_MEDIA_TYPE *type) override;
    STDMETHODIMP RenderEx(IPin *output, DWORD flags, DWORD *context) override;

    // IDispatch (of IMediaControl and IMediaEventEx): no type information.
    STDMETHODIMP GetTypeInfoCount(UINT *count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID locale, ITypeInfo **info) override;
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR *names, UINT count, LCID locale, DISPID *ids) override;
    STDMETHODIMP Invoke(DISPID member, REFIID iid, LCID locale, WORD flags, DISPPARAMS *parameters,
                        VARIANT *result, EXCEPINFO *exception, UINT *argument_error) override;
    // IMediaControl (Pause and Stop also serve IMediaFilter)
    STDMETHODIMP Run() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Stop() override;
    STDMETHODIMP GetState(LONG timeout_ms, OAFilterState *state) override;
    STDMETHODIMP RenderFile(BSTR file) override;
    STDMETHODIMP AddSourceFilter(BSTR file, IDispatch **filter) override;
    STDMETHODIMP get_FilterCollection(IDispatch **collection) override;
    STDMETHODIMP get_RegFilterCollection(IDispatch **collection) override;
    STDMETHODIMP StopWhenReady() override;

    // IMediaEvent / IMediaEventEx
    STDMETHODIMP GetEventHandle(OAEVENT *handle) override;
    STDMETHODIMP GetEvent(LONG *code, LONG_PTR *param1, LONG_PTR *param2, LONG timeout_ms) override;
    STDMETHODIMP WaitForCompletion(LONG timeout_ms, LONG *code) override;
    STDMETHODIMP CancelDefaultHandling(LONG code) override;
    STDMETHODIMP RestoreDefaultHandling(LONG code) override;
    STDMETHODIMP FreeEventParams(LONG code, LONG_PTR param1, LONG_PTR param2) override;
    STDMETHODIMP SetNotifyWindow(OAHWND window, LONG message, LONG_PTR instance_data) override;
    STDMETHODIMP SetNotifyFlags(LONG flags) override;
    STDMETHODIMP GetNotifyFlags(LONG *flags) override;

    // IMediaEventSink
    STDMETHODIMP Notify(LONG code, LONG_PTR param1, LONG_PTR param2) override;

    // IPersist / IMediaFilter
    STDMETHODIMP GetClassID(CLSID *clsid) override;
    STDMETHODIMP Run(REFERENCE_TIME start) override;
    STDMETHODIMP GetState(DWORD timeout_ms, FILTER_STATE *state) override;
    STDMETHODIMP SetSyncSource(IReferenceClock *clock) override;
    STDMETHODIMP GetSyncSource(IReferenceClock **clock) override;

    // For the filter enumerator: the filters as they are now, and a number
    // that changes whenever a filter is added or removed.
    std::vector<ComPtr<IBaseFilter>> Filters();
    unsigned version() const { return version_; }

private:
    struct Entry {
        ComPtr<IBaseFilter> filter;
        std::u16string name;
    };

    FilterGraph() = default;
    ~FilterGraph() override;

    // graph building (filter_graph.cpp, graph_connect.cpp)
    Entry *Find(IBaseFilter *filter);
    bool Contains(IPin *pin);
    bool IsDownstream(IBaseFilter *from, IBaseFilter *to);
    std::u16string DefaultName(IBaseFilter *filter);
    HRESULT RemoveLocked(IBaseFilter *filter);
    HRESULT ConnectThroughGraph(IPin *output, IPin *input);
    HRESULT RenderPin(IPin *output, int depth);
    HRESULT RenderOutputsOf(IBaseFilter *filter, int depth);
    HRESULT RenderThroughRegisteredFilters(IPin *output);

    // state changes (graph_control.cpp)
    std::vector<ComPtr<IBaseFilter>> DownstreamFirst();
    HRESULT PauseLocked();
    // Without a start time the graph runs a moment after now, continuing
    // the stream time it paused at.
    HRESULT RunLocked(std::optional<REFERENCE_TIME> start);
    HRESULT StopLocked();
    void StopAfterFailure();
    HRESULT ChooseDefaultClock();
    void DistributeClock();
    int CountRenderers();
    bool AnyFilterTransitioning();
    REFERENCE_TIME ClockTime();
    HRESULT WaitForState(DWORD timeout_ms, FILTER_STATE *state);

    std::recursive_mutex lock_;  // the graph lock; guards everything below but events_
    std::vector<Entry> entries_;
    std::atomic<unsigned> version_{0};
    FILTER_STATE state_ = State_Stopped;
    std::atomic<unsigned> state_changes_{0};
    ComPtr<IReferenceClock> clock_;
    bool default_clock_pending_ = true;
    REFERENCE_TIME start_time_ = 0;
    // Stream time reached when the graph last paused from running: the next
    // Run continues from it. 0 after a stop.
    REFERENCE_TIME paused_stream_time_ = 0;
    GraphEvents events_;
};

}  // namespace tm350::dshow
