#include "dshow/filter_graph.h"

#include "common/text.h"
#include "dshow/filter_enumerator.h"
#include "dshow/graph_log.h"
#include "dshow/graph_pins.h"
#include "dshow/runtime_classes.h"

#include <cstdio>
#include <new>

namespace tm350::dshow {

namespace {

// A filter's name, suffix included, fits FILTER_INFO's 128 characters with
// the terminator.
constexpr size_t kMaxNameLength = MAX_FILTER_NAME - 1;
constexpr int kMaxDuplicateSuffix = 9999;

std::u16string NameWithSuffix(const std::u16string &base, int number) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, " %04d", number);
    std::u16string name = base.substr(0, kMaxNameLength - 5);
    for (const char *c = suffix; *c != '\0'; ++c) name.push_back(static_cast<char16_t>(*c));
    return name;
}

}  // namespace

HRESULT CreateFilterGraph(REFIID iid, void **object) { return FilterGraph::Create(iid, object); }

HRESULT FilterGraph::Create(REFIID iid, void **object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    auto *graph = new (std::nothrow) FilterGraph();
    if (graph == nullptr) return E_OUTOFMEMORY;
    if (graph->events_.handle() == NULL) {
        delete graph;
        return E_OUTOFMEMORY;
    }
    HRESULT hr = graph->QueryInterface(iid, object);
    graph->Release();
    return hr;
}

// The last reference stops the graph and removes every filter, which breaks
// the connections that would otherwise keep the filters alive.
FilterGraph::~FilterGraph() {
    std::lock_guard lock(lock_);
    StopLocked();
    while (!entries_.empty()) RemoveLocked(entries_.back().filter.Get());
}

STDMETHODIMP FilterGraph::QueryInterface(REFIID iid, void **object) {
    if (object == nullptr) return E_POINTER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IFilterGraph) ||
        IsEqualGUID(iid, IID_IGraphBuilder) || IsEqualGUID(iid, IID_IFilterGraph2)) {
        *object = static_cast<IFilterGraph2 *>(this);
    } else if (IsEqualGUID(iid, IID_IMediaControl) || IsEqualGUID(iid, IID_IDispatch)) {
        *object = static_cast<IMediaControl *>(this);
    } else if (IsEqualGUID(iid, IID_IMediaEvent) || IsEqualGUID(iid, IID_IMediaEventEx)) {
        *object = static_cast<IMediaEventEx *>(this);
    } else if (IsEqualGUID(iid, IID_IMediaEventSink)) {
        *object = static_cast<IMediaEventSink *>(this);
    } else if (IsEqualGUID(iid, IID_IMediaFilter) || IsEqualGUID(iid, IID_IPersist)) {
        *object = static_cast<IMediaFilter *>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

FilterGraph::Entry *FilterGraph::Find(IBaseFilter *filter) {
    for (Entry &entry : entries_) {
        if (SameObject(entry.filter.Get(), filter)) return &entry;
    }
    return nullptr;
}

bool FilterGraph::Contains(IPin *pin) {
    ComPtr<IBaseFilter> owner = OwnerOf(pin);
    return owner && Find(owner.Get()) != nullptr;
}

std::vector<ComPtr<IBaseFilter>> FilterGraph::Filters() {
    std::lock_guard lock(lock_);
    std::vector<ComPtr<IBaseFilter>> filters;
    for (const Entry &entry : entries_) filters.push_back(entry.filter);
    return filters;
}

// A filter added without a name gets the name its class is registered
// under, or "Filter".
std::u16string FilterGraph::DefaultName(IBaseFilter *filter) {
    CLSID clsid{};
    if (SUCCEEDED(filter->GetClassID(&clsid))) {
        WCHAR clsid_text[CHARS_IN_GUID];
        StringFromGUID2(clsid, clsid_text, CHARS_IN_GUID);
        std::u16string key = u"CLSID\\" + std::u16string(text::View(clsid_text));
        HKEY class_key = NULL;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, text::AsWide(key), 0, KEY_READ, &class_key) == ERROR_SUCCESS) {
            WCHAR name[MAX_FILTER_NAME] = {};
            DWORD size = sizeof name - sizeof(WCHAR);
            DWORD type = REG_NONE;
            LONG result = RegQueryValueExW(class_key, NULL, NULL, &type, reinterpret_cast<BYTE *>(name), &size);
            RegCloseKey(class_key);
            if (result == ERROR_SUCCESS && type == REG_SZ && name[0] != 0) return std::u16string(text::View(name));
        }
    }
    return u"Filter";
}

