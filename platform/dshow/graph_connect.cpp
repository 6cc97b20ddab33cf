// Connecting pins: directly, through a filter already in the graph, and
// rendering an output pin to the filters in the graph.
#include "dshow/filter_graph.h"
#include "dshow/graph_pins.h"
#include "dshow/registered_filters.h"
#include "dshow/registry_key.h"

namespace tm350::dshow {

namespace {

// How many filters deep Render follows a stream before giving up.
constexpr int kMaxRenderDepth = 8;

bool IsConnected(IPin *pin) { return static_cast<bool>(PeerOf(pin)); }

void BreakConnection(IPin *output, IPin *input) {
    input->Disconnect();
    output->Disconnect();
}

}  // namespace

// Whether `to` can be reached from `from` along connections, `from` itself
// included.
bool FilterGraph::IsDownstream(IBaseFilter *from, IBaseFilter *to) {
    std::vector<ComPtr<IBaseFilter>> pending{ComPtr<IBaseFilter>(from)};
    std::vector<ComPtr<IBaseFilter>> seen;
    while (!pending.empty()) {
        ComPtr<IBaseFilter> filter = std::move(pending.back());
        pending.pop_back();
        if (SameObject(filter.Get(), to)) return true;
        bool visited = false;
        for (const ComPtr<IBaseFilter> &old : seen) visited = visited || SameObject(old.Get(), filter.Get());
        if (visited) continue;
        seen.push_back(filter);
        for (ComPtr<IBaseFilter> &next : DownstreamOf(filter.Get())) pending.push_back(std::move(next));
    }
    return false;
}

// Both pins' filters must be in the graph, and the input must not feed the
// output's filter already (a circle). The output pin's Connect decides the
// rest, with `type` or by negotiation when it is null; its errors are
// returned as they are.
STDMETHODIMP FilterGraph::ConnectDirect(IPin *output, IPin *input, const AM_MEDIA_TYPE *type) {
    if (output == nullptr || input == nullptr) return E_POINTER;
    std::lock_guard lock(lock_);
    ComPtr<IBaseFilter> upstream = OwnerOf(output);
    ComPtr<IBaseFilter> downstream = OwnerOf(input);
    if (!upstream || !downstream || Find(upstream.Get()) == nullptr || Find(downstream.Get()) == nullptr) {
        return VFW_E_NOT_IN_GRAPH;
    }
    if (IsDownstream(downstream.Get(), upstream.Get())) return VFW_E_CIRCULAR_GRAPH;
    return output->Connect(input, type);
}

// Tries the direct connection first, then one filter of the graph in
// between (an unconnected input and output of it). Filters from the
// registry are not tried here.
STDMETHODIMP FilterGraph::Connect(IPin *output, IPin *input) {
    if (output == nullptr || input == nullptr) return E_POINTER;
    std::lock_guard lock(lock_);
    if (!Contains(output) || !Contains(input)) return VFW_E_NOT_IN_GRAPH;
    HRESULT hr = ConnectDirect(output, input, nullptr);
    if (SUCCEEDED(hr)) return hr;
    // Nothing in between can help a pin that is taken or a graph that runs.
    if (hr == VFW_E_ALREADY_CONNECTED || hr == VFW_E_NOT_STOPPED || hr == VFW_E_CIRCULAR_GRAPH ||
        hr == VFW_E_INVALID_DIRECTION) {
        return hr;
    }
    return ConnectThroughGraph(output, input);
}

HRESULT FilterGraph::ConnectThroughGraph(IPin *output, IPin *input) {
    ComPtr<IBaseFilter> upstream = OwnerOf(output);
    ComPtr<IBaseFilter> downstream = OwnerOf(input);
    for (const ComPtr<IBaseFilter> &middle : Filters()) {
        if (SameObject(middle.Get(), upstream.Get()) || SameObject(middle.Get(), downstream.Get())) continue;
        for (const ComPtr<IPin> &middle_input : PinsOf(middle.Get(), PINDIR_INPUT)) {
            if (IsConnected(middle_input.Get()) || IsHiddenPin(middle_input.Get())) continue;
            if (FAILED(ConnectDirect(output, middle_input.Get(), nullptr))) continue;
            for (const ComPtr<IPin> &middle_output : PinsOf(middle.Get(), PINDIR_OUTPUT)) {
                if (IsConnected(middle_output.Get()) || IsHiddenPin(middle_output.Get())) continue;
                if (SUCCEEDED(ConnectDirect(middle_output.Get(), input, nullptr))) return S_OK;
            }
            BreakConnection(output, middle_input.Get());
        }
    }
    return VFW_E_CANNOT_CONNECT;
}

STDMETHODIMP FilterGraph::Render(IPin *output) { return RenderEx(output, 0, nullptr); }

// Connects the output pin to an unconnected input of a filter already in the
// graph, following that filter's own outputs until every stream ends in a
// renderer; a branch that cannot be finished is taken apart again. When no
// filter of the graph will do, registered filters are tried, highest merit
// first (unless AM_RENDEREX_RENDERTOEXISTINGRENDERERS), each added to the
// graph and removed again if its branch cannot be finished.
STDMETHODIMP FilterGraph::RenderEx(IPin *output, DWORD flags, DWORD *context) {
    if (output == nullptr) return E_POINTER;
    if ((flags & ~static_cast<DWORD>(AM_RENDEREX_RENDERTOEXISTINGRENDERERS)) != 0 || context != nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard lock(lock_);
    if (!Contains(output)) return VFW_E_NOT_IN_GRAPH;
    if (!HasDirection(output, PINDIR_OUTPUT)) return VFW_E_INVALID_DIRECTION;
    if (IsConnected(output)) return VFW_E_ALREADY_CONNECTED;
    HRESULT hr = RenderPin(output, 0);
    if (SUCCEEDED(hr) || (flags & AM_RENDEREX_RENDERTOEXISTINGRENDERERS)) return hr;
    return RenderThroughRegisteredFilters(output);
}

HRESULT FilterGraph::RenderThroughRegisteredFilters(IPin *output) {
    AM_MEDIA_TYPE preferred{};
    ComPtr<IEnumMediaTypes> types;
    if (SUCCEEDED(output->EnumMediaTypes(types.Receive())) && types) {
        AM_MEDIA_TYPE *first = nullptr;
        if (types->Next(1, &first, nullptr) == S_OK && first != nullptr) {
            preferred.majortype = first->majortype;
            if (first->pbFormat != nullptr) CoTaskMemFree(first->pbFormat);
            if (first->pUnk != nullptr) first->pUnk->Release();
            CoTaskMemFree(first);
        }
    }
    for (const RegisteredFilter &candidate : RenderCandidates(preferred.majortype)) {
        ComPtr<IBaseFilter> filter;
        if (FAILED(CoCreateInstance(candidate.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                    reinterpret_cast<void **>(filter.Receive())))) {
            continue;
        }
        if (FAILED(AddFilter(filter.Get(), candidate.name.empty() ? nullptr : Wide(candidate.name)))) continue;
        for (const ComPtr<IPin> &input : PinsOf(filter.Get(), PINDIR_INPUT)) {
            if (IsConnected(input.Get()) || IsHiddenPin(input.Get())) continue;
            if (FAILED(output->Connect(input.Get(), nullptr))) continue;
            if (SUCCEEDED(RenderOutputsOf(filter.Get(), 1))) return S_OK;
            BreakConnection(output, input.Get());
        }
        RemoveLocked(filter.Get());
    }
    return VFW_E_CANNOT_RENDER;
}

HRESULT FilterGraph::RenderPin(IPin *output, int depth) {
    if (depth > kMaxRenderDepth) return VFW_E_CANNOT_RENDER;
    ComPtr<IBaseFilter> upstream = OwnerOf(output);
    for (const ComPtr<IBaseFilter> &candidate : Filters()) {
        if (IsDownstream(candidate.Get(), upstream.Get())) continue;
        for (const ComPtr<IPin> &input : PinsOf(candidate.Get(), PINDIR_INPUT)) {
            if (IsConnected(input.Get()) || IsHiddenPin(input.Get())) continue;
            if (FAILED(output->Connect(input.Get(), nullptr))) continue;
            if (SUCCEEDED(RenderOutputsOf(candidate.Get(), depth + 1))) return S_OK;
            BreakConnection(output, input.Get());
        }
    }
    return VFW_E_CANNOT_RENDER;
}

HRESULT FilterGraph::RenderOutputsOf(IBaseFilter *filter, int depth) {
    std::vector<IPin *> rendered;
    for (const ComPtr<IPin> &output : PinsOf(filter, PINDIR_OUTPUT)) {
        if (IsConnected(output.Get()) || IsHiddenPin(output.Get())) continue;
        if (FAILED(RenderPin(output.Get(), depth))) {
            for (IPin *done : rendered) {
                if (ComPtr<IPin> peer = PeerOf(done)) BreakConnection(done, peer.Get());
            }
            return VFW_E_CANNOT_RENDER;
        }
        rendered.push_back(output.Get());
    }
    return S_OK;
}

}  // namespace tm350::dshow
