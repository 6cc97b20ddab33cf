// The sample grabber between a test source and a null renderer: which
// types it takes, the copy it keeps, its callbacks, and what it passes on.
#include "runtime_test_support.h"
#include "test_source.h"

#include <qedit.h>

namespace tm350::test {
namespace {

class RecordingCallback final : public TestObject<ISampleGrabberCB> {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **object) override {
        if (riid == IID_IUnknown || riid == IID_ISampleGrabberCB) {
            *object = static_cast<ISampleGrabberCB *>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP SampleCB(double time, IMediaSample *sample) override {
        sample_times.push_back(time);
        samples.push_back(sample);
        return S_OK;
    }
    STDMETHODIMP BufferCB(double time, BYTE *buffer, LONG length) override {
        buffer_times.push_back(time);
        buffers.emplace_back(buffer, buffer + length);
        return S_OK;
    }

    std::vector<double> sample_times, buffer_times;
    std::vector<IMediaSample *> samples;  // compared only, never used
    std::vector<std::vector<BYTE>> buffers;
};

class SampleGrabberTest : public RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        filter_ = Create<IBaseFilter>(CLSID_SampleGrabber, IID_IBaseFilter);
        ASSERT_NE(filter_, nullptr);
        ASSERT_EQ(filter_->QueryInterface(IID_ISampleGrabber, reinterpret_cast<void **>(&grabber_)), S_OK);
        input_ = FirstPin(filter_, PINDIR_INPUT);
        output_ = FirstPin(filter_, PINDIR_OUTPUT);
        ASSERT_NE(input_, nullptr);
        ASSERT_NE(output_, nullptr);
        source_ = new TestSourcePin;
    }
    void TearDown() override {
        for (IBaseFilter *filter : {filter_, renderer_}) {
            if (filter) filter->Stop();
        }
        for (IPin *pin : {input_, output_, renderer_input_}) {
            if (pin) pin->Disconnect();
        }
        if (renderer_) renderer_->JoinFilterGraph(nullptr, nullptr);
        source_->Release();
        for (IUnknown *object : std::initializer_list<IUnknown *>{input_, output_, renderer_input_, grabber_,
                                                                   filter_, renderer_}) {
            if (object) object->Release();
        }
        if (graph_) graph_->Release();
        RuntimeTest::TearDown();
    }

    void ConnectRenderer() {
        renderer_ = Create<IBaseFilter>(CLSID_NullRenderer, IID_IBaseFilter);
        ASSERT_NE(renderer_, nullptr);
        graph_ = new RecordingGraph;
        renderer_->JoinFilterGraph(graph_, L"Null Renderer");
        renderer_input_ = FirstPin(renderer_, PINDIR_INPUT);
        ASSERT_EQ(output_->Connect(renderer_input_, nullptr), S_OK);
    }

    void RunAll() {
        if (renderer_) ASSERT_EQ(renderer_->Run(0), S_OK);
        ASSERT_EQ(filter_->Run(0), S_OK);
    }

