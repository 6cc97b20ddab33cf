// The sample grabber (CLSID_SampleGrabber): a pass-through filter with one
// input and one output pin that shows an application each sample on its
// way, by callback and by keeping a copy of the last one.
#include "dshow/runtime_classes.h"
#include "dshow/runtime_filter.h"

#include <dshow.h>
#include <qedit.h>

#include <cstring>
#include <new>

EXTERN_C const CLSID CLSID_SampleGrabber;

namespace tm350::dshow {

namespace {

enum class CallbackMethod : LONG { SampleCB = 0, BufferCB = 1 };

class SampleGrabber final : public RuntimeFilter, public ISampleGrabber, public InputPinOwner {
public:
    SampleGrabber()
        : RuntimeFilter(CLSID_SampleGrabber), input_(*this, *this, u"Input"), output_(*this, u"Output", input_) {}

    STDMETHODIMP QueryInterface(REFIID riid, void **object) override {
        if (object == nullptr) return E_POINTER;
        if (riid == IID_ISampleGrabber) return Give(static_cast<ISampleGrabber *>(this), object);
        return RuntimeFilter::QueryInterface(riid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return RuntimeFilter::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return RuntimeFilter::Release(); }

    // ISampleGrabber

    STDMETHODIMP SetOneShot(BOOL one_shot) override {
        std::lock_guard lock(Lock());
        one_shot_ = one_shot != FALSE;
        return S_OK;
    }

    // The type later connections of the input must match; GUID_NULL
    // fields match anything.
    STDMETHODIMP SetMediaType(const AM_MEDIA_TYPE *type) override {
        if (type == nullptr) return E_POINTER;
        std::lock_guard lock(Lock());
        wanted_.Set(*type);
        return S_OK;
    }

    STDMETHODIMP GetConnectedMediaType(AM_MEDIA_TYPE *type) override {
        if (type == nullptr) return E_POINTER;
        std::lock_guard lock(Lock());
        if (!input_.IsConnectedLocked()) return VFW_E_NOT_CONNECTED;
        return CopyMediaType(*type, input_.ConnectionTypeLocked().Get());
    }

    STDMETHODIMP SetBufferSamples(BOOL buffer_them) override {
        std::lock_guard lock(Lock());
        buffer_samples_ = buffer_them != FALSE;
        return S_OK;
    }

    // With no buffer, the size needed. E_INVALIDARG when samples are not
    // being buffered, VFW_E_NOT_CONNECTED before the input is connected,
    // VFW_E_WRONG_STATE before a sample was kept, E_OUTOFMEMORY when the
    // caller's buffer is too small.
    STDMETHODIMP GetCurrentBuffer(LONG *size, LONG *buffer) override {
        if (size == nullptr) return E_POINTER;
        std::lock_guard lock(Lock());
        if (!buffer_samples_) return E_INVALIDARG;
        if (!input_.IsConnectedLocked()) return VFW_E_NOT_CONNECTED;
        if (!have_buffer_) return VFW_E_WRONG_STATE;
        const LONG needed = static_cast<LONG>(buffer_.size());
        if (buffer == nullptr) {
            *size = needed;
            return S_OK;
        }
        if (*size < needed) return E_OUTOFMEMORY;
        std::memcpy(buffer, buffer_.data(), buffer_.size());
        *size = needed;
        return S_OK;
    }

    STDMETHODIMP GetCurrentSample(IMediaSample **sample) override {
        if (sample != nullptr) *sample = nullptr;
        return E_NOTIMPL;
    }

    // `which` 0 calls SampleCB with the sample, 1 BufferCB with its data;
    // a null callback stops the calls.
    STDMETHODIMP SetCallback(ISampleGrabberCB *callback, LONG which) override {
        if (which != static_cast<LONG>(CallbackMethod::SampleCB) && which != static_cast<LONG>(CallbackMethod::BufferCB)) {
            return E_INVALIDARG;
        }
        std::lock_guard lock(Lock());
        callback_ = ComPtr<ISampleGrabberCB>(callback);
        method_ = static_cast<CallbackMethod>(which);
        return S_OK;
    }

    // The input pin's stream

    HRESULT CheckInputType(const AM_MEDIA_TYPE &type) override {
        return !wanted_.IsSet() || TypeMatchesPartial(type, wanted_.Get()) ? S_OK : S_FALSE;
    }

    // In one-shot mode the first sample ends the stream: the output is sent
    // end of stream and later samples are refused with S_FALSE, which
    // tells the sender to stop.
    HRESULT ReceiveSample(IMediaSample *sample) override {
        BYTE *data = nullptr;
        sample->GetPointer(&data);
        const LONG length = sample->GetActualDataLength();
        ComPtr<ISampleGrabberCB> callback;
        CallbackMethod method;
        bool one_shot;
        {
            std::lock_guard lock(Lock());
            if (one_shot_done_) return S_FALSE;
            if (buffer_samples_ && data != nullptr && length >= 0) {
                buffer_.assign(data, data + length);
                have_buffer_ = true;
            }
            callback = callback_;
            method = method_;
            one_shot = one_shot_;
            if (one_shot) one_shot_done_ = true;
        }
        if (callback) {
            REFERENCE_TIME start = 0, end = 0;
            double seconds = SUCCEEDED(sample->GetTime(&start, &end)) ? start / 1e7 : 0.0;
            if (method == CallbackMethod::SampleCB) {
                callback->SampleCB(seconds, sample);
            } else {
                callback->BufferCB(seconds, data, length);
            }
        }
        HRESULT hr = output_.Deliver(sample);
        if (one_shot) {
            output_.DeliverEndOfStream();
            return S_FALSE;
        }
        return hr;
    }

    HRESULT InputEndOfStream() override { return output_.DeliverEndOfStream(); }
    HRESULT InputBeginFlush() override { return output_.DeliverBeginFlush(); }
    HRESULT InputEndFlush() override { return output_.DeliverEndFlush(); }
    HRESULT InputNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override {
        return output_.DeliverNewSegment(start, stop, rate);
    }
    bool ReceiveCanBlock() override { return true; }

protected:
    std::vector<IPin *> Pins() override { return {&input_, &output_}; }

    void OnStateChangeLocked(FILTER_STATE from, FILTER_STATE to) override {
        if (to == State_Stopped) {
            input_.ResetStreamLocked();
            one_shot_done_ = false;
        }
    }

private:
    InputPin input_;
    OutputPin output_;
    // All under the filter's lock.
    MediaType wanted_;
    bool one_shot_ = false;
    bool one_shot_done_ = false;
    bool buffer_samples_ = false;
    bool have_buffer_ = false;
    std::vector<BYTE> buffer_;
    ComPtr<ISampleGrabberCB> callback_;
    CallbackMethod method_ = CallbackMethod::SampleCB;
};

}  // namespace

HRESULT CreateSampleGrabber(REFIID riid, void **object) {
    return CreateAndQuery(static_cast<RuntimeFilter *>(new (std::nothrow) SampleGrabber), riid, object);
}

}  // namespace tm350::dshow
