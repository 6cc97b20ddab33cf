// The CCD behind the frame source: what its frames hold for given registers
// and memory, judged by what the capture filter's own image operations make
// of them (defect patch, demosaic, automatic exposure, white balance).
#include <gtest/gtest.h>

#include "camera/auto_exposure.h"
#include "camera/colour_processing.h"
#include "camera/demosaic.h"
#include "camera/raw_frame.h"
#include "filter/camera_settings.h"
#include "support/picture_colour.h"
#include "sim/camera.h"
#include "sim/ccd_sensor.h"
#include "tests/sim/test_host.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

using tm350::sim::Area;
using tm350::sim::CameraMemory;
using tm350::sim::ChartScene;
using tm350::sim::CcdSensor;
using tm350::sim::DefectPosition;
using tm350::sim::DefectTable;
using tm350::sim::kFrameBytes;
using tm350::sim::kFrameWidth;
using tm350::sim::Noise;
using tm350::sim::RegisterFile;

constexpr int kWidth = 1024;
constexpr int kHeight = 768;
constexpr size_t kPictureBytes = static_cast<size_t>(kWidth) * kHeight * 3;

size_t RawOffset(int row, int column) { return (row + 2) * kFrameWidth + 152 + column; }

// A sensor with the registers and memory the camera would hand it, driven
// the way the camera drives it: BeginFrame, then the frame in pieces.
struct SensorBench {
    RegisterFile registers;
    CameraMemory memory;
    CcdSensor sensor;

    explicit SensorBench(Noise noise = Noise::Off, uint32_t seed = 1) : sensor(noise, seed) {
        tm350::sim::StoreDefectTable(memory, DefectTable::Default());
        SetExposure(300);
        SetGain(224);
    }
    // As the device channel encodes them.
    void SetExposure(unsigned rows) {
        registers.Write(tm350::sim::kExposureRegister, (792 - std::min(rows, 791u)) << 12);
    }
    void SetGain(unsigned gain) { registers.Write(tm350::sim::kGainRegister, gain); }
    void SetSpeed(BYTE speed) { registers.Write(tm350::sim::kSpeedSelectRegister, speed == 1 ? 0 : 1); }

    std::vector<uint8_t> Frame(uint64_t sequence, size_t piece = 13551) {
        sensor.BeginFrame(
            {.sequence = sequence, .speed = registers.Speed(), .registers = &registers, .memory = &memory});
        std::vector<uint8_t> frame(kFrameBytes);
        for (size_t at = 0; at < kFrameBytes; at += piece)
            sensor.ReadOut(at, std::span(frame).subspan(at, std::min(piece, kFrameBytes - at)));
        return frame;
    }
};

// Mean of the raw samples in a picture area whose row and column parities
// are these; an inset keeps the demosaic's edge mixing out.
double MeanSample(const std::vector<uint8_t> &frame, Area area, int row_parity, int column_parity, int inset = 8) {
    double sum = 0;
    int count = 0;
    for (int y = area.top + inset; y < area.top + area.height - inset; ++y)
        for (int x = area.left + inset; x < area.left + area.width - inset; ++x)
            if ((y & 1) == row_parity && (x & 1) == column_parity) {
                sum += frame[RawOffset(y, x)];
                ++count;
            }
    return sum / count;
}

using tm350::test::Colour;
using tm350::test::MeanColour;

std::vector<BYTE> Demosaiced(std::vector<uint8_t> raw, BYTE speed) {
    std::vector<BYTE> picture(kPictureBytes);
    Demosaic(raw.data(), picture.data(), kWidth, kHeight, speed);
    return picture;
}

// The full-size defect list as the output pin loads it from camera memory.
CDefectList LoadDefectList(const CameraMemory &memory) {
    CDefectList list{};
    if (memory.ReadWord(0x24C0) != 0x5580 || memory.ReadWord(0x24C4) != 0) return list;
    const WORD count = memory.ReadWord(0x24C6);
    if (count >= 50) return list;
    for (WORD i = 0; i < count; ++i)
        list.entries[i] = {static_cast<SHORT>(memory.ReadWord(static_cast<uint16_t>(0x2500 + 4 * i))),
                           static_cast<SHORT>(memory.ReadWord(static_cast<uint16_t>(0x2502 + 4 * i)))};
    list.count = count;
    return list;
}

const Area kMidGrey = ChartScene::PatchArea(ChartScene::kGreyRow, 2);  // reflects 125 of 255
const Area kRedPatch = ChartScene::PatchArea(0, ChartScene::kRedPatch);

}  // namespace