    IBaseFilter *filter_ = nullptr;
    ISampleGrabber *grabber_ = nullptr;
    IPin *input_ = nullptr;
    IPin *output_ = nullptr;
    TestSourcePin *source_ = nullptr;
    IBaseFilter *renderer_ = nullptr;
    IPin *renderer_input_ = nullptr;
    RecordingGraph *graph_ = nullptr;
};

TEST_F(SampleGrabberTest, TheInputTakesOnlyTypesMatchingTheOneSet) {
    AM_MEDIA_TYPE connected{};
    EXPECT_EQ(grabber_->GetConnectedMediaType(&connected), VFW_E_NOT_CONNECTED);
    AM_MEDIA_TYPE wanted{};
    wanted.majortype = MEDIATYPE_Video;
    wanted.subtype = MEDIASUBTYPE_RGB24;  // any format type
    ASSERT_EQ(grabber_->SetMediaType(&wanted), S_OK);

    AM_MEDIA_TYPE other = VideoType(MEDIASUBTYPE_YUY2);
    EXPECT_EQ(input_->QueryAccept(&other), S_FALSE);
    EXPECT_EQ(source_->ConnectTo(input_, other), VFW_E_TYPE_NOT_ACCEPTED);
    AM_MEDIA_TYPE rgb = VideoType(MEDIASUBTYPE_RGB24);
    ASSERT_EQ(source_->ConnectTo(input_, rgb), S_OK);
    ASSERT_EQ(grabber_->GetConnectedMediaType(&connected), S_OK);
    EXPECT_EQ(connected.subtype, MEDIASUBTYPE_RGB24);
    EXPECT_EQ(connected.formattype, FORMAT_None);
}

TEST_F(SampleGrabberTest, TheOutputOffersItsInputsTypeOnceTheInputIsConnected) {
    IPin *renderer_input = nullptr;
    renderer_ = Create<IBaseFilter>(CLSID_NullRenderer, IID_IBaseFilter);
    renderer_input_ = renderer_input = FirstPin(renderer_, PINDIR_INPUT);
    EXPECT_EQ(output_->Connect(renderer_input, nullptr), VFW_E_NO_ACCEPTABLE_TYPES);

    ASSERT_EQ(source_->ConnectTo(input_, VideoType(MEDIASUBTYPE_RGB24)), S_OK);
    ASSERT_EQ(output_->Connect(renderer_input, nullptr), S_OK);
    AM_MEDIA_TYPE type{};
    ASSERT_EQ(renderer_input->ConnectionMediaType(&type), S_OK);
    EXPECT_EQ(type.subtype, MEDIASUBTYPE_RGB24);
    EXPECT_EQ(output_->Connect(renderer_input, nullptr), VFW_E_ALREADY_CONNECTED);
}

TEST_F(SampleGrabberTest, TheCurrentBufferIsACopyOfTheLastSampleOnceBufferingIsOn) {
    ASSERT_EQ(source_->ConnectTo(input_, VideoType(MEDIASUBTYPE_RGB24)), S_OK);
    LONG size = 0;
    EXPECT_EQ(grabber_->GetCurrentBuffer(&size, nullptr), E_INVALIDARG) << "not buffering";
    ASSERT_EQ(grabber_->SetBufferSamples(TRUE), S_OK);
    EXPECT_EQ(grabber_->GetCurrentBuffer(&size, nullptr), VFW_E_WRONG_STATE) << "nothing kept yet";

    RunAll();
    ASSERT_EQ(source_->Send({1, 2, 3, 4}), S_OK);
    ASSERT_EQ(source_->Send({5, 6, 7, 8, 9}), S_OK);
    ASSERT_EQ(grabber_->GetCurrentBuffer(&size, nullptr), S_OK);
    EXPECT_EQ(size, 5);
    LONG small[1] = {};
    size = 4;
    EXPECT_EQ(grabber_->GetCurrentBuffer(&size, small), E_OUTOFMEMORY);
    LONG copy[2] = {};
    size = sizeof copy;
    ASSERT_EQ(grabber_->GetCurrentBuffer(&size, copy), S_OK);
    EXPECT_EQ(size, 5);
    const BYTE *bytes = reinterpret_cast<const BYTE *>(copy);
    EXPECT_EQ(std::vector<BYTE>(bytes, bytes + 5), (std::vector<BYTE>{5, 6, 7, 8, 9}));
}

TEST_F(SampleGrabberTest, CallbacksSeeEachSampleWithItsStartTimeInSeconds) {
    ASSERT_EQ(source_->ConnectTo(input_, VideoType(MEDIASUBTYPE_RGB24)), S_OK);
    auto *callback = new RecordingCallback;
    EXPECT_EQ(grabber_->SetCallback(callback, 2), E_INVALIDARG);
    ASSERT_EQ(grabber_->SetCallback(callback, 1), S_OK);
    RunAll();
    ASSERT_EQ(source_->Send({1, 2}, 5000000, 5400000), S_OK);
    ASSERT_EQ(callback->buffers.size(), 1u);
    EXPECT_EQ(callback->buffers[0], (std::vector<BYTE>{1, 2}));
    EXPECT_DOUBLE_EQ(callback->buffer_times[0], 0.5);

    ASSERT_EQ(grabber_->SetCallback(callback, 0), S_OK);
    IMediaSample *sample = source_->NewSample({3}, 10000000, 10400000);
    ASSERT_EQ(source_->Input()->Receive(sample), S_OK);
    ASSERT_EQ(callback->samples.size(), 1u);
    EXPECT_EQ(callback->samples[0], sample);
    EXPECT_DOUBLE_EQ(callback->sample_times[0], 1.0);
    sample->Release();
    EXPECT_EQ(callback->buffers.size(), 1u) << "one method at a time";

    ASSERT_EQ(grabber_->SetCallback(nullptr, 0), S_OK);
    callback->Release();
    ASSERT_EQ(source_->Send({4}), S_OK);
}

TEST_F(SampleGrabberTest, SamplesAndTheEndOfTheStreamPassThroughToTheRenderer) {
    ASSERT_EQ(source_->ConnectTo(input_, VideoType(MEDIASUBTYPE_RGB24)), S_OK);
    ConnectRenderer();
    EXPECT_EQ(source_->Send({1}), VFW_E_WRONG_STATE);
    RunAll();
    ASSERT_EQ(source_->Send({1}), S_OK);
    ASSERT_EQ(input_->EndOfStream(), S_OK);
    auto events = graph_->Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, EC_COMPLETE);
    EXPECT_EQ(events[0].second, reinterpret_cast<LONG_PTR>(renderer_));
}

TEST_F(SampleGrabberTest, OneShotEndsTheStreamAfterTheFirstSample) {
    ASSERT_EQ(source_->ConnectTo(input_, VideoType(MEDIASUBTYPE_RGB24)), S_OK);
    ConnectRenderer();
    ASSERT_EQ(grabber_->SetOneShot(TRUE), S_OK);
    ASSERT_EQ(grabber_->SetBufferSamples(TRUE), S_OK);
    RunAll();
    EXPECT_EQ(source_->Send({1}), S_FALSE) << "the sender is told to stop";
    EXPECT_EQ(source_->Send({2}), S_FALSE);
    LONG size = 0;
    ASSERT_EQ(grabber_->GetCurrentBuffer(&size, nullptr), S_OK);
    EXPECT_EQ(size, 1);
    ASSERT_EQ(graph_->Events().size(), 1u);
    EXPECT_EQ(graph_->Events()[0].code, EC_COMPLETE);
}

}  // namespace
}  // namespace tm350::test
