#include "dshow/runtime_filter.h"

#include "dshow/registry_key.h"

#include <dshow.h>

#include <cstring>
#include <new>

namespace tm350::dshow {

namespace {

// IEnumPins over the pins a filter had when it was asked.
class PinEnumerator final : public ComObject<IEnumPins> {
public:
    PinEnumerator(std::vector<ComPtr<IPin>> pins, size_t position) : pins_(std::move(pins)), position_(position) {}

    STDMETHODIMP QueryInterface(REFIID riid, void **object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (riid == IID_IUnknown || riid == IID_IEnumPins) return Give(static_cast<IEnumPins *>(this), object);
        return E_NOINTERFACE;
    }
    STDMETHODIMP Next(ULONG count, IPin **pins, ULONG *fetched) override {
        if (pins == nullptr) return E_POINTER;
        if (fetched == nullptr && count != 1) return E_INVALIDARG;
        ULONG given = 0;
        while (given < count && position_ < pins_.size()) {
            pins[given] = pins_[position_++].Get();
            pins[given++]->AddRef();
        }
        if (fetched) *fetched = given;
        return given == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        size_t left = pins_.size() - position_;
        position_ += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        position_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumPins **copy) override {
        if (copy == nullptr) return E_POINTER;
        *copy = new (std::nothrow) PinEnumerator(pins_, position_);
        return *copy ? S_OK : E_OUTOFMEMORY;
    }

private:
    const std::vector<ComPtr<IPin>> pins_;
    size_t position_;
};

// IEnumMediaTypes over copies of a pin's preferred types; each type given
// out is the caller's, structure and format block in task memory.
class MediaTypeEnumerator final : public ComObject<IEnumMediaTypes> {
public:
    MediaTypeEnumerator(std::vector<MediaType> types, size_t position) : types_(std::move(types)), position_(position) {}

    STDMETHODIMP QueryInterface(REFIID riid, void **object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (riid == IID_IUnknown || riid == IID_IEnumMediaTypes) return Give(static_cast<IEnumMediaTypes *>(this), object);
        return E_NOINTERFACE;
    }
    STDMETHODIMP Next(ULONG count, AM_MEDIA_TYPE **types, ULONG *fetched) override {
        if (types == nullptr) return E_POINTER;
        if (fetched == nullptr && count != 1) return E_INVALIDARG;
        ULONG given = 0;
        while (given < count && position_ < types_.size()) {
            types[given] = CreateMediaTypeCopy(types_[position_].Get());
            if (types[given] == nullptr) break;
            ++position_;
            ++given;
        }
        if (fetched) *fetched = given;
        return given == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        size_t left = types_.size() - position_;
        position_ += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        position_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumMediaTypes **copy) override {
        if (copy == nullptr) return E_POINTER;
        *copy = new (std::nothrow) MediaTypeEnumerator(types_, position_);
        return *copy ? S_OK : E_OUTOFMEMORY;
    }

private:
    const std::vector<MediaType> types_;
    size_t position_;
};

HRESULT GiveMediaTypes(std::vector<MediaType> types, IEnumMediaTypes **enumerator) {
    if (enumerator == nullptr) return E_POINTER;
    *enumerator = new (std::nothrow) MediaTypeEnumerator(std::move(types), 0);
    return *enumerator ? S_OK : E_OUTOFMEMORY;
}

LPWSTR TaskMemoryCopy(const std::u16string &text) {
    auto *copy = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    if (copy != nullptr) std::memcpy(copy, Wide(text), (text.size() + 1) * sizeof(WCHAR));
    return copy;
}

void CopyName(const std::u16string &name, WCHAR *target, size_t capacity) {
    size_t length = name.size() < capacity - 1 ? name.size() : capacity - 1;
    std::memcpy(target, Wide(name), length * sizeof(WCHAR));
    target[length] = 0;
}

bool Matches(REFGUID wanted, REFGUID actual) { return wanted == GUID_NULL || wanted == actual; }

}  // namespace

// A partial type matches when each of its GUIDs is GUID_NULL or the same.
bool TypeMatchesPartial(const AM_MEDIA_TYPE &type, const AM_MEDIA_TYPE &partial) {
    return Matches(partial.majortype, type.majortype) && Matches(partial.subtype, type.subtype) &&
           Matches(partial.formattype, type.formattype);
}

// --- RuntimeFilter ---

STDMETHODIMP RuntimeFilter::QueryInterface(REFIID riid, void **object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter) {
        return Give(static_cast<IBaseFilter *>(this), object);
    }
    return E_NOINTERFACE;
}

