// Tone curve, white-balance gains, grey output and the colour matrix.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "camera/colour_processing.h"

namespace {

using Bgr = std::array<BYTE, 3>;

// Runs a one-pixel picture through an operation and returns the pixel.
template <typename Operation>
Bgr OnePixel(Bgr pixel, Operation operation) {
    operation(pixel.data(), 1, 1);
    return pixel;
}

CGainTables Gains(BYTE r, BYTE g, BYTE b) {
    CGainTables tables;
    BuildGainTables(tables, r, g, b);
    return tables;
}

CToneTable Tone(BYTE Gamma, BYTE Contrast) {
    CToneTable table;
    BuildToneTable(table, Gamma, Contrast);
    return table;
}

}  // namespace

TEST(ToneTable, DefaultGammaAndContrastGiveTheKnownLevels) {
    const CToneTable table = Tone(100, 30);
    EXPECT_EQ(table.level[0], 0);
    EXPECT_EQ(table.level[64], 49);
    EXPECT_EQ(table.level[127], 127);
    EXPECT_EQ(table.level[128], 128);
    EXPECT_EQ(table.level[200], 216);
    EXPECT_EQ(table.level[255], 255);
}

TEST(ToneTable, StraightGammaWithoutContrastIsTheIdentity) {
    const CToneTable table = Tone(100, 0);
    for (int v = 0; v < 256; ++v)
        EXPECT_EQ(table.level[v], v) << "level " << v;
}

TEST(ToneTable, FullContrastStretchesAndIsLimitedAtBothEnds) {
    const CToneTable table = Tone(100, 100);
    EXPECT_EQ(table.level[64], 14);
    EXPECT_EQ(table.level[192], 242);
    EXPECT_EQ(table.level[10], 0);
    EXPECT_EQ(table.level[250], 255);
}

TEST(ToneTable, GammaAbove100DarkensMidTonesAndBelow100BrightensThem) {
    EXPECT_EQ(Tone(200, 0).level[128], 64);
    EXPECT_EQ(Tone(50, 0).level[128], 180);
}

TEST(ToneTable, ApplyingItReplacesEveryByteOfThePicture) {
    CToneTable inverse;
    for (int v = 0; v < 256; ++v)
        inverse.level[v] = static_cast<BYTE>(255 - v);
    std::vector<BYTE> picture(4 * 3 * 3);
    for (size_t k = 0; k < picture.size(); ++k)
        picture[k] = static_cast<BYTE>(k * 7);

    ApplyToneTable(picture.data(), 4, 3, inverse);

    for (size_t k = 0; k < picture.size(); ++k)
        EXPECT_EQ(picture[k], 255 - static_cast<BYTE>(k * 7)) << "byte " << k;
}

TEST(GainTables, EachGainActsOnItsOwnChannel) {
    const CGainTables defaults = Gains(74, 64, 96);
    EXPECT_EQ(OnePixel({100, 100, 100}, [&](BYTE* p, int w, int h) { ApplyGainTables(p, w, h, defaults); }),
              (Bgr{150, 100, 115}));
    const CGainTables distinct = Gains(128, 64, 32);
    EXPECT_EQ(OnePixel({10, 20, 30}, [&](BYTE* p, int w, int h) { ApplyGainTables(p, w, h, distinct); }),
              (Bgr{5, 20, 60}));
}

TEST(GainTables, ZeroGainBlanksAChannelAndHighLevelsAreLimited) {
    const CGainTables zero = Gains(0, 0, 0);
    const CGainTables full = Gains(255, 255, 255);
    for (int v = 0; v < 256; ++v)
        EXPECT_EQ(zero.red[v], 0);
    EXPECT_EQ(full.blue[255], 255);
    EXPECT_EQ(full.red[64], 255);
    EXPECT_EQ(full.red[63], 251);
}

TEST(Grey, WeighsRedGreenAndBlueAndWritesAllThreeBytes) {
    EXPECT_EQ(OnePixel({10, 20, 30}, ApplyGrey), (Bgr{21, 21, 21}));
    EXPECT_EQ(OnePixel({255, 255, 255}, ApplyGrey), (Bgr{255, 255, 255}));
    EXPECT_EQ(OnePixel({0, 0, 255}, ApplyGrey), (Bgr{76, 76, 76}));
}

TEST(ColourMatrix, GreyStaysNearGreyAtDefaultAndUnchangedSaturation) {
    const CGainTables unity = Gains(64, 64, 64);
    auto matrix = [&](BYTE s) {
        return [&unity, s](BYTE* p, int w, int h) { ApplyColourMatrix(p, w, h, unity, s); };
    };
    EXPECT_EQ(OnePixel({128, 128, 128}, matrix(100)), (Bgr{126, 126, 126}));
    EXPECT_EQ(OnePixel({128, 128, 128}, matrix(128)), (Bgr{127, 127, 128}));
}

TEST(ColourMatrix, WhiteBalanceComesFirstAndResultsAreClampedBothWays) {
    // Red doubled by its gain, then the correction: 128 * 205 / 128 = 205 red,
    // while green and blue would go negative.
    const CGainTables redTwice = Gains(128, 64, 64);
    EXPECT_EQ(OnePixel({0, 0, 64}, [&](BYTE* p, int w, int h) { ApplyColourMatrix(p, w, h, redTwice, 128); }),
              (Bgr{0, 0, 205}));
    const CGainTables unity = Gains(64, 64, 64);
    EXPECT_EQ(OnePixel({0, 0, 255}, [&](BYTE* p, int w, int h) { ApplyColourMatrix(p, w, h, unity, 128); }),
              (Bgr{0, 0, 255}));
}

TEST(ColourMatrix, ZeroSaturationGivesTheSameGreyOnAllThreeBytes) {
    const CGainTables unity = Gains(64, 64, 64);
    EXPECT_EQ(OnePixel({90, 120, 60}, [&](BYTE* p, int w, int h) { ApplyColourMatrix(p, w, h, unity, 0); }),
              (Bgr{108, 108, 108}));
}

TEST(ColourMatrix, SaturationAbove128FloorsTheGreyWeights) {
    // At 200 the weights are negative; flooring gives -23, -44, -6 where
    // truncating would give -22, -43, -5 and a result two levels brighter.
    const CGainTables unity = Gains(64, 64, 64);
    EXPECT_EQ(OnePixel({100, 100, 100}, [&](BYTE* p, int w, int h) { ApplyColourMatrix(p, w, h, unity, 200); }),
              (Bgr{98, 98, 99}));
    EXPECT_EQ(OnePixel({50, 100, 200}, [&](BYTE* p, int w, int h) { ApplyColourMatrix(p, w, h, unity, 200); }),
              (Bgr{0, 30, 255}));
}
