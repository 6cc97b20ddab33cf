// Small filters written against the published filter and pin interfaces,
// for driving the filter graph: a push source whose thread delivers a number
// of samples and then the end of the stream, a pass-through filter that
// turns one media type into another, and a sink that behaves as a renderer
// (it may hold the first sample while paused, as video renderers cue).
#pragma once

#include "dshow/com_ptr.h"

#include <dshow.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tm350::test {

// Every state call a test filter receives, "name:Pause", in call order
// across all filters that share the log.
class CallLog {
public:
    void Add(const std::string &call);
    std::vector<std::string> Take();

private:
    std::mutex lock_;
    std::vector<std::string> calls_;
};

class TestFilter;

class TestPin final : public IPin, public IMemInputPin {
public:
    TestPin(TestFilter &owner, PIN_DIRECTION direction, const GUID &major_type);

    STDMETHODIMP QueryInterface(REFIID iid, void **object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP Connect(IPin *receive_pin, const AM_MEDIA_TYPE *type) override;
    STDMETHODIMP ReceiveConnection(IPin *connector, const AM_MEDIA_TYPE *type) override;
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP ConnectedTo(IPin **pin) override;
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE *type) override;
    STDMETHODIMP QueryPinInfo(PIN_INFO *info) override;
    STDMETHODIMP QueryDirection(PIN_DIRECTION *direction) override;
    STDMETHODIMP QueryId(LPWSTR *id) override;
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE *type) override;
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes **enumerator) override;
    STDMETHODIMP QueryInternalConnections(IPin **pins, ULONG *count) override;
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;
    STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

    STDMETHODIMP GetAllocator(IMemAllocator **allocator) override;
    STDMETHODIMP NotifyAllocator(IMemAllocator *allocator, BOOL read_only) override;
    STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES *properties) override;
    STDMETHODIMP Receive(IMediaSample *sample) override;
    STDMETHODIMP ReceiveMultiple(IMediaSample **samples, LONG count, LONG *processed) override;
    STDMETHODIMP ReceiveCanBlock() override;

    ComPtr<IPin> peer();
    PIN_DIRECTION direction() const { return direction_; }

private:
    bool Accepts(const AM_MEDIA_TYPE *type) const;

    TestFilter &owner_;
    PIN_DIRECTION direction_;
    GUID major_type_;
    std::mutex lock_;
    ComPtr<IPin> peer_;
};

class TestFilter : public IBaseFilter {
public:
    // `name` identifies the filter in the call log.
    TestFilter(std::string name, std::shared_ptr<CallLog> log);

