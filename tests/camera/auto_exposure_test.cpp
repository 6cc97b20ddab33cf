// Automatic exposure and one-push white balance on hand-checkable pictures.
#include <gtest/gtest.h>

#include <vector>

#include "camera/auto_exposure.h"

namespace {

constexpr int kWidth = 1024;
constexpr int kHeight = 768;

std::vector<BYTE> UniformPicture(BYTE blue, BYTE green, BYTE red, int w = kWidth, int h = kHeight) {
    std::vector<BYTE> picture(static_cast<size_t>(w) * h * 3);
    for (size_t i = 0; i < picture.size(); i += 3) {
        picture[i] = blue;
        picture[i + 1] = green;
        picture[i + 2] = red;
    }
    return picture;
}

// A grey picture whose measured brightness is exactly `luma`.
std::vector<BYTE> PictureOfBrightness(int luma) {
    for (int level = 0; level < 256; ++level) {
        auto picture = UniformPicture(level, level, level);
        if (MeasureBrightness(picture.data(), kWidth, kHeight) == luma) return picture;
    }
    ADD_FAILURE() << "no grey level measures " << luma;
    return {};
}

struct RecordingCamera : CExposureWriter {
    std::vector<std::pair<char, WORD>> writes;
    BOOL SetAnalogGain(WORD gain) override {
        writes.push_back({'G', gain});
        return TRUE;
    }
    BOOL SetExposure(WORD rows) override {
        writes.push_back({'E', rows});
        return TRUE;
    }
};

CCameraSettings Settings(WORD gain, WORD rows) {
    CCameraSettings settings;
    settings.SetDefaults();
    settings.AETarget = 100;
    settings.AnalogGain = gain;
    settings.ExposureTime = rows;
    return settings;
}

TEST(MeasureBrightness, WeighsTheCentreQuarterAsBt601Luma) {
    auto grey = UniformPicture(128, 128, 128);
    EXPECT_EQ(MeasureBrightness(grey.data(), kWidth, kHeight), 125);
    auto black = UniformPicture(0, 0, 0);
    EXPECT_EQ(MeasureBrightness(black.data(), kWidth, kHeight), 16);
    auto white = UniformPicture(255, 255, 255);
    EXPECT_EQ(MeasureBrightness(white.data(), kWidth, kHeight), 234);

    // Only the centre quarter counts: a white frame around it changes nothing,
    // one white pixel inside the window does.
    auto framed = UniformPicture(0, 0, 0);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            bool inside = y >= kHeight / 4 && y < 3 * kHeight / 4 && x >= kWidth / 4 && x < 3 * kWidth / 4;
            if (!inside) framed[(static_cast<size_t>(y) * kWidth + x) * 3 + 1] = 255;
        }
    }
    EXPECT_EQ(MeasureBrightness(framed.data(), kWidth, kHeight), 16);
    // Each colour has its own weight: red 8432, green 16425, blue 3176.
    auto red = UniformPicture(0, 0, 255);
    EXPECT_EQ(MeasureBrightness(red.data(), kWidth, kHeight), ((8432 * 255) >> 15) + 16);
    auto blue = UniformPicture(255, 0, 0);
    EXPECT_EQ(MeasureBrightness(blue.data(), kWidth, kHeight), ((3176 * 255) >> 15) + 16);
}

TEST(AutoExpose, ADarkMeasurementAveragesWithTheExpectationAndStepsTheTime) {
    auto picture = PictureOfBrightness(100);
    CCameraSettings settings = Settings(300, 300);
    CAutoExposureState state;  // expected brightness 80
    RecordingCamera camera;
    AutoExpose(picture.data(), kWidth, kHeight, settings, state, camera);
    EXPECT_EQ(state.measuredBrightness, 90);
    EXPECT_EQ(state.expectedBrightness, 105);
    EXPECT_EQ(settings.ExposureTime, 302);
    EXPECT_EQ(settings.AnalogGain, 300);
    // Gain first, then exposure.
    ASSERT_EQ(camera.writes.size(), 2u);
    EXPECT_EQ(camera.writes[0], std::make_pair('G', WORD(300)));
    EXPECT_EQ(camera.writes[1], std::make_pair('E', WORD(302)));
}

TEST(AutoExpose, ASaturatedPictureTakesTheGainDownToItsFloorFirst) {
    auto picture = PictureOfBrightness(220);
    CCameraSettings settings = Settings(400, 300);
    CAutoExposureState state;
    RecordingCamera camera;
    AutoExpose(picture.data(), kWidth, kHeight, settings, state, camera);
    EXPECT_EQ(state.measuredBrightness, 255);
    EXPECT_EQ(state.expectedBrightness, 75);  // 100 - min(25, 77)
    EXPECT_EQ(settings.AnalogGain, 330);
    EXPECT_EQ(settings.ExposureTime, 300);

    settings = Settings(250, 300);
    AutoExpose(picture.data(), kWidth, kHeight, settings, state, camera);
    EXPECT_EQ(settings.AnalogGain, 232);
    EXPECT_EQ(settings.ExposureTime, 300);

    // At the floor the time comes down; with a very short time the gain
    // comes down by a quarter step only.
    settings = Settings(232, 300);
    AutoExpose(picture.data(), kWidth, kHeight, settings, state, camera);
    EXPECT_EQ(settings.AnalogGain, 232);
    EXPECT_EQ(settings.ExposureTime, 230);
    settings = Settings(400, 5);
    AutoExpose(picture.data(), kWidth, kHeight, settings, state, camera);
    EXPECT_EQ(settings.AnalogGain, 383);
    settings = Settings(232, 12);
    AutoExpose(picture.data(), kWidth, kHeight, settings, state, camera);
    EXPECT_EQ(settings.ExposureTime, 11);
}

