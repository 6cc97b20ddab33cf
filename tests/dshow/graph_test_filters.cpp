#include "dshow/graph_test_filters.h"

#include "common/text.h"

#include <cstring>

namespace tm350::test {

namespace {

// A sample that carries nothing: the test sinks count samples, never read
// them.
class EmptySample final : public IMediaSample {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void **object) override {
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMediaSample)) {
            *object = static_cast<IMediaSample *>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }
    STDMETHODIMP GetPointer(BYTE **buffer) override {
        *buffer = nullptr;
        return S_OK;
    }
    STDMETHODIMP_(LONG) GetSize() override { return 0; }
    STDMETHODIMP GetTime(REFERENCE_TIME *, REFERENCE_TIME *) override { return VFW_E_SAMPLE_TIME_NOT_SET; }
    STDMETHODIMP SetTime(REFERENCE_TIME *, REFERENCE_TIME *) override { return S_OK; }
    STDMETHODIMP IsSyncPoint() override { return S_OK; }
    STDMETHODIMP SetSyncPoint(BOOL) override { return S_OK; }
    STDMETHODIMP IsPreroll() override { return S_FALSE; }
    STDMETHODIMP SetPreroll(BOOL) override { return S_OK; }
    STDMETHODIMP_(LONG) GetActualDataLength() override { return 0; }
    STDMETHODIMP SetActualDataLength(LONG) override { return S_OK; }
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE **type) override {
        *type = nullptr;
        return S_FALSE;
    }
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE *) override { return S_OK; }
    STDMETHODIMP IsDiscontinuity() override { return S_FALSE; }
    STDMETHODIMP SetDiscontinuity(BOOL) override { return S_OK; }
    STDMETHODIMP GetMediaTime(LONGLONG *, LONGLONG *) override { return E_NOTIMPL; }
    STDMETHODIMP SetMediaTime(LONGLONG *, LONGLONG *) override { return S_OK; }

private:
    std::atomic<ULONG> references_{1};
};

class PinEnumerator final : public IEnumPins {
public:
    explicit PinEnumerator(std::vector<ComPtr<IPin>> pins) : pins_(std::move(pins)) {}
    STDMETHODIMP QueryInterface(REFIID iid, void **object) override {
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IEnumPins)) {
            *object = static_cast<IEnumPins *>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }
    STDMETHODIMP Next(ULONG count, IPin **pins, ULONG *fetched) override {
        ULONG returned = 0;
        while (returned < count && position_ < pins_.size()) {
            pins[returned] = pins_[position_++].Get();
            pins[returned++]->AddRef();
        }
        if (fetched != nullptr) *fetched = returned;
        return returned == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        position_ += count;
        return position_ <= pins_.size() ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        position_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumPins **) override { return E_NOTIMPL; }

private:
    std::atomic<ULONG> references_{1};
    std::vector<ComPtr<IPin>> pins_;
    size_t position_ = 0;
};

AM_MEDIA_TYPE TypeWithMajor(const GUID &major) {
    AM_MEDIA_TYPE type{};
    type.majortype = major;
    type.bFixedSizeSamples = TRUE;
    type.lSampleSize = 1;
    return type;
}

}  // namespace

void CallLog::Add(const std::string &call) {
    std::lock_guard lock(lock_);
    calls_.push_back(call);
}

std::vector<std::string> CallLog::Take() {
    std::lock_guard lock(lock_);
    return std::exchange(calls_, {});
}

// --- TestPin -------------------------------------------------------------

TestPin::TestPin(TestFilter &owner, PIN_DIRECTION direction, const GUID &major_type)
    : owner_(owner), direction_(direction), major_type_(major_type) {}