STDMETHODIMP RuntimeFilter::GetClassID(CLSID *clsid) {
    if (clsid == nullptr) return E_POINTER;
    *clsid = clsid_;
    return S_OK;
}

HRESULT RuntimeFilter::ChangeState(FILTER_STATE to, REFERENCE_TIME start) {
    {
        std::lock_guard lock(lock_);
        FILTER_STATE from = state_;
        if (to == State_Running) start_ = start;
        state_ = to;
        if (from != to) OnStateChangeLocked(from, to);
        state_changed_.notify_all();
    }
    AfterStateChange(to);
    return S_OK;
}

STDMETHODIMP RuntimeFilter::Stop() { return ChangeState(State_Stopped, 0); }
STDMETHODIMP RuntimeFilter::Pause() { return ChangeState(State_Paused, 0); }
STDMETHODIMP RuntimeFilter::Run(REFERENCE_TIME start) { return ChangeState(State_Running, start); }

// A pause that has not completed (a renderer still waiting for data) is
// waited for up to `timeout` ms, then reported as VFW_S_STATE_INTERMEDIATE.
STDMETHODIMP RuntimeFilter::GetState(DWORD timeout, FILTER_STATE *state) {
    if (state == nullptr) return E_POINTER;
    std::unique_lock lock(lock_);
    auto complete = [this] { return state_ != State_Paused || PauseCompleteLocked(); };
    if (timeout == INFINITE) {
        state_changed_.wait(lock, complete);
    } else {
        state_changed_.wait_for(lock, std::chrono::milliseconds(timeout), complete);
    }
    *state = state_;
    return complete() ? S_OK : VFW_S_STATE_INTERMEDIATE;
}

STDMETHODIMP RuntimeFilter::SetSyncSource(IReferenceClock *clock) {
    std::lock_guard lock(lock_);
    clock_ = ComPtr<IReferenceClock>(clock);
    return S_OK;
}

STDMETHODIMP RuntimeFilter::GetSyncSource(IReferenceClock **clock) {
    if (clock == nullptr) return E_POINTER;
    std::lock_guard lock(lock_);
    *clock = clock_.Get();
    if (*clock) (*clock)->AddRef();
    return S_OK;
}

STDMETHODIMP RuntimeFilter::EnumPins(IEnumPins **enumerator) {
    if (enumerator == nullptr) return E_POINTER;
    std::vector<ComPtr<IPin>> pins;
    for (IPin *pin : Pins()) pins.emplace_back(pin);
    *enumerator = new (std::nothrow) PinEnumerator(std::move(pins), 0);
    return *enumerator ? S_OK : E_OUTOFMEMORY;
}

// Pins are found by their names, which are also their ids.
STDMETHODIMP RuntimeFilter::FindPin(LPCWSTR id, IPin **pin) {
    if (id == nullptr || pin == nullptr) return E_POINTER;
    *pin = nullptr;
    std::u16string wanted = Text(id);
    for (IPin *candidate : Pins()) {
        if (static_cast<RuntimePin *>(candidate)->Name() == wanted) {
            candidate->AddRef();
            *pin = candidate;
            return S_OK;
        }
    }
    return VFW_E_NOT_FOUND;
}

// The graph pointer given out carries a reference, as documented.
STDMETHODIMP RuntimeFilter::QueryFilterInfo(FILTER_INFO *info) {
    if (info == nullptr) return E_POINTER;
    std::lock_guard lock(lock_);
    CopyName(name_, info->achName, MAX_FILTER_NAME);
    info->pGraph = graph_;
    if (graph_) graph_->AddRef();
    return S_OK;
}