TEST(AutoExpose, ADarkPictureRaisesGainThenTimeThenGainAgain) {
    auto picture = PictureOfBrightness(20);  // forced to 1: the largest step
    CAutoExposureState state;
    RecordingCamera camera;
    CCameraSettings settings = Settings(224, 300);
    AutoExpose(picture.data(), kWidth, kHeight, settings, state, camera);
    EXPECT_EQ(state.measuredBrightness, 1);
    EXPECT_EQ(state.expectedBrightness, 125);
    EXPECT_EQ(settings.AnalogGain, 259);  // + half of 70
    EXPECT_EQ(settings.ExposureTime, 300);

    settings = Settings(300, 790);
    AutoExpose(picture.data(), kWidth, kHeight, settings, state, camera);
    EXPECT_EQ(settings.ExposureTime, 791);
    EXPECT_EQ(settings.AnalogGain, 440);

    // The gain never passes 752, the time never 791, even from stored values above.
    settings = Settings(740, 4000);
    AutoExpose(picture.data(), kWidth, kHeight, settings, state, camera);
    EXPECT_EQ(settings.AnalogGain, 752);
    EXPECT_EQ(settings.ExposureTime, 791);

    settings = Settings(300, 5);
    AutoExpose(picture.data(), kWidth, kHeight, settings, state, camera);
    EXPECT_EQ(settings.ExposureTime, 6);
    settings = Settings(300, 15);
    AutoExpose(picture.data(), kWidth, kHeight, settings, state, camera);
    EXPECT_EQ(settings.ExposureTime, 23);  // + eighth of 70
    settings = Settings(300, 30);
    AutoExpose(picture.data(), kWidth, kHeight, settings, state, camera);
    EXPECT_EQ(settings.ExposureTime, 47);  // + quarter of 70
}

TEST(AutoExpose, NearTheTargetOrSwitchedOffNothingIsWritten) {
    auto picture = PictureOfBrightness(108);
    CCameraSettings settings = Settings(300, 300);
    CAutoExposureState state;
    state.expectedBrightness = 100;
    RecordingCamera camera;
    AutoExpose(picture.data(), kWidth, kHeight, settings, state, camera);  // m = 104, e = 4
    EXPECT_TRUE(camera.writes.empty());
    EXPECT_EQ(state.expectedBrightness, 100);
    EXPECT_EQ(settings.ExposureTime, 300);

    settings.AutoExposure = 0;
    auto dark = PictureOfBrightness(20);
    AutoExpose(dark.data(), kWidth, kHeight, settings, state, camera);
    EXPECT_TRUE(camera.writes.empty());
    EXPECT_EQ(state.measuredBrightness, 104);
}

TEST(OnePushWhiteBalance, GreyWorldGainsAndTheirScaling) {
    CCameraSettings settings;
    settings.SetDefaults();
    auto balanced = UniformPicture(80, 100, 50);
    OnePushWhiteBalance(balanced.data(), kWidth, kHeight, settings);
    EXPECT_EQ(settings.r, 128);
    EXPECT_EQ(settings.g, 64);
    EXPECT_EQ(settings.b, 80);

    auto reddish_poor = UniformPicture(50, 100, 20);
    OnePushWhiteBalance(reddish_poor.data(), kWidth, kHeight, settings);
    EXPECT_EQ(settings.r, 255);
    EXPECT_EQ(settings.g, 51);
    EXPECT_EQ(settings.b, 102);

    auto blue_poor = UniformPicture(20, 100, 50);
    OnePushWhiteBalance(blue_poor.data(), kWidth, kHeight, settings);
    EXPECT_EQ(settings.r, 102);
    EXPECT_EQ(settings.g, 51);
    EXPECT_EQ(settings.b, 255);
}

TEST(OnePushWhiteBalance, APictureWithoutOneColourKeepsTheGains) {
    CCameraSettings settings;
    settings.SetDefaults();
    for (auto picture : {UniformPicture(80, 100, 0), UniformPicture(0, 100, 50), UniformPicture(80, 0, 50)}) {
        OnePushWhiteBalance(picture.data(), kWidth, kHeight, settings);
        EXPECT_EQ(settings.r, 74);
        EXPECT_EQ(settings.g, 64);
        EXPECT_EQ(settings.b, 96);
    }
}

}  // namespace