    STDMETHODIMP QueryInterface(REFIID iid, void **object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP GetClassID(CLSID *clsid) override;
    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Run(REFERENCE_TIME start) override;
    STDMETHODIMP GetState(DWORD timeout_ms, FILTER_STATE *state) override;
    STDMETHODIMP SetSyncSource(IReferenceClock *clock) override;
    STDMETHODIMP GetSyncSource(IReferenceClock **clock) override;
    STDMETHODIMP EnumPins(IEnumPins **enumerator) override;
    STDMETHODIMP FindPin(LPCWSTR id, IPin **pin) override;
    STDMETHODIMP QueryFilterInfo(FILTER_INFO *info) override;
    STDMETHODIMP JoinFilterGraph(IFilterGraph *graph, LPCWSTR name) override;
    STDMETHODIMP QueryVendorInfo(LPWSTR *info) override;

    TestPin *AddPin(PIN_DIRECTION direction, const GUID &major_type);
    IPin *pin(size_t index) { return pins_.at(index).get(); }
    FILTER_STATE state();
    REFERENCE_TIME start_time();
    ComPtr<IReferenceClock> clock();
    std::u16string joined_name();
    IFilterGraph *graph();
    void Notify(LONG code, LONG_PTR param1, LONG_PTR param2);
    // Makes every later Pause fail with `error`, leaving the state as it is.
    void FailPause(HRESULT error);

    // What the pins hand over; the base does nothing.
    virtual HRESULT OnReceive(IMediaSample *) { return S_OK; }
    virtual HRESULT OnEndOfStream() { return S_OK; }

protected:
    virtual ~TestFilter();
    // Called after the state has changed, under no lock of the filter.
    virtual void OnPaused(FILTER_STATE) {}
    virtual void OnRunning() {}
    virtual void OnStopped() {}
    virtual HRESULT StateOf(DWORD, FILTER_STATE *state);

    std::mutex lock_;
    std::condition_variable changed_;
    FILTER_STATE state_ = State_Stopped;

private:
    std::atomic<ULONG> references_{1};
    std::string name_;
    std::shared_ptr<CallLog> log_;
    std::vector<std::unique_ptr<TestPin>> pins_;
    REFERENCE_TIME start_time_ = 0;
    ComPtr<IReferenceClock> clock_;
    IFilterGraph *graph_ = nullptr;  // not referenced, as filters keep their graph
    std::u16string joined_name_;
    HRESULT pause_error_ = S_OK;
};

// A filter with one input and one output of another media type.
class PassThroughFilter final : public TestFilter {
public:
    PassThroughFilter(std::string name, std::shared_ptr<CallLog> log, const GUID &input_type,
                      const GUID &output_type);
    HRESULT OnReceive(IMediaSample *sample) override;
    HRESULT OnEndOfStream() override;
};

struct SourceOptions {
    int samples = 3;
    // After this many samples the source reports EC_ERRORABORT and ends the
    // stream, as a streaming thread does when a fill fails; -1: never.
    int fail_after = -1;
    // When set, the thread waits for Open() before its first sample.
    bool gated = false;
};

// A push source: leaving Stopped starts a thread that delivers its samples
// downstream (also while paused, as capture sources do) and then the end of
// the stream; Stop ends the thread.
class PushSource final : public TestFilter {
public:
    PushSource(std::string name, std::shared_ptr<CallLog> log, SourceOptions options,
               const GUID &type = MEDIATYPE_Video);
    void Open();
    int delivered() const { return delivered_; }

protected:
    ~PushSource() override;
    void OnPaused(FILTER_STATE previous) override;
    void OnStopped() override;

private:
    void Deliver();

    SourceOptions options_;
    std::thread thread_;
    std::mutex gate_lock_;
    std::condition_variable gate_changed_;
    bool gate_open_ = false;
    bool stopping_ = false;
    std::atomic<int> delivered_{0};
};

enum class Cueing { Off, On };

// A renderer: one input pin, no output. It reports EC_COMPLETE (with itself
// as second parameter) at the end of the stream, once running. With cueing
// on, a pause is complete only when the first sample has arrived, and that
// sample is held (Receive blocks) until the filter runs or stops.
class TestSink final : public TestFilter {
public:
    TestSink(std::string name, std::shared_ptr<CallLog> log, Cueing cueing = Cueing::Off,
             const GUID &type = MEDIATYPE_Video);
    HRESULT OnReceive(IMediaSample *sample) override;
    HRESULT OnEndOfStream() override;
    int received();
    // Waits until the end of the stream has arrived.
    void WaitForEndOfStream();
    bool holding_sample();

protected:
    void OnRunning() override;
    void OnStopped() override;
    HRESULT StateOf(DWORD timeout_ms, FILTER_STATE *state) override;

private:
    Cueing cueing_;
    int received_ = 0;
    bool cued_ = false;
    bool holding_ = false;
    bool end_of_stream_ = false;
    bool complete_reported_ = false;
};

// A filter that is its own reference clock (a stand-in for an audio
// renderer's clock); the time never moves.
class ClockFilter final : public TestFilter, public IReferenceClock {
public:
    ClockFilter(std::string name, std::shared_ptr<CallLog> log);
    STDMETHODIMP QueryInterface(REFIID iid, void **object) override;
    STDMETHODIMP_(ULONG) AddRef() override { return TestFilter::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return TestFilter::Release(); }
    STDMETHODIMP GetTime(REFERENCE_TIME *time) override;
    STDMETHODIMP AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR *) override { return E_NOTIMPL; }
    STDMETHODIMP AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR *) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Unadvise(DWORD_PTR) override { return E_NOTIMPL; }
};

// Creates a filter whose only reference the caller owns.
template <class Filter, class... Arguments>
ComPtr<Filter> Make(Arguments &&...arguments) {
    return ComPtr<Filter>::Adopt(new Filter(std::forward<Arguments>(arguments)...));
}

}  // namespace tm350::test
