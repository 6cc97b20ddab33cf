// The capture path closed over the simulated sensor looking at the chart:
// frames read through the channel, patched, demosaiced and measured, with
// automatic exposure and white balance writing back through the channel.
#include "channel_fixture.h"

#include <cstdlib>

#include "camera/auto_exposure.h"
#include "camera/colour_processing.h"
#include "camera/demosaic.h"
#include "camera/device_binding.h"
#include "camera/picture_pipeline.h"
#include "camera/raw_frame.h"
#include "support/picture_colour.h"
#include "sim/ccd_sensor.h"
#include "sim/chart_scene.h"

namespace channel_test {
namespace {

using tm350::sim::Area;
using tm350::sim::CameraOptions;
using tm350::sim::ChartScene;

constexpr int kWidth = 1024;
constexpr int kHeight = 768;
constexpr size_t kPictureBytes = static_cast<size_t>(kWidth) * kHeight * 3;
// Reads that may be lost in a row before a frame comes: between two calls no
// read is pending, so each call starts in the middle of a frame.
constexpr int kReadAttempts = 20;

CameraOptions ChartCamera() {
    return CameraOptions{.sensor = tm350::sim::SensorOptions{.scene = tm350::sim::Scene::Chart}};
}

// The next whole frame; false when the device failed or framing kept failing.
bool ReadWholeFrame(CDeviceChannel &channel, std::vector<BYTE> &raw) {
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        const int result = channel.ReadFrame(raw.data());
        if (result == 1) return true;
        if (result < 0) return false;
    }
    return false;
}

using tm350::test::Colour;
using tm350::test::MeanColour;

class CameraLoopTest : public ChannelTest {
protected:
    // Binds the chart camera with these settings and starts it streaming.
    std::unique_ptr<CDeviceChannel> BindStreaming(const CCameraSettings &settings, CameraOptions options = ChartCamera()) {
        Plug(std::move(options));
        std::unique_ptr<CDeviceChannel> channel(BindCamera(0, settings, defects_));
        if (channel != nullptr) channel->StartStreaming();
        return channel;
    }