STDMETHODIMP RuntimeFilter::JoinFilterGraph(IFilterGraph *graph, LPCWSTR name) {
    std::lock_guard lock(lock_);
    graph_ = graph;
    name_ = graph != nullptr ? Text(name) : std::u16string();
    return S_OK;
}

STDMETHODIMP RuntimeFilter::QueryVendorInfo(LPWSTR *vendor_info) {
    if (vendor_info != nullptr) *vendor_info = nullptr;
    return E_NOTIMPL;
}

void RuntimeFilter::NotifyEvent(LONG code, LONG_PTR first, LONG_PTR second) {
    ComPtr<IMediaEventSink> sink;
    {
        std::lock_guard lock(lock_);
        if (graph_ == nullptr ||
            FAILED(graph_->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void **>(sink.Receive())))) {
            return;
        }
    }
    sink->Notify(code, first, second);
}

// --- RuntimePin ---

STDMETHODIMP RuntimePin::QueryInterface(REFIID riid, void **object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IPin) {
        *object = static_cast<IPin *>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

// Only a stopped filter's pins disconnect (VFW_E_NOT_STOPPED otherwise);
// S_FALSE when there was no connection.
STDMETHODIMP RuntimePin::Disconnect() {
    std::lock_guard lock(filter_.Lock());
    if (filter_.StateLocked() != State_Stopped) return VFW_E_NOT_STOPPED;
    if (!connected_) return S_FALSE;
    connected_.Reset();
    connection_type_.Clear();
    return S_OK;
}

STDMETHODIMP RuntimePin::ConnectedTo(IPin **pin) {
    if (pin == nullptr) return E_POINTER;
    std::lock_guard lock(filter_.Lock());
    *pin = connected_.Get();
    if (*pin == nullptr) return VFW_E_NOT_CONNECTED;
    (*pin)->AddRef();
    return S_OK;
}

STDMETHODIMP RuntimePin::ConnectionMediaType(AM_MEDIA_TYPE *type) {
    if (type == nullptr) return E_POINTER;
    std::lock_guard lock(filter_.Lock());
    if (!connected_) {
        std::memset(type, 0, sizeof *type);
        return VFW_E_NOT_CONNECTED;
    }
    return CopyMediaType(*type, connection_type_.Get());
}

STDMETHODIMP RuntimePin::QueryPinInfo(PIN_INFO *info) {
    if (info == nullptr) return E_POINTER;
    info->pFilter = &filter_;
    filter_.AddRef();
    info->dir = direction_;
    CopyName(name_, info->achName, MAX_PIN_NAME);
    return S_OK;
}

STDMETHODIMP RuntimePin::QueryDirection(PIN_DIRECTION *direction) {
    if (direction == nullptr) return E_POINTER;
    *direction = direction_;
    return S_OK;
}

STDMETHODIMP RuntimePin::QueryId(LPWSTR *id) {
    if (id == nullptr) return E_POINTER;
    *id = TaskMemoryCopy(name_);
    return *id ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP RuntimePin::QueryInternalConnections(IPin **pins, ULONG *count) { return E_NOTIMPL; }

// --- InputPin ---

STDMETHODIMP InputPin::QueryInterface(REFIID riid, void **object) {
    if (object == nullptr) return E_POINTER;
    if (riid == IID_IMemInputPin) {
        *object = static_cast<IMemInputPin *>(this);
        AddRef();
        return S_OK;
    }
    return RuntimePin::QueryInterface(riid, object);
}

// An input pin is connected to, never connects itself.
STDMETHODIMP InputPin::Connect(IPin *receive_pin, const AM_MEDIA_TYPE *type) { return E_UNEXPECTED; }

STDMETHODIMP InputPin::ReceiveConnection(IPin *connector, const AM_MEDIA_TYPE *type) {
    if (connector == nullptr || type == nullptr) return E_POINTER;
    PIN_DIRECTION direction;
    if (FAILED(connector->QueryDirection(&direction)) || direction != PINDIR_OUTPUT) return VFW_E_INVALID_DIRECTION;
    std::lock_guard lock(filter_.Lock());
    if (connected_) return VFW_E_ALREADY_CONNECTED;
    if (filter_.StateLocked() != State_Stopped) return VFW_E_NOT_STOPPED;
    if (owner_.CheckInputType(*type) != S_OK) return VFW_E_TYPE_NOT_ACCEPTED;
    connected_ = ComPtr<IPin>(connector);
    connection_type_.Set(*type);
    owner_.InputConnectionChanged();
    return S_OK;
}

STDMETHODIMP InputPin::Disconnect() {
    HRESULT hr = RuntimePin::Disconnect();
    if (hr == S_OK) {
        std::lock_guard lock(filter_.Lock());
        allocator_.Reset();
        owner_.InputConnectionChanged();
    }
    return hr;
}

STDMETHODIMP InputPin::QueryAccept(const AM_MEDIA_TYPE *type) {
    if (type == nullptr) return E_POINTER;
    std::lock_guard lock(filter_.Lock());
    return owner_.CheckInputType(*type) == S_OK ? S_OK : S_FALSE;
}

// An input pin has no types of its own to offer.
STDMETHODIMP InputPin::EnumMediaTypes(IEnumMediaTypes **enumerator) { return GiveMediaTypes({}, enumerator); }

// Refused while stopped (VFW_E_WRONG_STATE); ignored while flushing.
STDMETHODIMP InputPin::EndOfStream() {
    {
        std::lock_guard lock(filter_.Lock());
        if (filter_.StateLocked() == State_Stopped) return VFW_E_WRONG_STATE;
        if (flushing_) return S_FALSE;
        end_of_stream_ = true;
    }
    return owner_.InputEndOfStream();
}

STDMETHODIMP InputPin::BeginFlush() {
    {
        std::lock_guard lock(filter_.Lock());
        flushing_ = true;
        end_of_stream_ = false;
    }
    return owner_.InputBeginFlush();
}

STDMETHODIMP InputPin::EndFlush() {
    {
        std::lock_guard lock(filter_.Lock());
        flushing_ = false;
    }
    return owner_.InputEndFlush();
}

STDMETHODIMP InputPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    return owner_.InputNewSegment(start, stop, rate);
}

// The pin's own allocator is a memory allocator, made when first asked for.
STDMETHODIMP InputPin::GetAllocator(IMemAllocator **allocator) {
    if (allocator == nullptr) return E_POINTER;
    *allocator = nullptr;
    std::lock_guard lock(filter_.Lock());
    if (!allocator_) {
        HRESULT hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                      reinterpret_cast<void **>(allocator_.Receive()));
        if (FAILED(hr)) return hr;
    }
    *allocator = allocator_.Get();
    (*allocator)->AddRef();
    return S_OK;
}

