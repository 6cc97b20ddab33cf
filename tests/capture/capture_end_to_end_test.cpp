// The capture path end to end, from the simulated sensor through vexusb, the
// device channel, the pin's pipeline and the graph: binding and rebinding,
// both module instances side by side, many runs, a camera pulled out while
// running, and what automatic exposure and white balance do to the samples.
#include <algorithm>
#include <cstring>
#include <string>

#include "camera/auto_exposure.h"
#include "camera/demosaic.h"
#include "camera/picture_pipeline.h"
#include "camera/raw_frame.h"
#include "capture_fixture.h"
#include "numbered_frames.h"
#include "sim/chart_scene.h"
#include "support/eventually.h"
#include "support/picture_colour.h"

namespace capture_test {
namespace {

using tm350::sim::ChartScene;
using tm350::test::Colour;
using tm350::test::MeanColour;

constexpr int kWidth = 1024;
constexpr int kHeight = 768;

CameraWrite Register(uint8_t address, uint32_t value) {
    return {.kind = CameraWrite::Kind::Register,
            .page = 0,
            .address = address,
            .value = value,
            .w_value = static_cast<uint16_t>(value >> 8),
            .w_index = static_cast<uint16_t>(address << 8 | (value & 0xFF))};
}

bool IsControlWord(const CameraWrite &write, uint32_t word) {
    return write.kind == CameraWrite::Kind::ControlWord && write.value == word;
}

// A delivered (bottom-up) picture turned top row first, as the chart's
// coordinates count.
std::vector<uint8_t> TopRowFirst(const std::vector<uint8_t> &sample) {
    const size_t row = static_cast<size_t>(kWidth) * 3;
    std::vector<uint8_t> picture(sample.size());
    for (int y = 0; y < kHeight; ++y) std::memcpy(&picture[y * row], &sample[(kHeight - 1 - y) * row], row);
    return picture;
}

TEST_F(CaptureTest, APauseWithoutACameraFailsAndAPauseOnceItIsPluggedInBinds) {
    CaptureGraph graph;
    ASSERT_EQ(graph.connected, S_OK);
    EXPECT_TRUE(FAILED(graph.control->Pause()));
    EXPECT_EQ(graph.FilterState(), State_Stopped);
    EXPECT_EQ(graph.sink->Count(), 0u);

    Plug();
    EXPECT_TRUE(SUCCEEDED(graph.control->Pause()));
    // A live source delivers while paused.
    EXPECT_TRUE(graph.sink->WaitForSamples(2));
    EXPECT_EQ(graph.StopPromptly(), S_OK);
}

// Each run from Stopped opens and programs the camera anew: the control word
// pulse, the init table, then the stored exposure, gain and speed, and only
// then streaming; each stop shuts it down again.
TEST_F(CaptureTest, EveryRunFromStoppedProgramsTheCameraAgain) {
    Camera &camera = Plug();
    CaptureGraph graph;
    ASSERT_EQ(graph.connected, S_OK);
    // Automatic exposure off, so that the camera takes no writes but the
    // binding's while it streams.
    ASSERT_EQ(graph.camera->SetExposureControl(0, 100, 300, 224), S_OK);
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        WriteWatch watch(camera);
        ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
        ASSERT_TRUE(graph.sink->WaitForSamples(2));
        ASSERT_EQ(graph.StopPromptly(), S_OK);
        graph.sink->Take();
        const std::vector<CameraWrite> writes = watch.New();

        ASSERT_GE(writes.size(), 3u);
        EXPECT_TRUE(IsControlWord(writes[0], 1) && IsControlWord(writes[1], 0) && IsControlWord(writes[2], 1));
        auto streaming = std::find_if(writes.begin(), writes.end(), [](auto &w) { return IsControlWord(w, 3); });
        ASSERT_NE(streaming, writes.end());
        const size_t start = static_cast<size_t>(streaming - writes.begin());
        ASSERT_GE(start, 5u);
        const std::vector<CameraWrite> programmed(writes.begin() + start - 5, writes.begin() + start);
        const std::vector<CameraWrite> expected = {Register(0x63, (792 - 300) << 12), Register(0x01, 224),
                                                   Register(0x30, 1), Register(0x36, 0x21), Register(0x15, 1)};
        EXPECT_EQ(programmed, expected);
        const auto registers = std::count_if(writes.begin(), streaming,
                                             [](auto &w) { return w.kind == CameraWrite::Kind::Register; });
        EXPECT_GE(registers, 100) << "the init table";
        EXPECT_EQ(writes.back(), Register(0x00, 3)) << "shut down at the end";
    }
}

// Each module opens its own instance: with three cameras, instance 0 reads
// the first and instance 2 the third, at the same time.
TEST_F(CaptureTest, BothInstancesCaptureSideBySideEachFromItsOwnCamera) {
    Camera &first = Plug();
    Camera &second = Plug();
    Camera &third = Plug();
    CaptureGraph zero(0);
    CaptureGraph two(2);
    ASSERT_EQ(zero.connected, S_OK);
    ASSERT_EQ(two.connected, S_OK);
    ASSERT_TRUE(SUCCEEDED(zero.control->Run()));
    ASSERT_TRUE(SUCCEEDED(two.control->Run()));
    EXPECT_TRUE(zero.sink->WaitForSamples(5));
    EXPECT_TRUE(two.sink->WaitForSamples(5));
    EXPECT_TRUE(first.Streaming());
    EXPECT_FALSE(second.Streaming());
    EXPECT_TRUE(third.Streaming());
    EXPECT_EQ(zero.StopPromptly(), S_OK);
    EXPECT_TRUE(third.Streaming()) << "one graph's stop leaves the other's camera alone";
    EXPECT_EQ(two.StopPromptly(), S_OK);
    EXPECT_FALSE(first.Streaming());
    EXPECT_FALSE(third.Streaming());
}

TEST_F(CaptureTest, RunsPausesAndStopsAHundredTimesWithSamplesEachTime) {
    Plug();
    CaptureGraph graph;
    ASSERT_EQ(graph.connected, S_OK);
    ASSERT_EQ(graph.camera->SetSpeedMode(1), S_OK);
    for (int cycle = 0; cycle < 100; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
        ASSERT_TRUE(graph.sink->WaitForSamples(2));
        ASSERT_TRUE(SUCCEEDED(graph.control->Pause()));
        ASSERT_EQ(graph.StopPromptly(), S_OK);
        const std::vector<ReceivedSample> samples = graph.sink->Take();
        ASSERT_GE(samples.size(), 2u);
        for (size_t n = 0; n < samples.size(); ++n) {
            ASSERT_EQ(samples[n].start, static_cast<REFERENCE_TIME>(n) * kHighSpeedDuration);
        }
    }
    EXPECT_EQ(graph.sink->EndOfStreams(), 0);
}

class CameraPulledOut : public CaptureTest, public ::testing::WithParamInterface<int> {};

// Pulling the camera out while running ends the stream with an error the
// application sees, the stop returns, and nothing of the driver's is left
// once the handles are closed; plugged in again it captures again.
TEST_P(CameraPulledOut, TheGraphGetsAnErrorStopsAndRunsAgainOnceItIsBack) {
    const CameraId camera = TheMachine().Plug();
    {
        std::optional<ScopedProcessors> processors(GetParam());
        CaptureGraph graph;
        processors.reset();
        ASSERT_EQ(graph.connected, S_OK);
        ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
        ASSERT_TRUE(graph.sink->WaitForSamples(3));
        TheMachine().Unplug(camera, tm350::sim::Removal::Surprise);
        LONG_PTR error = 0;
        ASSERT_TRUE(graph.NextEvent(EC_ERRORABORT, &error));
        EXPECT_EQ(static_cast<HRESULT>(error), E_FAIL);
        EXPECT_TRUE(graph.sink->WaitForEndOfStream());
        EXPECT_EQ(graph.StopPromptly(), S_OK);

        Plug();
        graph.sink->Take();
        ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
        EXPECT_TRUE(graph.sink->WaitForSamples(3));
        EXPECT_EQ(graph.StopPromptly(), S_OK);
    }
    CoFreeUnusedLibraries();
    UnplugAll();
    // The driver unloads with the verifier's checks: a request block or
    // device object left behind by the removal ends the program.
    TheMachine().Shutdown();
    ASSERT_TRUE(Machine::Start(TestMachineOptions()));
}

INSTANTIATE_TEST_SUITE_P(CaptureThreadAndDirect, CameraPulledOut, ::testing::Values(2, 1),
                         [](const auto &info) { return info.param == 2 ? "CaptureThread" : "Direct"; });

// A camera that stops sending without going away: the read gives up after
// its bound, which ends the stream like a device failure; the camera
// sending again and a new run capture again.
TEST_F(CaptureTest, ACameraThatStopsSendingEndsTheStreamWithAnError) {
    Camera &camera = Plug();
    CaptureGraph graph;
    ASSERT_EQ(graph.connected, S_OK);
    ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
    ASSERT_TRUE(graph.sink->WaitForSamples(2));
    camera.HangSensor();
    LONG_PTR error = 0;
    EXPECT_TRUE(graph.NextEvent(EC_ERRORABORT, &error));
    EXPECT_EQ(static_cast<HRESULT>(error), E_FAIL);
    EXPECT_EQ(graph.StopPromptly(), S_OK);
    camera.ResumeSensor();
    graph.sink->Take();
    ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
    EXPECT_TRUE(graph.sink->WaitForSamples(2));
}

// From the shortest exposure at the lowest gain, automatic exposure brings
// the picture up and holds it there.
TEST_F(CaptureTest, AutomaticExposureBringsADarkPictureUpToItsTarget) {
    Plug();
    CaptureGraph graph;
    ASSERT_EQ(graph.connected, S_OK);
    ASSERT_EQ(graph.camera->SetExposureControl(1, 100, 1, 1), S_OK);
    ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
    constexpr size_t kSteady = 10;
    auto settled = [](const std::vector<ReceivedSample> &samples) {
        if (samples.size() < kSteady + 1) return false;
        const auto last = samples.end() - kSteady;
        const auto [low, high] = std::minmax_element(
            last, samples.end(), [](auto &a, auto &b) { return a.brightness < b.brightness; });
        return high->brightness - low->brightness <= 4 && low->brightness > samples.front().brightness + 40;
    };
    EXPECT_TRUE(graph.sink->WaitUntil(settled));
    ASSERT_EQ(graph.StopPromptly(), S_OK);
    const std::vector<ReceivedSample> samples = graph.sink->Take();
    EXPECT_LT(samples.front().brightness, 40);
    DWORD automatic = 0;
    BYTE target = 0;
    WORD rows = 0, gain = 0;
    ASSERT_EQ(graph.camera->GetExposureControl(&automatic, &target, &rows, &gain), S_OK);
    EXPECT_GT(rows, 1);
    EXPECT_GT(gain, 1);
}

// A one-push white balance is measured on the next frame delivered: until
// then the flag stays up (for good while nothing streams); then the gains
// are those of the warm lamp and the grey row comes out grey.
TEST_F(CaptureTest, OnePushWhiteBalanceTakesTheNextFrameAndNeutralisesTheGreyRow) {
    CaptureGraph graph;
    ASSERT_EQ(graph.connected, S_OK);
    ASSERT_EQ(graph.camera->SetExposureControl(0, 100, 300, 224), S_OK);
    ASSERT_EQ(graph.camera->SetSaturation(0, 100), S_OK);
    ASSERT_EQ(graph.camera->SetWhiteBalance(1, 74, 64, 96), S_OK);
    DWORD pending = 0;
    BYTE r = 0, g = 0, b = 0;
    ASSERT_EQ(graph.camera->GetWhiteBalance(&pending, &r, &g, &b), S_OK);
    EXPECT_EQ(pending, 1u) << "nothing streams";

    Plug();
    graph.sink->KeepPictures();
    ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
    ASSERT_TRUE(graph.sink->WaitForSamples(1));
    ASSERT_TRUE(tm350::test::EventuallyTrue([&] {
        graph.camera->GetWhiteBalance(&pending, &r, &g, &b);
        return pending == 0;
    }));
    EXPECT_NEAR(r, 45, 3);
    EXPECT_EQ(g, 64);
    EXPECT_NEAR(b, 109, 5);
    const size_t balanced = graph.sink->Count() + 1;
    ASSERT_TRUE(graph.sink->WaitForSamples(balanced + 1));
    ASSERT_EQ(graph.StopPromptly(), S_OK);
    const std::vector<ReceivedSample> samples = graph.sink->Take();
    const std::vector<uint8_t> picture = TopRowFirst(samples.back().picture);
    for (int column = 1; column < ChartScene::kColumns - 2; ++column) {  // the greys the tone curve leaves apart
        SCOPED_TRACE("grey patch " + std::to_string(column));
        const Colour grey = MeanColour(picture, ChartScene::PatchArea(ChartScene::kGreyRow, column));
        EXPECT_NEAR(grey.red, grey.green, 0.06 * grey.green + 2);
        EXPECT_NEAR(grey.blue, grey.green, 0.06 * grey.green + 2);
    }
}

// The pin develops a frame exactly as the single pass of the pipeline does
// (and a frame with a one-push white balance pending as its two passes),
// and delivers it bottom-up: the numbered blocks at the picture's top are
// the last rows in memory.
TEST_F(CaptureTest, SamplesHoldExactlyWhatThePipelineMakesOfTheRawFrameBottomUp) {
    PlugNumbered();
    CaptureGraph graph;
    ASSERT_EQ(graph.connected, S_OK);
    ASSERT_EQ(graph.camera->SetWhiteBalance(1, 74, 64, 96), S_OK);
    graph.sink->KeepPictures();
    ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
    ASSERT_TRUE(graph.sink->WaitForSamples(3));
    ASSERT_EQ(graph.StopPromptly(), S_OK);
    const std::vector<ReceivedSample> samples = graph.sink->Take();
    DWORD pending = 1;
    BYTE r = 0, g = 0, b = 0;
    ASSERT_EQ(graph.camera->GetWhiteBalance(&pending, &r, &g, &b), S_OK);
    ASSERT_EQ(pending, 0u);

    CCameraSettings settings;
    settings.SetDefaults();
    CToneTable tone;
    BuildToneTable(tone, settings.Gamma, settings.Contrast);
    CGainTables gains;
    BuildGainTables(gains, settings.r, settings.g, settings.b);
    std::vector<uint8_t> raw(0x280200), expected(kSampleBytes), demosaiced(kSampleBytes);
    for (size_t n = 0; n < samples.size(); ++n) {
        SCOPED_TRACE("sample " + std::to_string(n));
        ASSERT_TRUE(samples[n].frame_number.has_value()) << "the numbered blocks are not at the end of the sample";
        for (size_t i = 0; i < tm350::sim::kFrameBytes; ++i) raw[i] = NumberedFrames::ByteAt(*samples[n].frame_number, i);
        if (n == 0) {
            Demosaic(raw.data(), demosaiced.data(), kWidth, kHeight, settings.Speed);
            OnePushWhiteBalance(demosaiced.data(), kWidth, kHeight, settings);
            EXPECT_EQ(settings.r, r);
            EXPECT_EQ(settings.g, g);
            EXPECT_EQ(settings.b, b);
            BuildGainTables(gains, settings.r, settings.g, settings.b);
            FinishPicture(demosaiced.data(), expected.data(), kWidth, kHeight, settings, gains, tone);
        } else {
            DevelopPicture(raw.data(), expected.data(), kWidth, kHeight, settings, gains, tone);
        }
        ASSERT_EQ(samples[n].picture.size(), expected.size());
        EXPECT_TRUE(samples[n].picture == expected);
    }
    // The first rows in memory are the picture's bottom: flat grey.
    const std::vector<uint8_t> &bottom = samples.back().picture;
    for (int x = 8; x < kWidth - 8; ++x) EXPECT_EQ(bottom[(32 * kWidth + x) * 3 + 1], bottom[(32 * kWidth + 8) * 3 + 1]);
}

}  // namespace
}  // namespace capture_test
