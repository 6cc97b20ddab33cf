// Stand-ins for the peers a filter talks to: a downstream input pin with a
// memory input, an allocator with its samples, a filter graph with an event
// sink, and a reference clock. Each records what the filter did to it.
#pragma once

#include <streams.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace framework_test {

// Reference counting for a test double; the double deletes itself at 0.
template <class Interface>
class Counted : public Interface {
public:
    virtual ~Counted() = default;
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }
    ULONG references() const { return references_; }

private:
    std::atomic<ULONG> references_{1};
};

// A number that tests can wait for until it reaches a value.
class Counter {
public:
    void Add() {
        std::lock_guard lock(mutex_);
        ++value_;
        changed_.notify_all();
    }
    int value() {
        std::lock_guard lock(mutex_);
        return value_;
    }
    void WaitFor(int at_least) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return value_ >= at_least; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int value_ = 0;
};

class TestSample : public Counted<IMediaSample> {
public:
    explicit TestSample(LONG size) : data_(size) {}
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP GetPointer(BYTE **ppBuffer) override {
        *ppBuffer = data_.data();
        return S_OK;
    }
    STDMETHODIMP_(LONG) GetSize() override { return static_cast<LONG>(data_.size()); }
    STDMETHODIMP GetTime(REFERENCE_TIME *, REFERENCE_TIME *) override { return VFW_E_SAMPLE_TIME_NOT_SET; }
    STDMETHODIMP SetTime(REFERENCE_TIME *, REFERENCE_TIME *) override { return S_OK; }
    STDMETHODIMP IsSyncPoint() override { return S_FALSE; }
    STDMETHODIMP SetSyncPoint(BOOL) override { return S_OK; }
    STDMETHODIMP IsPreroll() override { return S_FALSE; }
    STDMETHODIMP SetPreroll(BOOL) override { return S_OK; }
    STDMETHODIMP_(LONG) GetActualDataLength() override { return static_cast<LONG>(data_.size()); }
    STDMETHODIMP SetActualDataLength(LONG) override { return S_OK; }
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE **ppMediaType) override {
        *ppMediaType = NULL;
        return S_FALSE;
    }
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE *) override { return S_OK; }
    STDMETHODIMP IsDiscontinuity() override { return S_FALSE; }
    STDMETHODIMP SetDiscontinuity(BOOL) override { return S_OK; }
    STDMETHODIMP GetMediaTime(LONGLONG *, LONGLONG *) override { return VFW_E_SAMPLE_TIME_NOT_SET; }
    STDMETHODIMP SetMediaTime(LONGLONG *, LONGLONG *) override { return S_OK; }

private:
    std::vector<BYTE> data_;
};

// Hands out samples while committed. A GetBuffer on a committed allocator
// with no buffer free waits, as the platform's does, until a sample comes
// back or the allocator is decommitted; here the test decides with
// set_buffers_free how many samples there are.
class TestAllocator : public Counted<IMemAllocator> {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES *pRequest, ALLOCATOR_PROPERTIES *pActual) override;
    STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES *pProps) override;
    STDMETHODIMP Commit() override;
    STDMETHODIMP Decommit() override;
    STDMETHODIMP GetBuffer(IMediaSample **ppBuffer, REFERENCE_TIME *, REFERENCE_TIME *, DWORD) override;
    STDMETHODIMP ReleaseBuffer(IMediaSample *) override { return S_OK; }

    // Without a limit, every GetBuffer gets a sample.
    void LimitBuffers(int count);
    int commits() { return commits_; }
    int decommits() { return decommits_; }
    bool committed();
    int set_properties_calls() { return set_properties_calls_; }
    ALLOCATOR_PROPERTIES properties() { return properties_; }
    Counter waiting_for_buffer;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool committed_ = false;
    int limit_ = -1;  // buffers left to hand out; -1: no limit
    std::atomic<int> commits_{0};
    std::atomic<int> decommits_{0};
    std::atomic<int> set_properties_calls_{0};
    ALLOCATOR_PROPERTIES properties_ = {};
};