// A name already in use gets the first free suffix " 0001" ... " 9999"
// (VFW_S_DUPLICATE_NAME when the caller chose the name); the filter learns
// its final name through JoinFilterGraph, whose failure keeps it out of the
// graph. A filter joins the graph's clock, if it has one. Adding a filter
// that is already in the graph would give it two names: E_INVALIDARG.
STDMETHODIMP FilterGraph::AddFilter(IBaseFilter *filter, LPCWSTR name) {
    if (filter == nullptr) return E_POINTER;
    std::lock_guard lock(lock_);
    if (Find(filter) != nullptr) return E_INVALIDARG;
    std::u16string base = name != nullptr ? std::u16string(text::View(name)) : DefaultName(filter);
    base.resize(std::min(base.size(), kMaxNameLength));
    auto taken = [&](const std::u16string &candidate) {
        for (const Entry &entry : entries_) {
            if (entry.name == candidate) return true;
        }
        return false;
    };
    std::u16string unique = base;
    bool renamed = false;
    if (taken(unique)) {
        int number = 1;
        while (number <= kMaxDuplicateSuffix && taken(NameWithSuffix(base, number))) ++number;
        if (number > kMaxDuplicateSuffix) return VFW_E_DUPLICATE_NAME;
        unique = NameWithSuffix(base, number);
        renamed = true;
    }
    HRESULT hr = filter->JoinFilterGraph(static_cast<IFilterGraph2 *>(this), text::AsWide(unique));
    if (FAILED(hr)) return hr;
    try {
        entries_.push_back({ComPtr<IBaseFilter>(filter), unique});
    } catch (...) {
        filter->JoinFilterGraph(nullptr, nullptr);
        return E_OUTOFMEMORY;
    }
    ++version_;
    if (clock_) filter->SetSyncSource(clock_.Get());
    GraphLog("%p added \"%s\"", static_cast<void *>(this), text::Utf16ToUtf8(unique).c_str());
    return renamed && name != nullptr ? VFW_S_DUPLICATE_NAME : S_OK;
}

STDMETHODIMP FilterGraph::RemoveFilter(IBaseFilter *filter) {
    if (filter == nullptr) return E_POINTER;
    std::lock_guard lock(lock_);
    return RemoveLocked(filter);
}

// A removed filter is stopped (when the graph is not), disconnected at both
// ends of every connection, freed from the graph's clock, and told it has
// left. A peer that refuses to disconnect while its own filter is active is
// left as it is; it can only see a stopped filter at the other end. The
// clock of a removed filter stops being the graph's clock, and the graph
// chooses again at its next pause.
HRESULT FilterGraph::RemoveLocked(IBaseFilter *filter) {
    Entry *entry = Find(filter);
    if (entry == nullptr) return E_FAIL;
    ComPtr<IBaseFilter> removed = entry->filter;
    if (state_ != State_Stopped) removed->Stop();
    for (const ComPtr<IPin> &pin : PinsOf(removed.Get())) {
        if (ComPtr<IPin> peer = PeerOf(pin.Get())) {
            peer->Disconnect();
            pin->Disconnect();
        }
    }
    if (clock_ && SameObject(clock_.Get(), removed.Get())) {
        clock_.Reset();
        default_clock_pending_ = true;
        DistributeClock();
    }
    removed->SetSyncSource(nullptr);
    GraphLog("%p removed \"%s\"", static_cast<void *>(this), text::Utf16ToUtf8(entry->name).c_str());
    entries_.erase(entries_.begin() + (entry - entries_.data()));
    ++version_;
    removed->JoinFilterGraph(nullptr, nullptr);
    return S_OK;
}

STDMETHODIMP FilterGraph::EnumFilters(IEnumFilters **enumerator) {
    if (enumerator == nullptr) return E_POINTER;
    return FilterEnumerator::Create(this, 0, enumerator);
}

STDMETHODIMP FilterGraph::FindFilterByName(LPCWSTR name, IBaseFilter **filter) {
    if (filter == nullptr || name == nullptr) return E_POINTER;
    *filter = nullptr;
    std::lock_guard lock(lock_);
    for (const Entry &entry : entries_) {
        if (entry.name == text::View(name)) {
            *filter = entry.filter.Get();
            (*filter)->AddRef();
            return S_OK;
        }
    }
    return VFW_E_NOT_FOUND;
}

// One end only: a whole connection is broken by disconnecting both pins.
STDMETHODIMP FilterGraph::Disconnect(IPin *pin) {
    if (pin == nullptr) return E_POINTER;
    std::lock_guard lock(lock_);
    return pin->Disconnect();
}

STDMETHODIMP FilterGraph::Reconnect(IPin *pin) { return ReconnectEx(pin, nullptr); }

// Breaks the pin's connection and makes it again, with `type` or else the
// type it had.
STDMETHODIMP FilterGraph::ReconnectEx(IPin *pin, const AM_MEDIA_TYPE *type) {
    if (pin == nullptr) return E_POINTER;
    std::lock_guard lock(lock_);
    if (!Contains(pin)) return VFW_E_NOT_IN_GRAPH;
    ComPtr<IPin> peer = PeerOf(pin);
    if (!peer) return VFW_E_NOT_CONNECTED;
    ComPtr<IPin> output(pin);
    ComPtr<IPin> input = peer;
    if (!HasDirection(pin, PINDIR_OUTPUT)) std::swap(output, input);
    AM_MEDIA_TYPE current{};
    bool have_current = type == nullptr && SUCCEEDED(pin->ConnectionMediaType(&current));
    HRESULT hr = output->Disconnect();
    if (SUCCEEDED(hr)) hr = input->Disconnect();
    if (SUCCEEDED(hr)) hr = output->Connect(input.Get(), type != nullptr ? type : (have_current ? &current : nullptr));
    if (have_current) {
        if (current.pbFormat != nullptr) CoTaskMemFree(current.pbFormat);
        if (current.pUnk != nullptr) current.pUnk->Release();
    }
    return hr;
}

