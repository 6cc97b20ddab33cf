// The output pin's frame pump through the graph: sample times, the capture
// thread's read-ahead ring, lost frames, the pin's own buffer loop and the
// direct reads of a one-processor machine.
#include <string>

#include "capture_fixture.h"
#include "support/eventually.h"

namespace capture_test {
namespace {

enum class Reading { CaptureThread, Direct };

std::string Name(Reading reading) { return reading == Reading::CaptureThread ? "CaptureThread" : "Direct"; }

// Times, flags and sizes of one stream of samples: numbered from 0, one
// frame period each, back to back.
void ExpectOneStream(const std::vector<ReceivedSample> &samples, REFERENCE_TIME duration) {
    for (size_t n = 0; n < samples.size(); ++n) {
        SCOPED_TRACE("sample " + std::to_string(n));
        EXPECT_EQ(samples[n].time_result, S_OK);
        EXPECT_EQ(samples[n].start, static_cast<REFERENCE_TIME>(n) * duration);
        EXPECT_EQ(samples[n].stop, static_cast<REFERENCE_TIME>(n + 1) * duration);
        EXPECT_TRUE(samples[n].sync_point);
        EXPECT_FALSE(samples[n].discontinuity);
        EXPECT_FALSE(samples[n].preroll);
        EXPECT_EQ(samples[n].length, kSampleBytes);
        if (::testing::Test::HasFailure()) return;
    }
}

struct StreamCase {
    BYTE speed;
    Reading reading;
};

class SampleTimes : public CaptureTest, public ::testing::WithParamInterface<StreamCase> {};

// A live source's fill finds no frame most of the time (the capture thread
// has not read the next one yet): that is no end of the stream.
TEST_P(SampleTimes, TenSamplesOneFramePeriodApartAndARestartBeginsAtZero) {
    const auto [speed, reading] = GetParam();
    const REFERENCE_TIME duration = speed != 0 ? kHighSpeedDuration : kNormalSpeedDuration;
    Plug();
    std::optional<ScopedProcessors> processors;
    if (reading == Reading::Direct) processors.emplace(1);
    CaptureGraph graph;
    processors.reset();
    ASSERT_EQ(graph.connected, S_OK);
    ASSERT_EQ(graph.camera->SetSpeedMode(speed), S_OK);
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
        ASSERT_TRUE(graph.sink->WaitForSamples(10));
        ASSERT_EQ(graph.StopPromptly(), S_OK);
        std::vector<ReceivedSample> samples = graph.sink->Take();
        ASSERT_GE(samples.size(), 10u);
        ExpectOneStream(samples, duration);
        EXPECT_EQ(graph.sink->EndOfStreams(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(SpeedsAndReadings, SampleTimes,
                         ::testing::Values(StreamCase{0, Reading::CaptureThread}, StreamCase{1, Reading::CaptureThread},
                                           StreamCase{0, Reading::Direct}, StreamCase{1, Reading::Direct}),
                         [](const auto &info) {
                             return (info.param.speed ? std::string("HighSpeed") : std::string("NormalSpeed")) +
                                    Name(info.param.reading);
                         });

class LostFrames : public CaptureTest, public ::testing::WithParamInterface<Reading> {};

// Two short frames in a row are one lost frame for the reader (the first
// short one only restarts the read).
TEST_P(LostFrames, ALostFrameMakesNoSampleAndTakesNoTime) {
    Camera &camera = PlugNumbered();
    std::optional<ScopedProcessors> processors;
    if (GetParam() == Reading::Direct) processors.emplace(1);
    CaptureGraph graph;
    processors.reset();
    ASSERT_EQ(graph.connected, S_OK);
    ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
    ASSERT_TRUE(graph.sink->WaitForSamples(3));

    // The frame clock stands still while the lengths are set, so the two
    // short frames are exactly the next two to start.
    camera.HangSensor();
    const uint64_t first_short = camera.Counters().frames_started;
    camera.SetFrameLengths({100000, 100000, tm350::sim::kFrameBytes});
    camera.ResumeSensor();
    ASSERT_TRUE(graph.sink->WaitUntil([&](const std::vector<ReceivedSample> &samples) {
        return samples.back().frame_number && *samples.back().frame_number > first_short + 2;
    }));
    ASSERT_EQ(graph.StopPromptly(), S_OK);
    camera.ClearFaults();

    std::vector<ReceivedSample> samples = graph.sink->Take();
    ExpectOneStream(samples, kNormalSpeedDuration);
    for (size_t n = 0; n < samples.size(); ++n) {
        SCOPED_TRACE("sample " + std::to_string(n));
        ASSERT_TRUE(samples[n].frame_number.has_value());
        EXPECT_NE(*samples[n].frame_number, first_short);
        EXPECT_NE(*samples[n].frame_number, first_short + 1);
        if (n > 0) {
            EXPECT_GT(*samples[n].frame_number, *samples[n - 1].frame_number);
        }
    }
    EXPECT_EQ(graph.sink->EndOfStreams(), 0);
}

INSTANTIATE_TEST_SUITE_P(BothReadings, LostFrames, ::testing::Values(Reading::CaptureThread, Reading::Direct),
                         [](const auto &info) { return Name(info.param); });

// The frames the host has taken from the camera, once that count has stood
// still for ten sensor frames; nothing when it never does.
std::optional<uint64_t> SettledFramesRead(Camera &camera) {
    uint64_t before = camera.Counters().frames_completed;
    for (int attempt = 0; attempt < 30; ++attempt) {
        WaitSensorFrames(camera, 10);
        const uint64_t now = camera.Counters().frames_completed;
        if (now == before) return now;
        before = now;
    }
    return std::nullopt;
}

// With the renderer holding the first sample, the capture thread fills its
// three buffers and then reads nothing until a fill returns one.
TEST_F(CaptureTest, TheCaptureThreadReadsThreeFramesAheadThenOneForEachFill) {
    Camera &camera = PlugNumbered();
    CaptureGraph graph;
    ASSERT_EQ(graph.connected, S_OK);
    graph.sink->HoldSamples();
    ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
    ASSERT_TRUE(graph.sink->WaitUntilHolding(1));
    const std::optional<uint64_t> full = SettledFramesRead(camera);
    ASSERT_TRUE(full.has_value()) << "all three buffers wait: the capture thread must sleep";

    graph.sink->Admit(1);
    ASSERT_TRUE(graph.sink->WaitUntilHolding(2));
    // One frame read into the freed buffer (a read that began in the middle
    // of a frame, or met a lost one, takes the camera's next frames too),
    // then asleep again.
    const std::optional<uint64_t> refilled = SettledFramesRead(camera);
    ASSERT_TRUE(refilled.has_value()) << "full again: the capture thread must sleep again";
    EXPECT_GT(*refilled, *full);

    graph.sink->PassSamples();
    ASSERT_TRUE(graph.sink->WaitForSamples(6));
    ASSERT_EQ(graph.StopPromptly(), S_OK);
    std::vector<ReceivedSample> samples = graph.sink->Take();
    ExpectOneStream(samples, kNormalSpeedDuration);
    // Samples 1 to 3 are the frames that waited, read back to back; they
    // come out in the order they were read.
    for (size_t n = 1; n < samples.size(); ++n) {
        SCOPED_TRACE("sample " + std::to_string(n));
        ASSERT_TRUE(samples[n].frame_number && samples[n - 1].frame_number);
        EXPECT_GT(*samples[n].frame_number, *samples[n - 1].frame_number);
    }
}

TEST_F(CaptureTest, FramesStillWaitingAtStopAreNeverDelivered) {
    Camera &camera = PlugNumbered();
    CaptureGraph graph;
    ASSERT_EQ(graph.connected, S_OK);
    graph.sink->HoldSamples();
    ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
    ASSERT_TRUE(graph.sink->WaitUntilHolding(1));
    WaitSensorFrames(camera, 10);
    ASSERT_EQ(graph.StopPromptly(), S_OK);
    const uint64_t started_before_stop = camera.Counters().frames_started;

    graph.sink->PassSamples();
    graph.sink->Take();
    ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
    ASSERT_TRUE(graph.sink->WaitForSamples(3));
    ASSERT_EQ(graph.StopPromptly(), S_OK);
    for (const ReceivedSample &sample : graph.sink->Take()) {
        ASSERT_TRUE(sample.frame_number.has_value());
        EXPECT_GE(*sample.frame_number, started_before_stop) << "a frame read before the stop";
    }
}

TEST_F(CaptureTest, ARefusingRendererStopsThePushWithoutAnErrorUntilTheNextRun) {
    Camera &camera = Plug();
    CaptureGraph graph;
    ASSERT_EQ(graph.connected, S_OK);
    graph.sink->RefuseAfter(2);
    ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
    ASSERT_TRUE(graph.sink->WaitForSamples(2));
    ASSERT_TRUE(tm350::test::EventuallyTrue([&] { return graph.sink->Arrived() >= 3; }));
    WaitSensorFrames(camera, 10);
    EXPECT_EQ(graph.sink->Arrived(), 3u) << "the loop ended at the refusal";
    EXPECT_FALSE(graph.NextEvent(EC_ERRORABORT, nullptr, 0));
    EXPECT_EQ(graph.sink->EndOfStreams(), 0);
    ASSERT_EQ(graph.StopPromptly(), S_OK);

    graph.sink->RefuseAfter(-1);
    graph.sink->Take();
    ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
    EXPECT_TRUE(graph.sink->WaitForSamples(3));
}

// On one processor the pin reads in FillBuffer itself: while the renderer
// holds a sample nothing is read (a capture thread would read three frames).
TEST_F(CaptureTest, OnOneProcessorFramesAreReadOnlyWhenASampleIsFilled) {
    Camera &camera = Plug();
    std::optional<ScopedProcessors> processors(1);
    CaptureGraph graph;
    processors.reset();
    ASSERT_EQ(graph.connected, S_OK);
    graph.sink->HoldSamples();
    ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
    ASSERT_TRUE(graph.sink->WaitUntilHolding(1));
    const uint64_t read = camera.Counters().frames_completed;
    WaitSensorFrames(camera, 10);
    EXPECT_EQ(camera.Counters().frames_completed, read);
    graph.sink->PassSamples();
    ASSERT_TRUE(graph.sink->WaitForSamples(5));
    ASSERT_EQ(graph.StopPromptly(), S_OK);
    ExpectOneStream(graph.sink->Take(), kNormalSpeedDuration);
}

}  // namespace
}  // namespace capture_test