// Receives events; also the filter graph the filter joins.
class TestGraph : public Counted<IFilterGraph>, public IMediaEventSink {
public:
    struct Event {
        LONG code;
        LONG_PTR param1;
        LONG_PTR param2;
    };
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return Counted<IFilterGraph>::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return Counted<IFilterGraph>::Release(); }
    STDMETHODIMP AddFilter(IBaseFilter *, LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP RemoveFilter(IBaseFilter *) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFilters(IEnumFilters **) override { return E_NOTIMPL; }
    STDMETHODIMP FindFilterByName(LPCWSTR, IBaseFilter **) override { return E_NOTIMPL; }
    STDMETHODIMP ConnectDirect(IPin *, IPin *, const AM_MEDIA_TYPE *) override { return E_NOTIMPL; }
    STDMETHODIMP Reconnect(IPin *) override { return E_NOTIMPL; }
    STDMETHODIMP Disconnect(IPin *) override { return E_NOTIMPL; }
    STDMETHODIMP SetDefaultSyncSource() override { return E_NOTIMPL; }
    STDMETHODIMP Notify(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) override;

    std::vector<Event> events();
    Counter notified;

private:
    std::mutex mutex_;
    std::vector<Event> events_;
};

class TestClock : public Counted<IReferenceClock> {
public:
    explicit TestClock(REFERENCE_TIME now) : now_(now) {}
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP GetTime(REFERENCE_TIME *pTime) override {
        *pTime = now_;
        return S_OK;
    }
    STDMETHODIMP AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR *) override { return E_NOTIMPL; }
    STDMETHODIMP AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR *) override { return E_NOTIMPL; }
    STDMETHODIMP Unadvise(DWORD_PTR) override { return E_NOTIMPL; }

private:
    REFERENCE_TIME now_;
};

// The downstream input pin. It accepts the types it is told to, may bring an
// allocator of its own, and counts what arrives.
class TestInputPin : public Counted<IPin>, public IMemInputPin {
public:
    TestInputPin();
    ~TestInputPin() override;

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return Counted<IPin>::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return Counted<IPin>::Release(); }

    // IPin
    STDMETHODIMP Connect(IPin *, const AM_MEDIA_TYPE *) override { return E_UNEXPECTED; }
    STDMETHODIMP ReceiveConnection(IPin *pConnector, const AM_MEDIA_TYPE *pmt) override;
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP ConnectedTo(IPin **pPin) override;
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE *) override { return E_NOTIMPL; }
    STDMETHODIMP QueryPinInfo(PIN_INFO *) override { return E_NOTIMPL; }
    STDMETHODIMP QueryDirection(PIN_DIRECTION *pPinDir) override {
        *pPinDir = direction;
        return S_OK;
    }
    STDMETHODIMP QueryId(LPWSTR *) override { return E_NOTIMPL; }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE *) override { return E_NOTIMPL; }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes **ppEnum) override;
    STDMETHODIMP QueryInternalConnections(IPin **, ULONG *) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override {
        end_of_stream.Add();
        return S_OK;
    }
    STDMETHODIMP BeginFlush() override { return S_OK; }
    STDMETHODIMP EndFlush() override { return S_OK; }
    STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

    // IMemInputPin
    STDMETHODIMP GetAllocator(IMemAllocator **ppAllocator) override;
    STDMETHODIMP NotifyAllocator(IMemAllocator *pAllocator, BOOL bReadOnly) override;
    STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES *pProps) override;
    STDMETHODIMP Receive(IMediaSample *pSample) override;
    STDMETHODIMP ReceiveMultiple(IMediaSample **, LONG, LONG *) override { return E_NOTIMPL; }
    STDMETHODIMP ReceiveCanBlock() override { return S_FALSE; }

    // What the pin does.
    PIN_DIRECTION direction = PINDIR_INPUT;
    bool has_memory_input = true;
    TestAllocator *own_allocator = NULL;  // referenced; null: GetAllocator fails
    HRESULT notify_allocator_result = S_OK;
    HRESULT receive_connection_result = S_OK;
    HRESULT receive_result = S_OK;
    std::vector<CMediaType> offered_types;  // what its enumerator lists
    ALLOCATOR_PROPERTIES requirements = {};

    // What happened to it.
    IPin *connector = NULL;  // referenced while connected
    CMediaType connection_type;
    IMemAllocator *notified_allocator = NULL;  // referenced
    int receive_connection_calls = 0;
    int disconnects = 0;
    Counter received;
    Counter end_of_stream;
};

// A media type of video with a format block of `format_length` bytes whose
// first byte is `tag`.
CMediaType VideoType(const GUID &subtype, BYTE tag, ULONG format_length = 16);

}  // namespace framework_test