STDMETHODIMP FilterGraph::RenderFile(LPCWSTR, LPCWSTR) { return E_NOTIMPL; }
STDMETHODIMP FilterGraph::AddSourceFilter(LPCWSTR, LPCWSTR, IBaseFilter **filter) {
    if (filter != nullptr) *filter = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP FilterGraph::SetLogFile(DWORD_PTR) { return E_NOTIMPL; }
// Building never runs in the background here, so there is nothing to stop.
STDMETHODIMP FilterGraph::Abort() { return S_OK; }
STDMETHODIMP FilterGraph::ShouldOperationContinue() { return S_OK; }

// Creates the filter the moniker names and adds it under `filter_name`.
STDMETHODIMP FilterGraph::AddSourceFilterForMoniker(IMoniker *moniker, IBindCtx *context, LPCWSTR filter_name,
                                                    IBaseFilter **filter) {
    if (moniker == nullptr || filter == nullptr) return E_POINTER;
    *filter = nullptr;
    ComPtr<IBaseFilter> created;
    HRESULT hr = moniker->BindToObject(context, nullptr, IID_IBaseFilter, reinterpret_cast<void **>(created.Receive()));
    if (FAILED(hr)) return hr;
    hr = AddFilter(created.Get(), filter_name);
    if (FAILED(hr)) return hr;
    *filter = created.Detach();
    return hr;
}

// The graph offers no type library: scripting callers are not served.
STDMETHODIMP FilterGraph::GetTypeInfoCount(UINT *count) {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
}
STDMETHODIMP FilterGraph::GetTypeInfo(UINT, LCID, ITypeInfo **info) {
    if (info != nullptr) *info = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP FilterGraph::GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *) { return E_NOTIMPL; }
STDMETHODIMP FilterGraph::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *) {
    return E_NOTIMPL;
}

STDMETHODIMP FilterGraph::RenderFile(BSTR) { return E_NOTIMPL; }
STDMETHODIMP FilterGraph::AddSourceFilter(BSTR, IDispatch **filter) {
    if (filter != nullptr) *filter = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP FilterGraph::get_FilterCollection(IDispatch **collection) {
    if (collection != nullptr) *collection = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP FilterGraph::get_RegFilterCollection(IDispatch **collection) {
    if (collection != nullptr) *collection = nullptr;
    return E_NOTIMPL;
}

// Event handling is the queue's (graph_events.h).
STDMETHODIMP FilterGraph::GetEventHandle(OAEVENT *handle) {
    if (handle == nullptr) return E_POINTER;
    *handle = reinterpret_cast<OAEVENT>(events_.handle());
    return S_OK;
}
STDMETHODIMP FilterGraph::GetEvent(LONG *code, LONG_PTR *param1, LONG_PTR *param2, LONG timeout_ms) {
    return events_.GetEvent(code, param1, param2, timeout_ms);
}
STDMETHODIMP FilterGraph::WaitForCompletion(LONG timeout_ms, LONG *code) {
    return events_.WaitForCompletion(timeout_ms, code);
}
STDMETHODIMP FilterGraph::CancelDefaultHandling(LONG code) { return events_.CancelDefaultHandling(code); }
STDMETHODIMP FilterGraph::RestoreDefaultHandling(LONG code) { return events_.RestoreDefaultHandling(code); }
STDMETHODIMP FilterGraph::FreeEventParams(LONG code, LONG_PTR param1, LONG_PTR param2) {
    return GraphEvents::FreeEventParams(code, param1, param2);
}
// There is no window manager to post to yet: applications wait on the event
// handle instead.
STDMETHODIMP FilterGraph::SetNotifyWindow(OAHWND, LONG, LONG_PTR) { return E_NOTIMPL; }
STDMETHODIMP FilterGraph::SetNotifyFlags(LONG flags) { return events_.SetNotifyFlags(flags); }
STDMETHODIMP FilterGraph::GetNotifyFlags(LONG *flags) {
    if (flags == nullptr) return E_POINTER;
    *flags = events_.notify_flags();
    return S_OK;
}
STDMETHODIMP FilterGraph::Notify(LONG code, LONG_PTR param1, LONG_PTR param2) {
    return events_.Notify(code, param1, param2);
}

STDMETHODIMP FilterGraph::GetClassID(CLSID *clsid) {
    if (clsid == nullptr) return E_POINTER;
    *clsid = CLSID_FilterGraph;
    return S_OK;
}

}  // namespace tm350::dshow