    CDefectList defects_{};
    std::vector<BYTE> raw_ = std::vector<BYTE>(RAW_FRAME_SIZE);
    std::vector<BYTE> picture_ = std::vector<BYTE>(kPictureBytes);
};

struct ExposureStart {
    WORD rows;
    WORD gain;
};

class AutoExposureLoop : public CameraLoopTest, public ::testing::WithParamInterface<ExposureStart> {};

// The loop counts as settled once it has left exposure and gain alone for ten
// frames, which it does only while its damped measurement, the mean of the
// expectation (the target, once settled) and the picture's brightness, is
// within 9 of the target: the picture's brightness is then within 19 of it.
// From either end of the range it gets there in 60 to 75 frames; the limit
// leaves room for frames whose exposure lags a correction by one more frame.
constexpr int kSettleFrames = 150;
constexpr int kQuietFrames = 10;
constexpr int kBrightnessTolerance = 19;

TEST_P(AutoExposureLoop, BringsThePictureToTheTargetThroughTheChannel) {
    CCameraSettings settings;
    settings.SetDefaults();
    settings.ExposureTime = GetParam().rows;
    settings.AnalogGain = GetParam().gain;
    auto channel = BindStreaming(settings);
    ASSERT_NE(channel, nullptr);
    CGainTables gains;
    BuildGainTables(gains, settings.r, settings.g, settings.b);
    CToneTable tone;
    BuildToneTable(tone, settings.Gamma, settings.Contrast);
    CAutoExposureState state;

    int frames = 0, quiet = 0;
    BYTE brightness = 0;
    for (; frames < kSettleFrames && quiet < kQuietFrames; ++frames) {
        ASSERT_TRUE(ReadWholeFrame(*channel, raw_));
        CorrectDefects(raw_.data(), kWidth, kHeight, defects_);
        brightness = DevelopPicture(raw_.data(), picture_.data(), kWidth, kHeight, settings, gains, tone);
        const WORD rows = settings.ExposureTime, gain = settings.AnalogGain;
        AutoExposeBrightness(brightness, settings, state, *channel);
        quiet = rows == settings.ExposureTime && gain == settings.AnalogGain ? quiet + 1 : 0;
    }
    RecordProperty("frames", frames);
    EXPECT_EQ(quiet, kQuietFrames) << "after " << frames << " frames: " << settings.ExposureTime << " rows, gain "
                                   << settings.AnalogGain << ", brightness " << int{brightness};
    EXPECT_NEAR(brightness, settings.AETarget, kBrightnessTolerance);
    // What the loop settled on is what the camera was told last.
    EXPECT_EQ(camera_->Register(0, 0x01), settings.AnalogGain);
    EXPECT_EQ(camera_->Register(0, 0x63), static_cast<uint32_t>(792 - settings.ExposureTime) << 12);
}

INSTANTIATE_TEST_SUITE_P(FromEitherEnd, AutoExposureLoop,
                         ::testing::Values(ExposureStart{1, 1}, ExposureStart{791, 752}));

// Grey patches come out with red, green and blue this close after the gains
// a one-push white balance chose: 4 % of the level, and one level of rounding.
double NeutralTolerance(double level) { return 0.04 * level + 1; }

TEST_F(CameraLoopTest, OnePushWhiteBalanceMakesTheGreyRowNeutral) {
    CCameraSettings settings;
    settings.SetDefaults();
    auto channel = BindStreaming(settings);
    ASSERT_NE(channel, nullptr);
    ASSERT_TRUE(ReadWholeFrame(*channel, raw_));
    CorrectDefects(raw_.data(), kWidth, kHeight, defects_);
    Demosaic(raw_.data(), picture_.data(), kWidth, kHeight, settings.Speed);

    OnePushWhiteBalance(picture_.data(), kWidth, kHeight, settings);
    CGainTables gains;
    BuildGainTables(gains, settings.r, settings.g, settings.b);
    ApplyGainTables(picture_.data(), kWidth, kHeight, gains);
    for (int column = 0; column < ChartScene::kColumns - 1; ++column) {  // white to the darkest grey
        SCOPED_TRACE(column);
        const Colour grey = MeanColour(picture_, ChartScene::PatchArea(ChartScene::kGreyRow, column));
        EXPECT_NEAR(grey.red, grey.green, NeutralTolerance(grey.green));
        EXPECT_NEAR(grey.blue, grey.green, NeutralTolerance(grey.green));
    }
}

size_t SamplesAt(const std::vector<BYTE> &raw, BYTE level) {
    size_t count = 0;
    for (size_t i = 0; i < RAW_FRAME_SIZE; ++i) count += raw[i] == level;
    return count;
}

TEST_F(CameraLoopTest, TheStoredDefectsAreTheHotPixelsAndThePatchRemovesThemAll) {
    CCameraSettings settings;
    settings.SetDefaults();
    // Half the starting exposure: nothing of the scene reaches 255, only the hot pixels.
    settings.ExposureTime = 150;
    auto channel = BindStreaming(settings);
    ASSERT_NE(channel, nullptr);
    ASSERT_EQ(defects_.count, 3u);  // the camera's stored table for the full size
    ASSERT_TRUE(ReadWholeFrame(*channel, raw_));

    EXPECT_EQ(SamplesAt(raw_, 255), defects_.count);
    for (DWORD i = 0; i < defects_.count; ++i)
        EXPECT_EQ(raw_[static_cast<size_t>(defects_.entries[i].y) * kWidth + defects_.entries[i].x], 255);
    CorrectDefects(raw_.data(), kWidth, kHeight, defects_);
    EXPECT_EQ(SamplesAt(raw_, 255), 0u);
}

class BayerPhaseLoop : public CameraLoopTest, public ::testing::WithParamInterface<BYTE> {};

// The speed decides both the camera's readout and the mosaic's phase; the
// demosaic follows the same setting, so red stays red.
TEST_P(BayerPhaseLoop, TheRedPatchIsRed) {
    CCameraSettings settings;
    settings.SetDefaults();
    settings.Speed = GetParam();
    auto channel = BindStreaming(settings);
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(camera_->CurrentFramePeriod(), settings.Speed == 1 ? 67u : 133u);
    ASSERT_TRUE(ReadWholeFrame(*channel, raw_));
    std::vector<BYTE> otherPhase = raw_;

    Demosaic(raw_.data(), picture_.data(), kWidth, kHeight, settings.Speed);
    const Colour red = MeanColour(picture_, ChartScene::PatchArea(0, ChartScene::kRedPatch));
    EXPECT_GT(red.red, 2 * red.green);
    EXPECT_GT(red.red, 2 * red.blue);

    // Read with the other phase the same frame is not red: the phase is the camera's.
    Demosaic(otherPhase.data(), picture_.data(), kWidth, kHeight, settings.Speed == 1 ? 0 : 1);
    const Colour wrong = MeanColour(picture_, ChartScene::PatchArea(0, ChartScene::kRedPatch));
    EXPECT_FALSE(wrong.red > 2 * wrong.green && wrong.red > 2 * wrong.blue);
}

INSTANTIATE_TEST_SUITE_P(AtBothSpeeds, BayerPhaseLoop, ::testing::Values(BYTE{0}, BYTE{1}));

}  // namespace
}  // namespace channel_test