STDMETHODIMP TestPin::QueryInterface(REFIID iid, void **object) {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPin)) {
        *object = static_cast<IPin *>(this);
    } else if (direction_ == PINDIR_INPUT && IsEqualGUID(iid, IID_IMemInputPin)) {
        *object = static_cast<IMemInputPin *>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

// Pins live as long as their filter.
STDMETHODIMP_(ULONG) TestPin::AddRef() { return owner_.AddRef(); }
STDMETHODIMP_(ULONG) TestPin::Release() { return owner_.Release(); }

bool TestPin::Accepts(const AM_MEDIA_TYPE *type) const {
    return type == nullptr || IsEqualGUID(type->majortype, GUID_NULL) || IsEqualGUID(type->majortype, major_type_);
}

STDMETHODIMP TestPin::Connect(IPin *receive_pin, const AM_MEDIA_TYPE *type) {
    if (receive_pin == nullptr) return E_POINTER;
    std::lock_guard lock(lock_);
    if (peer_) return VFW_E_ALREADY_CONNECTED;
    if (owner_.state() != State_Stopped) return VFW_E_NOT_STOPPED;
    PIN_DIRECTION other = PINDIR_OUTPUT;
    receive_pin->QueryDirection(&other);
    if (other == direction_) return VFW_E_INVALID_DIRECTION;
    if (!Accepts(type)) return VFW_E_TYPE_NOT_ACCEPTED;
    AM_MEDIA_TYPE offered = TypeWithMajor(major_type_);
    HRESULT hr = receive_pin->ReceiveConnection(this, &offered);
    if (FAILED(hr)) return hr;
    peer_ = receive_pin;
    return S_OK;
}

STDMETHODIMP TestPin::ReceiveConnection(IPin *connector, const AM_MEDIA_TYPE *type) {
    if (connector == nullptr || type == nullptr) return E_POINTER;
    std::lock_guard lock(lock_);
    if (peer_) return VFW_E_ALREADY_CONNECTED;
    if (owner_.state() != State_Stopped) return VFW_E_NOT_STOPPED;
    if (!IsEqualGUID(type->majortype, major_type_)) return VFW_E_TYPE_NOT_ACCEPTED;
    peer_ = connector;
    return S_OK;
}

STDMETHODIMP TestPin::Disconnect() {
    std::lock_guard lock(lock_);
    if (owner_.state() != State_Stopped) return VFW_E_NOT_STOPPED;
    if (!peer_) return S_FALSE;
    peer_.Reset();
    return S_OK;
}

ComPtr<IPin> TestPin::peer() {
    std::lock_guard lock(lock_);
    return peer_;
}

STDMETHODIMP TestPin::ConnectedTo(IPin **pin) {
    if (pin == nullptr) return E_POINTER;
    *pin = peer().Detach();
    return *pin != nullptr ? S_OK : VFW_E_NOT_CONNECTED;
}

STDMETHODIMP TestPin::ConnectionMediaType(AM_MEDIA_TYPE *type) {
    if (type == nullptr) return E_POINTER;
    *type = TypeWithMajor(major_type_);
    return peer() ? S_OK : VFW_E_NOT_CONNECTED;
}

STDMETHODIMP TestPin::QueryPinInfo(PIN_INFO *info) {
    if (info == nullptr) return E_POINTER;
    std::memset(info, 0, sizeof *info);
    info->pFilter = &owner_;
    owner_.AddRef();
    info->dir = direction_;
    info->achName[0] = direction_ == PINDIR_INPUT ? u'I' : u'O';
    return S_OK;
}

STDMETHODIMP TestPin::QueryDirection(PIN_DIRECTION *direction) {
    if (direction == nullptr) return E_POINTER;
    *direction = direction_;
    return S_OK;
}

STDMETHODIMP TestPin::QueryId(LPWSTR *) { return E_NOTIMPL; }
STDMETHODIMP TestPin::QueryAccept(const AM_MEDIA_TYPE *type) { return Accepts(type) ? S_OK : S_FALSE; }
STDMETHODIMP TestPin::EnumMediaTypes(IEnumMediaTypes **) { return E_NOTIMPL; }
STDMETHODIMP TestPin::QueryInternalConnections(IPin **, ULONG *) { return E_NOTIMPL; }
STDMETHODIMP TestPin::EndOfStream() { return direction_ == PINDIR_INPUT ? owner_.OnEndOfStream() : E_UNEXPECTED; }
STDMETHODIMP TestPin::BeginFlush() { return S_OK; }
STDMETHODIMP TestPin::EndFlush() { return S_OK; }
STDMETHODIMP TestPin::NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) { return S_OK; }
STDMETHODIMP TestPin::GetAllocator(IMemAllocator **allocator) {
    *allocator = nullptr;
    return VFW_E_NO_ALLOCATOR;
}
STDMETHODIMP TestPin::NotifyAllocator(IMemAllocator *, BOOL) { return S_OK; }
STDMETHODIMP TestPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES *) { return E_NOTIMPL; }
STDMETHODIMP TestPin::Receive(IMediaSample *sample) { return owner_.OnReceive(sample); }
STDMETHODIMP TestPin::ReceiveMultiple(IMediaSample **samples, LONG count, LONG *processed) {
    *processed = 0;
    for (LONG i = 0; i < count; ++i) {
        HRESULT hr = Receive(samples[i]);
        if (hr != S_OK) return hr;
        ++*processed;
    }
    return S_OK;
}
STDMETHODIMP TestPin::ReceiveCanBlock() { return S_OK; }