STDMETHODIMP InputPin::NotifyAllocator(IMemAllocator *allocator, BOOL read_only) {
    if (allocator == nullptr) return E_POINTER;
    std::lock_guard lock(filter_.Lock());
    allocator_ = ComPtr<IMemAllocator>(allocator);
    return S_OK;
}

STDMETHODIMP InputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES *properties) { return E_NOTIMPL; }

// Stopped: VFW_E_WRONG_STATE. Flushing: S_FALSE, the sample dropped.
// After end of stream: VFW_E_SAMPLE_REJECTED_EOS.
STDMETHODIMP InputPin::Receive(IMediaSample *sample) {
    if (sample == nullptr) return E_POINTER;
    {
        std::lock_guard lock(filter_.Lock());
        if (filter_.StateLocked() == State_Stopped) return VFW_E_WRONG_STATE;
        if (!connected_) return VFW_E_NOT_CONNECTED;
        if (flushing_) return S_FALSE;
        if (end_of_stream_) return VFW_E_SAMPLE_REJECTED_EOS;
    }
    return owner_.ReceiveSample(sample);
}

STDMETHODIMP InputPin::ReceiveMultiple(IMediaSample **samples, LONG count, LONG *processed) {
    if (samples == nullptr || processed == nullptr) return E_POINTER;
    *processed = 0;
    HRESULT hr = S_OK;
    while (*processed < count) {
        hr = Receive(samples[*processed]);
        if (hr != S_OK) break;
        ++*processed;
    }
    return hr;
}

