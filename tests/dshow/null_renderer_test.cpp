// The null renderer driven by a test source: state rules for samples and
// end of stream, the renderer's pause, and EC_COMPLETE to the graph.
#include "runtime_test_support.h"
#include "test_source.h"

#include <future>

namespace tm350::test {
namespace {

class NullRendererTest : public RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        renderer_ = Create<IBaseFilter>(CLSID_NullRenderer, IID_IBaseFilter);
        ASSERT_NE(renderer_, nullptr);
        graph_ = new RecordingGraph;
        ASSERT_EQ(renderer_->JoinFilterGraph(graph_, L"Null Renderer"), S_OK);
        input_ = FirstPin(renderer_, PINDIR_INPUT);
        ASSERT_NE(input_, nullptr);
        source_ = new TestSourcePin;
    }
    void TearDown() override {
        if (renderer_) {
            renderer_->Stop();
            if (input_) input_->Disconnect();
            renderer_->JoinFilterGraph(nullptr, nullptr);
        }
        if (source_) source_->Release();
        if (input_) input_->Release();
        if (renderer_) renderer_->Release();
        if (graph_) graph_->Release();
        RuntimeTest::TearDown();
    }

    void Connect() {
        AM_MEDIA_TYPE type = VideoType(MEDIASUBTYPE_RGB24);
        ASSERT_EQ(source_->ConnectTo(input_, type), S_OK);
    }

    IBaseFilter *renderer_ = nullptr;
    RecordingGraph *graph_ = nullptr;
    IPin *input_ = nullptr;
    TestSourcePin *source_ = nullptr;
};

TEST_F(NullRendererTest, HasOneInputPinThatAcceptsEveryType) {
    IEnumPins *pins = nullptr;
    ASSERT_EQ(renderer_->EnumPins(&pins), S_OK);
    IPin *found[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(pins->Next(2, found, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 1u);
    found[0]->Release();
    pins->Release();

    AM_MEDIA_TYPE anything{};
    anything.majortype = MEDIATYPE_Audio;
    EXPECT_EQ(input_->QueryAccept(&anything), S_OK);
    CLSID clsid{};
    ASSERT_EQ(renderer_->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_NullRenderer);
}

TEST_F(NullRendererTest, SamplesAndEndOfStreamAreRefusedWhileStopped) {
    Connect();
    EXPECT_EQ(source_->Send({1, 2, 3}), VFW_E_WRONG_STATE);
    EXPECT_EQ(input_->EndOfStream(), VFW_E_WRONG_STATE);
    EXPECT_TRUE(graph_->Events().empty());

    ASSERT_EQ(renderer_->Run(0), S_OK);
    EXPECT_EQ(source_->Send({1, 2, 3}), S_OK);
    EXPECT_EQ(input_->Disconnect(), VFW_E_NOT_STOPPED);
}

TEST_F(NullRendererTest, EndOfStreamWhileRunningReportsCompleteToTheGraphOnce) {
    Connect();
    ASSERT_EQ(renderer_->Run(0), S_OK);
    ASSERT_EQ(source_->Send({1}), S_OK);
    ASSERT_EQ(input_->EndOfStream(), S_OK);
    auto events = graph_->Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, EC_COMPLETE);
    EXPECT_EQ(events[0].first, S_OK);
    EXPECT_EQ(events[0].second, reinterpret_cast<LONG_PTR>(renderer_));
    EXPECT_EQ(source_->Send({2}), VFW_E_SAMPLE_REJECTED_EOS);

    // A new stream after a stop may end again.
    ASSERT_EQ(renderer_->Stop(), S_OK);
    ASSERT_EQ(renderer_->Run(0), S_OK);
    ASSERT_EQ(input_->EndOfStream(), S_OK);
    EXPECT_EQ(graph_->Events().size(), 2u);
}

TEST_F(NullRendererTest, AStreamThatEndedWhilePausedCompletesWhenItRuns) {
    Connect();
    ASSERT_EQ(renderer_->Pause(), S_OK);
    FILTER_STATE state;
    EXPECT_EQ(renderer_->GetState(0, &state), VFW_S_STATE_INTERMEDIATE) << "paused without data";
    EXPECT_EQ(state, State_Paused);
    ASSERT_EQ(input_->EndOfStream(), S_OK);
    EXPECT_EQ(renderer_->GetState(0, &state), S_OK);
    EXPECT_TRUE(graph_->Events().empty());
    ASSERT_EQ(renderer_->Run(0), S_OK);
    ASSERT_EQ(graph_->Events().size(), 1u);
    EXPECT_EQ(graph_->Events()[0].code, EC_COMPLETE);
}

TEST_F(NullRendererTest, APausedRendererHoldsItsFirstSampleUntilItRuns) {
    Connect();
    ASSERT_EQ(renderer_->Pause(), S_OK);
    auto delivery = std::async(std::launch::async, [&] { return source_->Send({7}); });
    FILTER_STATE state;
    // The pause completes once the renderer holds the sample.
    ASSERT_EQ(renderer_->GetState(INFINITE, &state), S_OK);
    EXPECT_EQ(state, State_Paused);
    EXPECT_NE(delivery.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    ASSERT_EQ(renderer_->Run(0), S_OK);
    EXPECT_EQ(delivery.get(), S_OK);
}

TEST_F(NullRendererTest, FlushingReleasesAHeldSampleAndDropsSamplesUntilItEnds) {
    Connect();
    ASSERT_EQ(renderer_->Pause(), S_OK);
    auto delivery = std::async(std::launch::async, [&] { return source_->Send({7}); });
    FILTER_STATE state;
    ASSERT_EQ(renderer_->GetState(INFINITE, &state), S_OK);
    ASSERT_EQ(input_->BeginFlush(), S_OK);
    EXPECT_EQ(delivery.get(), S_FALSE);
    EXPECT_EQ(source_->Send({8}), S_FALSE);
    ASSERT_EQ(input_->EndFlush(), S_OK);
    ASSERT_EQ(renderer_->Run(0), S_OK);
    EXPECT_EQ(source_->Send({9}), S_OK);
}

}  // namespace
}  // namespace tm350::test