// --- TestFilter ----------------------------------------------------------

TestFilter::TestFilter(std::string name, std::shared_ptr<CallLog> log) : name_(std::move(name)), log_(std::move(log)) {}

TestFilter::~TestFilter() = default;

STDMETHODIMP TestFilter::QueryInterface(REFIID iid, void **object) {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IBaseFilter) || IsEqualGUID(iid, IID_IMediaFilter) ||
        IsEqualGUID(iid, IID_IPersist)) {
        *object = static_cast<IBaseFilter *>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) TestFilter::AddRef() { return ++references_; }
STDMETHODIMP_(ULONG) TestFilter::Release() {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

STDMETHODIMP TestFilter::GetClassID(CLSID *clsid) {
    *clsid = GUID_NULL;
    return S_OK;
}

STDMETHODIMP TestFilter::Stop() {
    if (log_) log_->Add(name_ + ":Stop");
    {
        std::lock_guard lock(lock_);
        state_ = State_Stopped;
    }
    changed_.notify_all();
    OnStopped();
    return S_OK;
}

STDMETHODIMP TestFilter::Pause() {
    if (log_) log_->Add(name_ + ":Pause");
    FILTER_STATE previous;
    {
        std::lock_guard lock(lock_);
        if (FAILED(pause_error_)) return pause_error_;
        previous = std::exchange(state_, State_Paused);
    }
    changed_.notify_all();
    OnPaused(previous);
    return S_OK;
}

STDMETHODIMP TestFilter::Run(REFERENCE_TIME start) {
    if (log_) log_->Add(name_ + ":Run");
    {
        std::lock_guard lock(lock_);
        state_ = State_Running;
        start_time_ = start;
    }
    changed_.notify_all();
    OnRunning();
    return S_OK;
}

STDMETHODIMP TestFilter::GetState(DWORD timeout_ms, FILTER_STATE *state) {
    if (state == nullptr) return E_POINTER;
    return StateOf(timeout_ms, state);
}

HRESULT TestFilter::StateOf(DWORD, FILTER_STATE *state) {
    std::lock_guard lock(lock_);
    *state = state_;
    return S_OK;
}

STDMETHODIMP TestFilter::SetSyncSource(IReferenceClock *clock) {
    std::lock_guard lock(lock_);
    clock_ = clock;
    return S_OK;
}

STDMETHODIMP TestFilter::GetSyncSource(IReferenceClock **clock) {
    std::lock_guard lock(lock_);
    *clock = ComPtr<IReferenceClock>(clock_).Detach();
    return S_OK;
}

STDMETHODIMP TestFilter::EnumPins(IEnumPins **enumerator) {
    std::vector<ComPtr<IPin>> pins;
    for (const auto &pin : pins_) pins.push_back(ComPtr<IPin>(pin.get()));
    *enumerator = new PinEnumerator(std::move(pins));
    return S_OK;
}

STDMETHODIMP TestFilter::FindPin(LPCWSTR, IPin **) { return E_NOTIMPL; }

STDMETHODIMP TestFilter::QueryFilterInfo(FILTER_INFO *info) {
    std::lock_guard lock(lock_);
    std::memset(info, 0, sizeof *info);
    std::memcpy(info->achName, joined_name_.c_str(), (joined_name_.size() + 1) * sizeof(WCHAR));
    info->pGraph = graph_;
    if (graph_ != nullptr) graph_->AddRef();
    return S_OK;
}

STDMETHODIMP TestFilter::JoinFilterGraph(IFilterGraph *graph, LPCWSTR name) {
    if (log_) log_->Add(name_ + (graph != nullptr ? ":Join" : ":Leave"));
    std::lock_guard lock(lock_);
    graph_ = graph;
    joined_name_ = name != nullptr ? std::u16string(text::View(name)) : std::u16string();
    return S_OK;
}

STDMETHODIMP TestFilter::QueryVendorInfo(LPWSTR *) { return E_NOTIMPL; }

TestPin *TestFilter::AddPin(PIN_DIRECTION direction, const GUID &major_type) {
    pins_.push_back(std::make_unique<TestPin>(*this, direction, major_type));
    return pins_.back().get();
}

FILTER_STATE TestFilter::state() {
    std::lock_guard lock(lock_);
    return state_;
}

REFERENCE_TIME TestFilter::start_time() {
    std::lock_guard lock(lock_);
    return start_time_;
}

ComPtr<IReferenceClock> TestFilter::clock() {
    std::lock_guard lock(lock_);
    return clock_;
}

std::u16string TestFilter::joined_name() {
    std::lock_guard lock(lock_);
    return joined_name_;
}

IFilterGraph *TestFilter::graph() {
    std::lock_guard lock(lock_);
    return graph_;
}

void TestFilter::FailPause(HRESULT error) {
    std::lock_guard lock(lock_);
    pause_error_ = error;
}

// As a filter reports to its graph: through the graph's IMediaEventSink.
void TestFilter::Notify(LONG code, LONG_PTR param1, LONG_PTR param2) {
    IFilterGraph *graph = this->graph();
    if (graph == nullptr) return;
    ComPtr<IMediaEventSink> sink;
    if (SUCCEEDED(graph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void **>(sink.Receive())))) {
        sink->Notify(code, param1, param2);
    }
}

