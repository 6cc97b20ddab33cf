// The fast pipeline against the plain one: the same bytes for random frames
// and settings, with every instruction set this processor has, at the
// camera's size and at sizes that leave partial vectors everywhere.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "camera/auto_exposure.h"
#include "camera/picture_pipeline.h"
#include "camera/raw_frame.h"
#include "reference_pipeline.h"

namespace {

using tm350::pipeline::Isa;

std::vector<Isa> AvailableIsas() {
    std::vector<Isa> isas;
    for (Isa isa : {Isa::Portable, Isa::Avx2, Isa::Avx512Vbmi})
        if (tm350::pipeline::IsaAvailable(isa)) isas.push_back(isa);
    return isas;
}

std::string IsaName(Isa isa) {
    return isa == Isa::Portable ? "portable" : isa == Isa::Avx2 ? "avx2" : "avx512vbmi";
}

struct Size {
    int w, h;
};

// 1024 x 768 is the camera's; the others end rows and spans inside a vector,
// are narrower than one vector, or have no interior at all.
const Size kSizes[] = {{1024, 768}, {37, 5}, {34, 3}, {33, 4}, {65, 6}, {257, 3}, {300, 4},
                       {31, 2},     {3, 3},  {2, 2},  {1, 1},  {64, 1}, {1, 7}};

reference::Bytes RandomBytes(std::mt19937 &random, size_t size) {
    reference::Bytes bytes(size);
    for (uint8_t &byte : bytes) byte = static_cast<uint8_t>(random());
    return bytes;
}

int Uniform(std::mt19937 &random, int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }

// The first differing byte as pixel and channel, for a readable failure.
::testing::AssertionResult SameBytes(const reference::Bytes &expected, const reference::Bytes &actual, int w) {
    for (size_t k = 0; k < expected.size(); ++k) {
        if (expected[k] != actual[k]) {
            const size_t pixel = k / 3;
            return ::testing::AssertionFailure()
                   << "row " << pixel / w << ", column " << pixel % w << ", byte " << k % 3 << ": expected "
                   << int(expected[k]) << ", got " << int(actual[k]);
        }
    }
    return ::testing::AssertionSuccess();
}

struct Trial {
    reference::Settings settings;
    CCameraSettings camera;
    CGainTables gains;
    reference::GainTables referenceGains;
    CToneTable tone;
};

Trial RandomTrial(std::mt19937 &random, bool linearGains) {
    Trial trial;
    reference::Settings &s = trial.settings;
    s.WhiteBlack = Uniform(random, 0, 3) == 0;
    s.EnableSaturation = Uniform(random, 0, 1);
    s.Saturation = Uniform(random, 0, 255);
    s.r = Uniform(random, 0, 255), s.g = Uniform(random, 0, 255), s.b = Uniform(random, 0, 255);
    s.VFlip = Uniform(random, 0, 1), s.HFlip = Uniform(random, 0, 1);
    trial.camera.SetDefaults();
    trial.camera.WhiteBlack = s.WhiteBlack, trial.camera.EnableSaturation = s.EnableSaturation;
    trial.camera.Saturation = static_cast<BYTE>(s.Saturation);
    trial.camera.VFlip = s.VFlip, trial.camera.HFlip = s.HFlip;
    if (linearGains) {
        reference::BuildGainTables(trial.referenceGains, s.r, s.g, s.b);
    } else {
        // Tables no gain factor gives, as when caught half-rebuilt.
        for (auto &table : trial.referenceGains)
            for (uint8_t &level : table) level = static_cast<uint8_t>(random());
    }
    std::memcpy(trial.gains.blue, trial.referenceGains[0], 256);
    std::memcpy(trial.gains.green, trial.referenceGains[1], 256);
    std::memcpy(trial.gains.red, trial.referenceGains[2], 256);
    BuildToneTable(trial.tone, static_cast<BYTE>(Uniform(random, 10, 250)), static_cast<BYTE>(Uniform(random, 0, 100)));
    return trial;
}

}  // namespace

TEST(FastPipeline, DemosaicMatchesThePlainOneForBothPhasesAtEverySize) {
    std::mt19937 random(1);
    for (Isa isa : AvailableIsas()) {
        for (const Size &size : kSizes) {
            for (BYTE speed : {0, 1}) {
                SCOPED_TRACE(IsaName(isa) + " " + std::to_string(size.w) + "x" + std::to_string(size.h) +
                             " Speed " + std::to_string(speed));
                reference::Bytes raw = RandomBytes(random, RAW_FRAME_SIZE);
                const reference::Bytes expected = reference::Demosaic(raw, size.w, size.h, speed);
                reference::Bytes picture(expected.size(), 0x5A);
                tm350::pipeline::DemosaicWith(isa, raw.data(), picture.data(), size.w, size.h, speed);
                ASSERT_TRUE(SameBytes(expected, picture, size.w));
            }
        }
    }
}

