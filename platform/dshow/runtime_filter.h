// What the runtime's own filters (the null renderer, the sample grabber)
// share: IBaseFilter's state, graph, clock and name, and pins that live as
// long as their filter. The filters' pins count references on the filter.
#pragma once

#include "dshow/com_object.h"
#include "dshow/media_types.h"

#include <windows.h>
#include <strmif.h>
#include <vfwmsgs.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace tm350::dshow {

class RuntimeFilter : public ComObject<IBaseFilter> {
public:
    explicit RuntimeFilter(REFCLSID clsid) : clsid_(clsid) {}

    STDMETHODIMP QueryInterface(REFIID riid, void **object) override;
    STDMETHODIMP GetClassID(CLSID *clsid) override;
    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Run(REFERENCE_TIME start) override;
    STDMETHODIMP GetState(DWORD timeout, FILTER_STATE *state) override;
    STDMETHODIMP SetSyncSource(IReferenceClock *clock) override;
    STDMETHODIMP GetSyncSource(IReferenceClock **clock) override;
    STDMETHODIMP EnumPins(IEnumPins **enumerator) override;
    STDMETHODIMP FindPin(LPCWSTR id, IPin **pin) override;
    STDMETHODIMP QueryFilterInfo(FILTER_INFO *info) override;
    STDMETHODIMP JoinFilterGraph(IFilterGraph *graph, LPCWSTR name) override;
    STDMETHODIMP QueryVendorInfo(LPWSTR *vendor_info) override;

    // The filter's lock: state, connections and streaming flags.
    std::mutex &Lock() { return lock_; }
    FILTER_STATE StateLocked() const { return state_; }
    // Sends an event to the graph's IMediaEventSink, if the filter is in a
    // graph that has one. Call without the lock.
    void NotifyEvent(LONG code, LONG_PTR first, LONG_PTR second);

protected:
    virtual std::vector<IPin *> Pins() = 0;
    // Called with the lock held as the state changes; the filter may
    // notify waiters through StateChanged().
    virtual void OnStateChangeLocked(FILTER_STATE from, FILTER_STATE to) {}
    // Whether a pause has completed (a renderer's has once it holds data).
    virtual bool PauseCompleteLocked() { return true; }
    // Called without the lock after the state changed.
    virtual void AfterStateChange(FILTER_STATE to) {}
    std::condition_variable &StateChanged() { return state_changed_; }

private:
    HRESULT ChangeState(FILTER_STATE to, REFERENCE_TIME start);

    const CLSID clsid_;
    std::mutex lock_;
    std::condition_variable state_changed_;
    FILTER_STATE state_ = State_Stopped;
    REFERENCE_TIME start_ = 0;
    // The graph owns its filters, so a filter does not count a reference
    // on its graph.
    IFilterGraph *graph_ = nullptr;
    std::u16string name_;
    ComPtr<IReferenceClock> clock_;
};

// A pin of a RuntimeFilter: its references are its filter's.
class RuntimePin : public IPin {
public:
    RuntimePin(RuntimeFilter &filter, std::u16string name, PIN_DIRECTION direction)
        : filter_(filter), name_(std::move(name)), direction_(direction) {}
    virtual ~RuntimePin() = default;

    STDMETHODIMP QueryInterface(REFIID riid, void **object) override;
    STDMETHODIMP_(ULONG) AddRef() override { return filter_.AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return filter_.Release(); }

    STDMETHODIMP Disconnect() override;
    STDMETHODIMP ConnectedTo(IPin **pin) override;
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE *type) override;
    STDMETHODIMP QueryPinInfo(PIN_INFO *info) override;
    STDMETHODIMP QueryDirection(PIN_DIRECTION *direction) override;
    STDMETHODIMP QueryId(LPWSTR *id) override;
    STDMETHODIMP QueryInternalConnections(IPin **pins, ULONG *count) override;

    const std::u16string &Name() const { return name_; }
    // Under the filter's lock.
    bool IsConnectedLocked() const { return static_cast<bool>(connected_); }
    const MediaType &ConnectionTypeLocked() const { return connection_type_; }

