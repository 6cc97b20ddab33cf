// A stand-in for the filters around the runtime's filters in a graph: an
// output pin that connects and sends samples, and a graph that records the
// events it is sent.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

namespace tm350::test {

template <class... Interfaces>
class TestObject : public Interfaces... {
public:
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }
    virtual ~TestObject() = default;

private:
    std::atomic<ULONG> references_{1};
};

class TestSourcePin final : public TestObject<IPin> {
public:
    // Connects to `receiver` with `type` and sets up a committed pool of
    // samples of `sample_size` bytes from the receiver's allocator.
    HRESULT ConnectTo(IPin *receiver, const AM_MEDIA_TYPE &type, LONG sample_size = 64) {
        HRESULT hr = receiver->ReceiveConnection(this, &type);
        if (FAILED(hr)) return hr;
        receiver_ = receiver;
        receiver_->AddRef();
        hr = receiver->QueryInterface(IID_IMemInputPin, reinterpret_cast<void **>(&input_));
        if (FAILED(hr)) return hr;
        hr = input_->GetAllocator(&allocator_);
        if (FAILED(hr)) return hr;
        ALLOCATOR_PROPERTIES request{2, sample_size, 1, 0}, actual{};
        if (FAILED(hr = allocator_->SetProperties(&request, &actual))) return hr;
        if (FAILED(hr = input_->NotifyAllocator(allocator_, FALSE))) return hr;
        return allocator_->Commit();
    }

    // A sample holding `bytes`, with times if `start` is not negative.
    IMediaSample *NewSample(const std::vector<BYTE> &bytes, REFERENCE_TIME start = -1, REFERENCE_TIME end = -1) {
        IMediaSample *sample = nullptr;
        EXPECT_EQ(allocator_->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
        BYTE *pointer = nullptr;
        sample->GetPointer(&pointer);
        std::memcpy(pointer, bytes.data(), bytes.size());
        sample->SetActualDataLength(static_cast<LONG>(bytes.size()));
        if (start >= 0) sample->SetTime(&start, &end);
        return sample;
    }

    HRESULT Send(const std::vector<BYTE> &bytes, REFERENCE_TIME start = -1, REFERENCE_TIME end = -1) {
        IMediaSample *sample = NewSample(bytes, start, end);
        HRESULT hr = input_->Receive(sample);
        sample->Release();
        return hr;
    }

    IPin *Receiver() const { return receiver_; }
    IMemInputPin *Input() const { return input_; }

    ~TestSourcePin() override {
        if (allocator_) {
            allocator_->Decommit();
            allocator_->Release();
        }
        if (input_) input_->Release();
        if (receiver_) receiver_->Release();
    }

    STDMETHODIMP QueryInterface(REFIID riid, void **object) override {
        if (riid == IID_IUnknown || riid == IID_IPin) {
            *object = static_cast<IPin *>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP Connect(IPin *, const AM_MEDIA_TYPE *) override { return E_NOTIMPL; }
    STDMETHODIMP ReceiveConnection(IPin *, const AM_MEDIA_TYPE *) override { return E_UNEXPECTED; }
    STDMETHODIMP Disconnect() override { return S_OK; }
    STDMETHODIMP ConnectedTo(IPin **pin) override {
        *pin = receiver_;
        if (receiver_) receiver_->AddRef();
        return receiver_ ? S_OK : VFW_E_NOT_CONNECTED;
    }
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE *) override { return E_NOTIMPL; }
    STDMETHODIMP QueryPinInfo(PIN_INFO *info) override {
        info->pFilter = nullptr;
        info->dir = PINDIR_OUTPUT;
        info->achName[0] = 0;
        return S_OK;
    }
    STDMETHODIMP QueryDirection(PIN_DIRECTION *direction) override {
        *direction = PINDIR_OUTPUT;
        return S_OK;
    }
    STDMETHODIMP QueryId(LPWSTR *) override { return E_NOTIMPL; }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE *) override { return S_OK; }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes **) override { return E_NOTIMPL; }
    STDMETHODIMP QueryInternalConnections(IPin **, ULONG *) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override { return E_UNEXPECTED; }
    STDMETHODIMP BeginFlush() override { return E_UNEXPECTED; }
    STDMETHODIMP EndFlush() override { return E_UNEXPECTED; }
    STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

private:
    IPin *receiver_ = nullptr;
    IMemInputPin *input_ = nullptr;
    IMemAllocator *allocator_ = nullptr;
};

// Only what a filter asks of its graph: the event sink.
class RecordingGraph final : public TestObject<IFilterGraph, IMediaEventSink> {
public:
    struct Event {
        LONG code;
        LONG_PTR first;
        LONG_PTR second;
    };

    std::vector<Event> Events() {
        std::lock_guard lock(mutex_);
        return events_;
    }

    STDMETHODIMP QueryInterface(REFIID riid, void **object) override {
        if (riid == IID_IUnknown || riid == IID_IFilterGraph) {
            *object = static_cast<IFilterGraph *>(this);
        } else if (riid == IID_IMediaEventSink) {
            *object = static_cast<IMediaEventSink *>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return TestObject::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return TestObject::Release(); }
    STDMETHODIMP Notify(LONG code, LONG_PTR first, LONG_PTR second) override {
        std::lock_guard lock(mutex_);
        events_.push_back({code, first, second});
        return S_OK;
    }
    STDMETHODIMP AddFilter(IBaseFilter *, LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP RemoveFilter(IBaseFilter *) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFilters(IEnumFilters **) override { return E_NOTIMPL; }
    STDMETHODIMP FindFilterByName(LPCWSTR, IBaseFilter **) override { return E_NOTIMPL; }
    STDMETHODIMP ConnectDirect(IPin *, IPin *, const AM_MEDIA_TYPE *) override { return E_NOTIMPL; }
    STDMETHODIMP Reconnect(IPin *) override { return E_NOTIMPL; }
    STDMETHODIMP Disconnect(IPin *) override { return E_NOTIMPL; }
    STDMETHODIMP SetDefaultSyncSource() override { return E_NOTIMPL; }

private:
    std::mutex mutex_;
    std::vector<Event> events_;
};

inline IPin *FirstPin(IBaseFilter *filter, PIN_DIRECTION wanted) {
    IEnumPins *pins = nullptr;
    if (FAILED(filter->EnumPins(&pins))) return nullptr;
    IPin *pin = nullptr;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        PIN_DIRECTION direction;
        pin->QueryDirection(&direction);
        if (direction == wanted) break;
        pin->Release();
        pin = nullptr;
    }
    pins->Release();
    return pin;
}

inline AM_MEDIA_TYPE VideoType(REFGUID subtype) {
    AM_MEDIA_TYPE type{};
    type.majortype = MEDIATYPE_Video;
    type.subtype = subtype;
    type.formattype = FORMAT_None;
    return type;
}

}  // namespace tm350::test