TEST(FastPipeline, FinishingMatchesThePlainStepsForRandomSettings) {
    std::mt19937 random(2);
    for (Isa isa : AvailableIsas()) {
        for (const Size &size : kSizes) {
            const int trials = size.w * size.h > 100000 ? 8 : 40;
            for (int t = 0; t < trials; ++t) {
                Trial trial = RandomTrial(random, /*linearGains=*/t % 5 != 4);
                SCOPED_TRACE(IsaName(isa) + " " + std::to_string(size.w) + "x" + std::to_string(size.h) + " trial " +
                             std::to_string(t));
                const reference::Bytes demosaiced = RandomBytes(random, static_cast<size_t>(size.w) * size.h * 3);
                reference::Bytes expected = demosaiced;
                reference::Finish(expected, size.w, size.h, trial.settings, trial.referenceGains, trial.tone.level);
                reference::Bytes picture(demosaiced.size(), 0x5A);
                tm350::pipeline::FinishPictureWith(isa, demosaiced.data(), picture.data(), size.w, size.h, trial.camera,
                                                   trial.gains, trial.tone);
                ASSERT_TRUE(SameBytes(expected, picture, size.w));
            }
        }
    }
}

TEST(FastPipeline, WithoutScratchTheFrameIsFinishedInPlaceUnsmoothed) {
    std::mt19937 random(3);
    for (Isa isa : AvailableIsas()) {
        for (const Size &size : {Size{1024, 768}, Size{37, 5}, Size{1, 1}}) {
            for (int t = 0; t < 6; ++t) {
                Trial trial = RandomTrial(random, true);
                trial.settings.smooth = false;
                SCOPED_TRACE(IsaName(isa) + " " + std::to_string(size.w) + "x" + std::to_string(size.h));
                reference::Bytes picture = RandomBytes(random, static_cast<size_t>(size.w) * size.h * 3);
                reference::Bytes expected = picture;
                reference::Finish(expected, size.w, size.h, trial.settings, trial.referenceGains, trial.tone.level);
                tm350::pipeline::FinishPictureWith(isa, picture.data(), picture.data(), size.w, size.h, trial.camera,
                                                   trial.gains, trial.tone);
                ASSERT_TRUE(SameBytes(expected, picture, size.w));
            }
        }
    }
}

TEST(FastPipeline, TheDemosaicedPictureIsLeftAsItWas) {
    std::mt19937 random(4);
    Trial trial = RandomTrial(random, true);
    const reference::Bytes demosaiced = RandomBytes(random, 1024 * 768 * 3);
    reference::Bytes source = demosaiced, picture(demosaiced.size());
    FinishPicture(source.data(), picture.data(), 1024, 768, trial.camera, trial.gains, trial.tone);
    EXPECT_TRUE(source == demosaiced);
}

TEST(FastPipeline, TheSinglePassDevelopsTheSameBytesAndBrightnessAsTheTwoPasses) {
    std::mt19937 random(5);
    std::vector<Size> sizes(std::begin(kSizes), std::end(kSizes));
    sizes.push_back({2100, 5});  // wider than the single pass takes: the two passes run instead
    for (Isa isa : AvailableIsas()) {
        for (const Size &size : sizes) {
            const int trials = size.w * size.h > 100000 ? 4 : 12;
            for (int t = 0; t < trials; ++t) {
                Trial trial = RandomTrial(random, /*linearGains=*/t % 4 != 3);
                trial.settings.Speed = trial.camera.Speed = static_cast<BYTE>(Uniform(random, 0, 1));
                SCOPED_TRACE(IsaName(isa) + " " + std::to_string(size.w) + "x" + std::to_string(size.h) + " trial " +
                             std::to_string(t));
                reference::Bytes raw = RandomBytes(random, RAW_FRAME_SIZE);
                reference::Bytes expected = reference::Demosaic(raw, size.w, size.h, trial.settings.Speed);
                const BYTE brightness = MeasureBrightness(expected.data(), size.w, size.h);
                reference::Finish(expected, size.w, size.h, trial.settings, trial.referenceGains, trial.tone.level);
                reference::Bytes picture(expected.size(), 0x5A);
                EXPECT_EQ(tm350::pipeline::DevelopPictureWith(isa, raw.data(), picture.data(), size.w, size.h,
                                                              trial.camera, trial.gains, trial.tone),
                          brightness);
                ASSERT_TRUE(SameBytes(expected, picture, size.w));
            }
        }
    }
}