protected:
    RuntimeFilter &filter_;
    const std::u16string name_;
    const PIN_DIRECTION direction_;
    ComPtr<IPin> connected_;      // under the filter's lock
    MediaType connection_type_;  // under the filter's lock
};

// The stream side an input pin hands to its filter.
class InputPinOwner {
public:
    virtual HRESULT CheckInputType(const AM_MEDIA_TYPE &type) = 0;
    // A sample in Paused or Running, not flushing, before end of stream.
    virtual HRESULT ReceiveSample(IMediaSample *sample) = 0;
    virtual HRESULT InputEndOfStream() = 0;
    virtual HRESULT InputBeginFlush() = 0;
    virtual HRESULT InputEndFlush() = 0;
    virtual HRESULT InputNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) = 0;
    virtual bool ReceiveCanBlock() = 0;
    virtual void InputConnectionChanged() {}

protected:
    ~InputPinOwner() = default;
};

class InputPin final : public RuntimePin, public IMemInputPin {
public:
    InputPin(RuntimeFilter &filter, InputPinOwner &owner, std::u16string name)
        : RuntimePin(filter, std::move(name), PINDIR_INPUT), owner_(owner) {}

    STDMETHODIMP QueryInterface(REFIID riid, void **object) override;
    STDMETHODIMP_(ULONG) AddRef() override { return filter_.AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return filter_.Release(); }

    STDMETHODIMP Connect(IPin *receive_pin, const AM_MEDIA_TYPE *type) override;
    STDMETHODIMP ReceiveConnection(IPin *connector, const AM_MEDIA_TYPE *type) override;
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE *type) override;
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes **enumerator) override;
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

    // Streaming flags, under the filter's lock; Stop clears them.
    bool FlushingLocked() const { return flushing_; }
    bool EndOfStreamLocked() const { return end_of_stream_; }
    void ResetStreamLocked() {
        flushing_ = false;
        end_of_stream_ = false;
    }

private:
    InputPinOwner &owner_;
    ComPtr<IMemAllocator> allocator_;  // under the filter's lock
    bool flushing_ = false;
    bool end_of_stream_ = false;
};

// An output pin that passes on what its filter's input receives.
class OutputPin final : public RuntimePin {
public:
    // `offered` gives the one type the pin offers (its input's), if any.
    OutputPin(RuntimeFilter &filter, std::u16string name, InputPin &input)
        : RuntimePin(filter, std::move(name), PINDIR_OUTPUT), input_(input) {}

    STDMETHODIMP Connect(IPin *receive_pin, const AM_MEDIA_TYPE *type) override;
    STDMETHODIMP ReceiveConnection(IPin *connector, const AM_MEDIA_TYPE *type) override;
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE *type) override;
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes **enumerator) override;
    STDMETHODIMP EndOfStream() override { return E_UNEXPECTED; }
    STDMETHODIMP BeginFlush() override { return E_UNEXPECTED; }
    STDMETHODIMP EndFlush() override { return E_UNEXPECTED; }
    STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override { return S_OK; }

    // Downstream delivery, called without the filter's lock. An
    // unconnected output drops what it is given.
    HRESULT Deliver(IMediaSample *sample);
    HRESULT DeliverEndOfStream();
    HRESULT DeliverBeginFlush();
    HRESULT DeliverEndFlush();
    HRESULT DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

private:
    ComPtr<IPin> Peer();
    ComPtr<IMemInputPin> PeerInput();

    InputPin &input_;
    ComPtr<IMemInputPin> peer_input_;  // under the filter's lock
};

bool TypeMatchesPartial(const AM_MEDIA_TYPE &type, const AM_MEDIA_TYPE &partial);

}  // namespace tm350::dshow