// --- PassThroughFilter ---------------------------------------------------

PassThroughFilter::PassThroughFilter(std::string name, std::shared_ptr<CallLog> log, const GUID &input_type,
                                     const GUID &output_type)
    : TestFilter(std::move(name), std::move(log)) {
    AddPin(PINDIR_INPUT, input_type);
    AddPin(PINDIR_OUTPUT, output_type);
}

HRESULT PassThroughFilter::OnReceive(IMediaSample *sample) {
    ComPtr<IMemInputPin> next;
    if (ComPtr<IPin> peer = static_cast<TestPin *>(pin(1))->peer()) {
        peer->QueryInterface(IID_IMemInputPin, reinterpret_cast<void **>(next.Receive()));
    }
    return next ? next->Receive(sample) : VFW_E_NOT_CONNECTED;
}

HRESULT PassThroughFilter::OnEndOfStream() {
    ComPtr<IPin> peer = static_cast<TestPin *>(pin(1))->peer();
    return peer ? peer->EndOfStream() : VFW_E_NOT_CONNECTED;
}

// --- PushSource ----------------------------------------------------------

PushSource::PushSource(std::string name, std::shared_ptr<CallLog> log, SourceOptions options, const GUID &type)
    : TestFilter(std::move(name), std::move(log)), options_(options) {
    AddPin(PINDIR_OUTPUT, type);
}

PushSource::~PushSource() { OnStopped(); }

void PushSource::Open() {
    {
        std::lock_guard lock(gate_lock_);
        gate_open_ = true;
    }
    gate_changed_.notify_all();
}

void PushSource::OnPaused(FILTER_STATE previous) {
    if (previous != State_Stopped || !static_cast<TestPin *>(pin(0))->peer()) return;
    {
        std::lock_guard lock(gate_lock_);
        stopping_ = false;
    }
    thread_ = std::thread(&PushSource::Deliver, this);
}

