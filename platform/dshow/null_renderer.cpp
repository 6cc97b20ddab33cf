// The null renderer (CLSID_NullRenderer): one input pin that takes any
// type and consumes what it receives. As a renderer it completes a pause
// only once it holds a sample (or the stream ended), holds that sample
// while paused, and reports EC_COMPLETE to the graph when the stream ends
// while running (or, ended while paused, as soon as it runs).
#include "dshow/runtime_classes.h"
#include "dshow/runtime_filter.h"

#include <dshow.h>
#include <evcode.h>

EXTERN_C const CLSID CLSID_NullRenderer;

#include <new>

namespace tm350::dshow {

namespace {

class NullRenderer final : public RuntimeFilter, public InputPinOwner {
public:
    NullRenderer() : RuntimeFilter(CLSID_NullRenderer), input_(*this, *this, u"In") {}

    HRESULT CheckInputType(const AM_MEDIA_TYPE &type) override { return S_OK; }

    // FIXME: samples are rendered as they come while running, without
    // waiting on the clock for their presentation time.
    HRESULT ReceiveSample(IMediaSample *sample) override {
        std::unique_lock lock(Lock());
        if (StateLocked() == State_Paused) {
            holding_sample_ = true;
            StateChanged().notify_all();
            StateChanged().wait(lock, [this] { return StateLocked() != State_Paused || input_.FlushingLocked(); });
            holding_sample_ = false;
            if (StateLocked() != State_Running) return S_FALSE;  // stopped or flushed meanwhile
        }
        return S_OK;
    }

    HRESULT InputEndOfStream() override {
        bool notify = false;
        {
            std::lock_guard lock(Lock());
            StateChanged().notify_all();  // a pause waiting for data is complete
            notify = StateLocked() == State_Running && !complete_sent_;
            if (notify) complete_sent_ = true;
        }
        if (notify) SendComplete();
        return S_OK;
    }

    HRESULT InputBeginFlush() override {
        std::lock_guard lock(Lock());
        complete_sent_ = false;
        StateChanged().notify_all();  // releases a held sample
        return S_OK;
    }
    HRESULT InputEndFlush() override { return S_OK; }
    HRESULT InputNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override { return S_OK; }
    bool ReceiveCanBlock() override { return true; }

protected:
    std::vector<IPin *> Pins() override { return {&input_}; }

    void OnStateChangeLocked(FILTER_STATE from, FILTER_STATE to) override {
        if (to == State_Stopped) {
            input_.ResetStreamLocked();
            complete_sent_ = false;
        }
    }

    bool PauseCompleteLocked() override {
        return holding_sample_ || input_.EndOfStreamLocked() || !input_.IsConnectedLocked();
    }

    void AfterStateChange(FILTER_STATE to) override {
        bool notify = false;
        {
            std::lock_guard lock(Lock());
            notify = to == State_Running && StateLocked() == State_Running && input_.EndOfStreamLocked() &&
                     !complete_sent_;
            if (notify) complete_sent_ = true;
        }
        if (notify) SendComplete();
    }

private:
    void SendComplete() { NotifyEvent(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter *>(this))); }

    InputPin input_;
    bool holding_sample_ = false;  // under the lock
    bool complete_sent_ = false;   // under the lock; once per stream
};

}  // namespace

HRESULT CreateNullRenderer(REFIID riid, void **object) {
    return CreateAndQuery(new (std::nothrow) NullRenderer, riid, object);
}

}  // namespace tm350::dshow