TEST(SensorExposure, TheRowCountIs792MinusBits12To23AndNeverNegative) {
    EXPECT_EQ(tm350::sim::ExposureRows(0x1BA000), 350u);  // the init table's value
    EXPECT_EQ(tm350::sim::ExposureRows(0x001000), 791u);
    EXPECT_EQ(tm350::sim::ExposureRows(0x318000), 0u);
    EXPECT_EQ(tm350::sim::ExposureRows(0x000FFF), 792u);  // bits 0 to 11 play no part
    EXPECT_EQ(tm350::sim::ExposureRows(0xFFF000), 0u);
}

TEST(SensorExposure, TheGreyPatchRisesInProportionToRowsTimesGainAndClipsAt255) {
    SensorBench bench;
    // Green sites at normal speed: even rows, odd columns. The lamp gives
    // green 184/256, so at 300 rows and gain 224 grey 125 shows 89.
    auto green = [&] { return MeanSample(bench.Frame(0), kMidGrey, 0, 1); };
    auto red = [&] { return MeanSample(bench.Frame(0), kMidGrey, 1, 1); };
    EXPECT_EQ(green(), 89);
    EXPECT_EQ(red(), 125);
    bench.SetExposure(600);
    EXPECT_EQ(green(), 179);
    bench.SetExposure(150);
    EXPECT_EQ(green(), 44);
    bench.SetExposure(300);
    bench.SetGain(448);
    EXPECT_EQ(green(), 179);
    bench.SetGain(752);
    bench.SetExposure(791);
    EXPECT_EQ(green(), 255);
    EXPECT_EQ(red(), 255);
    bench.SetGain(0);
    EXPECT_EQ(green(), 0);
}

TEST(SensorExposure, ARegisterWriteDuringAReadoutReachesTheNextFrameOnly) {
    tm350::sim::Camera camera({.sensor = tm350::sim::SensorOptions{.noise = Noise::Off}});
    tm350::test::TestHost host(camera);
    tm350::test::BulkReader reader(camera, 0x82);
    host.Enumerate();
    host.WriteRegister(0x63, (792 - 300) << 12);
    host.WriteRegister(0x01, 224);
    host.SetControlWord(3);
    for (int k = 0; k < 10; ++k) reader.Frame();
    host.WriteRegister(0x63, (792 - 600) << 12);

    reader.RunUntilTransfers(2, 1000);
    ASSERT_EQ(reader.transfers[0].size(), kFrameBytes);
    ASSERT_EQ(reader.transfers[1].size(), kFrameBytes);
    EXPECT_EQ(MeanSample(reader.transfers[0], kMidGrey, 0, 1), 89);
    EXPECT_EQ(MeanSample(reader.transfers[1], kMidGrey, 0, 1), 179);
}

TEST(SensorMosaic, TheRedPatchIsRedAtBothSpeedsAndNotWhenDemosaicedWithTheOtherPhase) {
    for (BYTE speed : {0, 1}) {
        SCOPED_TRACE(speed);
        SensorBench bench;
        bench.SetSpeed(speed);
        const Colour right = MeanColour(Demosaiced(bench.Frame(0), speed), kRedPatch);
        EXPECT_GT(right.red, 3 * right.green);
        EXPECT_GT(right.red, 3 * right.blue);
        EXPECT_NEAR(right.red, 200, 2);  // reflects 200 of 255 under the lamp's full red

        const Colour wrong = MeanColour(Demosaiced(bench.Frame(0), speed == 0 ? 1 : 0), kRedPatch);
        EXPECT_LT(wrong.red, 2 * wrong.green);
    }
}

TEST(SensorDefects, HotPixelsSitAtTheStoredEntriesWithThePictureWidthAsStride) {
    SensorBench bench;
    const auto frame = bench.Frame(0);
    // The default table's full-size entries (100, 40), (517, 300), (1000, 700).
    const std::vector<size_t> expected{40 * 1024 + 100, 300 * 1024 + 517, 700 * 1024 + 1000};
    EXPECT_EQ(tm350::sim::HotPixelOffsets(bench.memory), expected);
    for (size_t offset : expected) EXPECT_EQ(frame[offset], 255) << offset;

    // Without a table the same frame differs there and nowhere else.
    SensorBench clean;
    clean.memory.Fill(0);
    EXPECT_TRUE(tm350::sim::HotPixelOffsets(clean.memory).empty());
    const auto unmarked = clean.Frame(0);
    std::vector<size_t> differing;
    for (size_t k = 0; k < kFrameBytes; ++k)
        if (frame[k] != unmarked[k]) differing.push_back(k);
    EXPECT_EQ(differing, expected);
}

TEST(SensorDefects, TheFiltersDefectPatchRemovesEveryHotPixel) {
    SensorBench bench;
    auto frame = bench.Frame(0);
    SensorBench clean;
    clean.memory.Fill(0);
    const auto unmarked = clean.Frame(0);

    CorrectDefects(frame.data(), kWidth, kHeight, LoadDefectList(bench.memory));
    EXPECT_EQ(frame, unmarked);  // the chart is flat two samples to the left
}