void PushSource::OnStopped() {
    {
        std::lock_guard lock(gate_lock_);
        stopping_ = true;
    }
    gate_changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void PushSource::Deliver() {
    ComPtr<IPin> peer = static_cast<TestPin *>(pin(0))->peer();
    ComPtr<IMemInputPin> input;
    peer->QueryInterface(IID_IMemInputPin, reinterpret_cast<void **>(input.Receive()));
    if (options_.gated) {
        std::unique_lock lock(gate_lock_);
        gate_changed_.wait(lock, [&] { return gate_open_ || stopping_; });
        if (stopping_) return;
    }
    for (int i = 0; i < options_.samples; ++i) {
        {
            std::lock_guard lock(gate_lock_);
            if (stopping_) return;
        }
        if (i == options_.fail_after) {
            Notify(EC_ERRORABORT, E_FAIL, 0);
            break;
        }
        auto sample = ComPtr<IMediaSample>::Adopt(new EmptySample());
        if (input->Receive(sample.Get()) != S_OK) return;
        ++delivered_;
    }
    peer->EndOfStream();
}

// --- TestSink ------------------------------------------------------------

TestSink::TestSink(std::string name, std::shared_ptr<CallLog> log, Cueing cueing, const GUID &type)
    : TestFilter(std::move(name), std::move(log)), cueing_(cueing) {
    AddPin(PINDIR_INPUT, type);
}

HRESULT TestSink::OnReceive(IMediaSample *) {
    std::unique_lock lock(lock_);
    if (state_ == State_Stopped) return VFW_E_WRONG_STATE;
    ++received_;
    cued_ = true;
    changed_.notify_all();
    if (cueing_ == Cueing::On && state_ == State_Paused) {
        holding_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return state_ != State_Paused; });
        holding_ = false;
        if (state_ == State_Stopped) return VFW_E_WRONG_STATE;
    }
    return S_OK;
}

HRESULT TestSink::OnEndOfStream() {
    bool report = false;
    {
        std::lock_guard lock(lock_);
        end_of_stream_ = true;
        cued_ = true;
        report = state_ == State_Running && !complete_reported_;
        complete_reported_ = complete_reported_ || report;
    }
    changed_.notify_all();
    if (report) Notify(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter *>(this)));
    return S_OK;
}

// An end of stream that came while paused is reported once running.
void TestSink::OnRunning() {
    bool report = false;
    {
        std::lock_guard lock(lock_);
        report = end_of_stream_ && !complete_reported_;
        complete_reported_ = complete_reported_ || report;
    }
    if (report) Notify(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter *>(this)));
}

void TestSink::OnStopped() {
    std::lock_guard lock(lock_);
    cued_ = false;
    end_of_stream_ = false;
    complete_reported_ = false;
}

HRESULT TestSink::StateOf(DWORD timeout_ms, FILTER_STATE *state) {
    std::unique_lock lock(lock_);
    if (cueing_ == Cueing::On && state_ == State_Paused) {
        auto ready = [&] { return cued_ || state_ != State_Paused; };
        if (timeout_ms == INFINITE) {
            changed_.wait(lock, ready);
        } else {
            changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready);
        }
        *state = state_;
        return cued_ || state_ != State_Paused ? S_OK : VFW_S_STATE_INTERMEDIATE;
    }
    *state = state_;
    return S_OK;
}

int TestSink::received() {
    std::lock_guard lock(lock_);
    return received_;
}

void TestSink::WaitForEndOfStream() {
    std::unique_lock lock(lock_);
    changed_.wait(lock, [&] { return end_of_stream_; });
}

bool TestSink::holding_sample() {
    std::lock_guard lock(lock_);
    return holding_;
}

// --- ClockFilter ---------------------------------------------------------

ClockFilter::ClockFilter(std::string name, std::shared_ptr<CallLog> log) : TestFilter(std::move(name), std::move(log)) {}

STDMETHODIMP ClockFilter::QueryInterface(REFIID iid, void **object) {
    if (IsEqualGUID(iid, IID_IReferenceClock)) {
        *object = static_cast<IReferenceClock *>(this);
        AddRef();
        return S_OK;
    }
    return TestFilter::QueryInterface(iid, object);
}

STDMETHODIMP ClockFilter::GetTime(REFERENCE_TIME *time) {
    *time = 1234567;
    return S_OK;
}

}  // namespace tm350::test
