#include "framework/test_doubles.h"

#include <cstring>

namespace framework_test {

namespace {

template <class Interface>
HRESULT Answer(Interface *self, REFIID riid, REFIID iid, void **ppv) {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, iid)) {
        *ppv = self;
        self->AddRef();
        return S_OK;
    }
    *ppv = NULL;
    return E_NOINTERFACE;
}

class TypeList : public Counted<IEnumMediaTypes> {
public:
    TypeList(const std::vector<CMediaType> &types, size_t position) : types_(types), position_(position) {}
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override { return Answer(this, riid, IID_IEnumMediaTypes, ppv); }
    STDMETHODIMP Next(ULONG count, AM_MEDIA_TYPE **types, ULONG *fetched) override {
        ULONG n = 0;
        while (n < count && position_ < types_.size()) types[n++] = CreateMediaType(&types_[position_++]);
        if (fetched != NULL) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        position_ += count;
        return position_ <= types_.size() ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        position_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumMediaTypes **copy) override {
        *copy = new TypeList(types_, position_);
        return S_OK;
    }

private:
    std::vector<CMediaType> types_;
    size_t position_;
};

}  // namespace

STDMETHODIMP TestSample::QueryInterface(REFIID riid, void **ppv) { return Answer(this, riid, IID_IMediaSample, ppv); }

STDMETHODIMP TestAllocator::QueryInterface(REFIID riid, void **ppv) {
    return Answer(this, riid, IID_IMemAllocator, ppv);
}

STDMETHODIMP TestAllocator::SetProperties(ALLOCATOR_PROPERTIES *pRequest, ALLOCATOR_PROPERTIES *pActual) {
    ++set_properties_calls_;
    std::lock_guard lock(mutex_);
    if (committed_) return VFW_E_ALREADY_COMMITTED;
    properties_ = *pRequest;
    *pActual = *pRequest;
    return S_OK;
}

STDMETHODIMP TestAllocator::GetProperties(ALLOCATOR_PROPERTIES *pProps) {
    std::lock_guard lock(mutex_);
    *pProps = properties_;
    return S_OK;
}

STDMETHODIMP TestAllocator::Commit() {
    ++commits_;
    std::lock_guard lock(mutex_);
    committed_ = true;
    return S_OK;
}

STDMETHODIMP TestAllocator::Decommit() {
    ++decommits_;
    std::lock_guard lock(mutex_);
    committed_ = false;
    changed_.notify_all();
    return S_OK;
}

bool TestAllocator::committed() {
    std::lock_guard lock(mutex_);
    return committed_;
}

void TestAllocator::LimitBuffers(int count) {
    std::lock_guard lock(mutex_);
    limit_ = count;
    changed_.notify_all();
}

STDMETHODIMP TestAllocator::GetBuffer(IMediaSample **ppBuffer, REFERENCE_TIME *, REFERENCE_TIME *, DWORD) {
    *ppBuffer = NULL;
    std::unique_lock lock(mutex_);
    if (committed_ && limit_ == 0) {
        waiting_for_buffer.Add();
        changed_.wait(lock, [&] { return !committed_ || limit_ != 0; });
    }
    if (!committed_) return VFW_E_NOT_COMMITTED;
    if (limit_ > 0) --limit_;
    *ppBuffer = new TestSample(properties_.cbBuffer > 0 ? properties_.cbBuffer : 16);
    return S_OK;
}

STDMETHODIMP TestGraph::QueryInterface(REFIID riid, void **ppv) {
    if (IsEqualIID(riid, IID_IMediaEventSink)) {
        *ppv = static_cast<IMediaEventSink *>(this);
        AddRef();
        return S_OK;
    }
    return Answer(static_cast<IFilterGraph *>(this), riid, IID_IFilterGraph, ppv);
}

STDMETHODIMP TestGraph::Notify(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) {
    {
        std::lock_guard lock(mutex_);
        events_.push_back({EventCode, EventParam1, EventParam2});
    }
    notified.Add();
    return S_OK;
}

std::vector<TestGraph::Event> TestGraph::events() {
    std::lock_guard lock(mutex_);
    return events_;
}

STDMETHODIMP TestClock::QueryInterface(REFIID riid, void **ppv) { return Answer(this, riid, IID_IReferenceClock, ppv); }

TestInputPin::TestInputPin() = default;

TestInputPin::~TestInputPin() {
    if (own_allocator != NULL) own_allocator->Release();
    if (notified_allocator != NULL) notified_allocator->Release();
    if (connector != NULL) connector->Release();
}

STDMETHODIMP TestInputPin::QueryInterface(REFIID riid, void **ppv) {
    if (IsEqualIID(riid, IID_IMemInputPin)) {
        if (!has_memory_input) {
            *ppv = NULL;
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IMemInputPin *>(this);
        AddRef();
        return S_OK;
    }
    return Answer(static_cast<IPin *>(this), riid, IID_IPin, ppv);
}

STDMETHODIMP TestInputPin::ReceiveConnection(IPin *pConnector, const AM_MEDIA_TYPE *pmt) {
    ++receive_connection_calls;
    if (FAILED(receive_connection_result)) return receive_connection_result;
    if (connector != NULL) return VFW_E_ALREADY_CONNECTED;
    connector = pConnector;
    connector->AddRef();
    connection_type = *pmt;
    return S_OK;
}

STDMETHODIMP TestInputPin::Disconnect() {
    ++disconnects;
    if (connector == NULL) return S_FALSE;
    connector->Release();
    connector = NULL;
    return S_OK;
}

STDMETHODIMP TestInputPin::ConnectedTo(IPin **pPin) {
    *pPin = connector;
    if (connector == NULL) return VFW_E_NOT_CONNECTED;
    connector->AddRef();
    return S_OK;
}

STDMETHODIMP TestInputPin::EnumMediaTypes(IEnumMediaTypes **ppEnum) {
    *ppEnum = new TypeList(offered_types, 0);
    return S_OK;
}

STDMETHODIMP TestInputPin::GetAllocator(IMemAllocator **ppAllocator) {
    *ppAllocator = own_allocator;
    if (own_allocator == NULL) return VFW_E_NO_ALLOCATOR;
    own_allocator->AddRef();
    return S_OK;
}

STDMETHODIMP TestInputPin::NotifyAllocator(IMemAllocator *pAllocator, BOOL) {
    if (FAILED(notify_allocator_result)) return notify_allocator_result;
    pAllocator->AddRef();
    if (notified_allocator != NULL) notified_allocator->Release();
    notified_allocator = pAllocator;
    return S_OK;
}

STDMETHODIMP TestInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES *pProps) {
    *pProps = requirements;
    return S_OK;
}

STDMETHODIMP TestInputPin::Receive(IMediaSample *) {
    received.Add();
    return receive_result;
}

CMediaType VideoType(const GUID &subtype, BYTE tag, ULONG format_length) {
    CMediaType type(&MEDIATYPE_Video);
    type.SetSubtype(&subtype);
    type.SetFormatType(&FORMAT_VideoInfo);
    BYTE *format = type.AllocFormatBuffer(format_length);
    memset(format, 0, format_length);
    format[0] = tag;
    return type;
}

}  // namespace framework_test