TEST(SensorDefects, EntriesThePatchWouldSkipMakeNoHotPixel) {
    SensorBench bench;
    DefectTable table;
    table.sizes[0] = {{2, 5}, {3, 5}, {0, 9}, {1000, 900}, {100, 0xFFFF}};
    table.sizes[1] = {{64, 64}};  // another size's stride: not where the full-size patch looks
    ASSERT_TRUE(tm350::sim::StoreDefectTable(bench.memory, table));
    EXPECT_EQ(tm350::sim::HotPixelOffsets(bench.memory), std::vector<size_t>{5 * 1024 + 3});
}

TEST(SensorNoise, OffGivesTheSameFrameForTheSameRegistersAndBallPosition) {
    SensorBench first, second;
    const auto frame = first.Frame(5);
    EXPECT_EQ(second.Frame(5, 512), frame);
    // The ball is back where it was a period later; only the frame number differs.
    auto later = first.Frame(5 + ChartScene::kBallPeriod);
    EXPECT_NE(later, frame);
    std::copy_n(frame.begin(), tm350::sim::kFrameNumberBytes, later.begin());
    EXPECT_EQ(later, frame);
}

TEST(SensorNoise, ASeedReproducesItsNoiseHoweverTheFrameIsReadOut) {
    SensorBench quiet;
    SensorBench noisy(Noise::On, 7), again(Noise::On, 7), other(Noise::On, 8);
    const auto frame = noisy.Frame(3);
    EXPECT_EQ(again.Frame(3, 4097), frame);
    EXPECT_NE(other.Frame(3), frame);
    EXPECT_NE(noisy.Frame(3 + ChartScene::kBallPeriod), noisy.Frame(3));  // new noise every frame

    const auto clean = quiet.Frame(3);
    size_t changed = 0;
    int largest = 0;
    for (size_t k = tm350::sim::kFrameNumberBytes; k < kFrameBytes; ++k) {
        const int difference = std::abs(frame[k] - clean[k]);
        changed += difference != 0;
        largest = std::max(largest, difference);
    }
    EXPECT_EQ(largest, 4);
    EXPECT_GT(changed, kFrameBytes / 2);
}

TEST(SensorScene, ConsecutiveFramesDifferWhereTheBallRollsAndNowhereElse) {
    SensorBench bench;
    const auto before = bench.Frame(10);
    const auto after = bench.Frame(11);
    size_t differing = 0;
    for (size_t k = tm350::sim::kFrameNumberBytes; k < kFrameBytes; ++k) {
        if (before[k] == after[k]) continue;
        ++differing;
        const int row = static_cast<int>(k / kFrameWidth) - 2;
        ASSERT_GE(row, ChartScene::kShelf.top) << k;
        ASSERT_LT(row, ChartScene::kShelf.top + ChartScene::kShelf.height) << k;
    }
    EXPECT_GT(differing, 1000u);

    // Frame 0 has the ball's centre on column 0: it shows on both sides.
    const auto wrapped = bench.Frame(0);
    const auto ball = static_cast<uint8_t>(220 * 184 / 256);  // a green site
    EXPECT_EQ(wrapped[RawOffset(ChartScene::kBallCentreY, 1)], ball);
    EXPECT_EQ(wrapped[RawOffset(ChartScene::kBallCentreY, 1023)], ball);
    EXPECT_NE(wrapped[RawOffset(ChartScene::kBallCentreY, 511)], ball);
}

TEST(SensorScene, OutsideThePictureBytesAreDarkButForTheFrameNumber) {
    SensorBench bench;
    bench.SetGain(752);
    bench.SetExposure(791);  // everything in the picture clips
    const auto frame = bench.Frame(0x01020304);
    EXPECT_EQ(tm350::sim::FrameNumberOf(frame), 0x01020304u);
    EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    size_t lit = 0;
    for (size_t k = 4; k < kFrameBytes; ++k) {
        const size_t line = k / kFrameWidth, column = k % kFrameWidth;
        const bool picture = line >= 2 && line < 770 && column >= 152;
        if (!picture) lit += frame[k] != 0;
    }
    EXPECT_EQ(lit, 0u);
}