STDMETHODIMP InputPin::ReceiveCanBlock() { return owner_.ReceiveCanBlock() ? S_OK : S_FALSE; }

// --- OutputPin ---

// Offers the type its input is connected with; with `type` given, only
// that one if it matches. The peer must take samples (IMemInputPin).
STDMETHODIMP OutputPin::Connect(IPin *receive_pin, const AM_MEDIA_TYPE *type) {
    if (receive_pin == nullptr) return E_POINTER;
    MediaType offered;
    {
        std::lock_guard lock(filter_.Lock());
        if (connected_) return VFW_E_ALREADY_CONNECTED;
        if (filter_.StateLocked() != State_Stopped) return VFW_E_NOT_STOPPED;
        if (!input_.IsConnectedLocked()) return VFW_E_NO_ACCEPTABLE_TYPES;
        offered = input_.ConnectionTypeLocked();
    }
    if (type != nullptr && !TypeMatchesPartial(offered.Get(), *type)) return VFW_E_NO_ACCEPTABLE_TYPES;
    ComPtr<IMemInputPin> peer_input;
    if (FAILED(receive_pin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void **>(peer_input.Receive())))) {
        return VFW_E_NO_TRANSPORT;
    }
    HRESULT hr = receive_pin->ReceiveConnection(this, &offered.Get());
    if (FAILED(hr)) return hr == VFW_E_TYPE_NOT_ACCEPTED ? VFW_E_NO_ACCEPTABLE_TYPES : hr;
    std::lock_guard lock(filter_.Lock());
    connected_ = ComPtr<IPin>(receive_pin);
    connection_type_ = offered;
    peer_input_ = peer_input;
    return S_OK;
}

STDMETHODIMP OutputPin::ReceiveConnection(IPin *connector, const AM_MEDIA_TYPE *type) { return E_UNEXPECTED; }

STDMETHODIMP OutputPin::Disconnect() {
    HRESULT hr = RuntimePin::Disconnect();
    if (hr == S_OK) {
        std::lock_guard lock(filter_.Lock());
        peer_input_.Reset();
    }
    return hr;
}

STDMETHODIMP OutputPin::QueryAccept(const AM_MEDIA_TYPE *type) {
    if (type == nullptr) return E_POINTER;
    std::lock_guard lock(filter_.Lock());
    if (!input_.IsConnectedLocked()) return S_FALSE;
    return TypeMatchesPartial(input_.ConnectionTypeLocked().Get(), *type) ? S_OK : S_FALSE;
}

STDMETHODIMP OutputPin::EnumMediaTypes(IEnumMediaTypes **enumerator) {
    std::vector<MediaType> types;
    {
        std::lock_guard lock(filter_.Lock());
        if (input_.IsConnectedLocked()) types.push_back(input_.ConnectionTypeLocked());
    }
    return GiveMediaTypes(std::move(types), enumerator);
}

ComPtr<IPin> OutputPin::Peer() {
    std::lock_guard lock(filter_.Lock());
    return connected_;
}

ComPtr<IMemInputPin> OutputPin::PeerInput() {
    std::lock_guard lock(filter_.Lock());
    return peer_input_;
}

HRESULT OutputPin::Deliver(IMediaSample *sample) {
    ComPtr<IMemInputPin> peer = PeerInput();
    return peer ? peer->Receive(sample) : S_OK;
}

HRESULT OutputPin::DeliverEndOfStream() {
    ComPtr<IPin> peer = Peer();
    return peer ? peer->EndOfStream() : S_OK;
}

HRESULT OutputPin::DeliverBeginFlush() {
    ComPtr<IPin> peer = Peer();
    return peer ? peer->BeginFlush() : S_OK;
}

HRESULT OutputPin::DeliverEndFlush() {
    ComPtr<IPin> peer = Peer();
    return peer ? peer->EndFlush() : S_OK;
}

HRESULT OutputPin::DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    ComPtr<IPin> peer = Peer();
    return peer ? peer->NewSegment(start, stop, rate) : S_OK;
}

}  // namespace tm350::dshow