TEST(SensorCamera, ACameraMadeWithoutAChoiceSendsTheNoisyChartWithHotPixelsAndFrameNumbers) {
    tm350::sim::Camera camera;
    tm350::test::TestHost host(camera);
    tm350::test::BulkReader reader(camera, 0x82);
    host.Enumerate();
    host.WriteRegister(0x63, (792 - 300) << 12);
    host.WriteRegister(0x01, 224);
    host.SetControlWord(3);
    reader.RunUntilTransfers(2, 1000);
    ASSERT_EQ(reader.transfers[1].size(), kFrameBytes);
    EXPECT_EQ(tm350::sim::FrameNumberOf(reader.transfers[0]), 0u);
    EXPECT_EQ(tm350::sim::FrameNumberOf(reader.transfers[1]), 1u);
    EXPECT_EQ(reader.transfers[1][40 * 1024 + 100], 255);
    EXPECT_NEAR(MeanSample(reader.transfers[1], kMidGrey, 0, 1), 89, 1);
}

namespace {

// Automatic exposure's writes go straight to the sensor's registers, and
// are counted.
struct RegisterWriter final : CExposureWriter {
    explicit RegisterWriter(SensorBench &bench) : bench(bench) {}
    BOOL SetAnalogGain(WORD gain) override {
        bench.SetGain(gain);
        ++writes;
        return TRUE;
    }
    BOOL SetExposure(WORD rows) override {
        bench.SetExposure(rows);
        return TRUE;
    }
    SensorBench &bench;
    int writes = 0;
};

struct ExposureStart {
    WORD rows;
    WORD gain;
    BYTE target;
};

class SensorAutoExposure : public ::testing::TestWithParam<ExposureStart> {};

}  // namespace

// The loop is settled when it has written nothing for ten frames, which it
// does only while its damped measurement is within 9 of the target.
TEST_P(SensorAutoExposure, SteeringTheRegistersSettlesOnTheTarget) {
    const ExposureStart start = GetParam();
    SensorBench bench(Noise::On);
    CCameraSettings settings;
    settings.SetDefaults();
    settings.AETarget = start.target;
    settings.ExposureTime = start.rows;
    settings.AnalogGain = start.gain;
    bench.SetExposure(start.rows);
    bench.SetGain(start.gain);
    CAutoExposureState state;
    RegisterWriter writer(bench);

    std::vector<BYTE> picture(kPictureBytes);
    int quiet = 0, frame = 0;
    BYTE brightness = 0;
    for (; frame < 100 && quiet < 10; ++frame) {
        auto raw = bench.Frame(frame);
        Demosaic(raw.data(), picture.data(), kWidth, kHeight, 0);
        brightness = MeasureBrightness(picture.data(), kWidth, kHeight);
        const int writes = writer.writes;
        AutoExpose(picture.data(), kWidth, kHeight, settings, state, writer);
        quiet = writer.writes == writes ? quiet + 1 : 0;
    }
    EXPECT_EQ(quiet, 10) << "after " << frame << " frames: " << settings.ExposureTime << " rows, gain "
                         << settings.AnalogGain << ", brightness " << int{brightness};
    EXPECT_NEAR(brightness, start.target, 19);
    EXPECT_LE(settings.AnalogGain, 752);
    EXPECT_LE(settings.ExposureTime, 791);
}

INSTANTIATE_TEST_SUITE_P(FromDarkAndBright, SensorAutoExposure,
                         ::testing::Values(ExposureStart{1, 1, 100}, ExposureStart{791, 752, 100},
                                           ExposureStart{1, 1, 160}, ExposureStart{791, 752, 40}));

TEST(SensorWhiteBalance, OnePushMakesTheGreyRowNeutralUnderTheWarmLamp) {
    SensorBench bench(Noise::On);
    std::vector<BYTE> picture = Demosaiced(bench.Frame(0), 0);
    CCameraSettings settings;
    settings.SetDefaults();
    CGainTables gains;

    // The gains the filter starts with leave the lamp's cast.
    std::vector<BYTE> before = picture;
    BuildGainTables(gains, settings.r, settings.g, settings.b);
    ApplyGainTables(before.data(), kWidth, kHeight, gains);
    const Colour cast = MeanColour(before, kMidGrey);
    EXPECT_GT(cast.red, 1.5 * cast.blue);

    OnePushWhiteBalance(picture.data(), kWidth, kHeight, settings);
    EXPECT_NEAR(settings.r, 64 * 184 / 256, 2);
    EXPECT_NEAR(settings.b, 64 * 184 / 108, 2);
    BuildGainTables(gains, settings.r, settings.g, settings.b);
    ApplyGainTables(picture.data(), kWidth, kHeight, gains);
    for (int column = 0; column < ChartScene::kColumns - 1; ++column) {  // white to dark grey
        SCOPED_TRACE(column);
        const Colour grey = MeanColour(picture, ChartScene::PatchArea(ChartScene::kGreyRow, column));
        const double level = grey.green;
        EXPECT_NEAR(grey.red, level, 0.04 * level + 1);
        EXPECT_NEAR(grey.blue, level, 0.04 * level + 1);
    }
}
