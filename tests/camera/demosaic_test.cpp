// Demosaicing from a raw frame laid out as the camera sends it, and smoothing.
#include <gtest/gtest.h>

#include <array>
#include <algorithm>
#include <vector>

#include "camera/demosaic.h"

namespace {

// A raw buffer for a w x h picture: line pitch w + 152, the first picture
// sample two lines and 152 bytes in. Everything else holds a value no
// picture sample takes, so a sample read from outside the picture shows.
std::vector<BYTE> MakeRaw(int w, int h, BYTE (*sample)(int i, int j)) {
    const size_t pitch = static_cast<size_t>(w) + 152;
    std::vector<BYTE> raw((h + 4) * pitch, 0xFF);
    for (int i = 0; i < h; ++i)
        for (int j = 0; j < w; ++j)
            raw[(i + 2) * pitch + 152 + j] = sample(i, j);
    return raw;
}

struct Picture {
    int w, h;
    std::vector<BYTE> bytes;
    Picture(int width, int height) : w(width), h(height), bytes(static_cast<size_t>(width) * height * 3, 0x77) {}
    // Blue, green, red.
    std::array<int, 3> at(int i, int j) const {
        const BYTE* pixel = &bytes[(static_cast<size_t>(i) * w + j) * 3];
        return {pixel[0], pixel[1], pixel[2]};
    }
};

using Bgr = std::array<int, 3>;

Picture DemosaicOf(int w, int h, BYTE (*sample)(int, int), BYTE Speed) {
    std::vector<BYTE> raw = MakeRaw(w, h, sample);
    Picture picture(w, h);
    Demosaic(raw.data(), picture.bytes.data(), w, h, Speed);
    return picture;
}

// Uneven values, so each neighbour's contribution shows in the result.
constexpr BYTE Irregular[4][5] = {
    {8, 16, 40, 64, 32},
    {120, 4, 200, 12, 80},
    {24, 160, 48, 100, 240},
    {56, 36, 88, 20, 140},
};

BYTE IrregularSample(int i, int j) { return Irregular[i][j]; }
BYTE Flat100(int, int) { return 100; }
BYTE EvenEven200(int i, int j) { return (i % 2 == 0 && j % 2 == 0) ? 200 : 0; }

}  // namespace

TEST(Demosaic, FlatRawGivesGreyInteriorAndABlackBorderAtFullSize) {
    const Picture picture = DemosaicOf(1024, 768, Flat100, 0);
    for (int i = 0; i < 768; ++i) {
        for (int j = 0; j < 1024; ++j) {
            const bool border = i == 0 || i == 767 || j == 0 || j == 1023;
            ASSERT_EQ(picture.at(i, j), (border ? Bgr{0, 0, 0} : Bgr{100, 100, 100}))
                << "row " << i << " column " << j;
        }
    }
}

TEST(Demosaic, SamplesOnEvenRowsAndColumnsAreBlueAtNormalSpeedAndGreenAtHighSpeed) {
    const Picture normal = DemosaicOf(8, 6, EvenEven200, 0);
    const Picture high = DemosaicOf(8, 6, EvenEven200, 1);
    for (int i = 1; i < 5; ++i) {
        for (int j = 1; j < 7; ++j) {
            EXPECT_EQ(normal.at(i, j), (Bgr{200, 0, 0})) << "row " << i << " column " << j;
            EXPECT_EQ(high.at(i, j), (Bgr{0, 100, 0})) << "row " << i << " column " << j;
        }
    }
}

TEST(Demosaic, EachSiteInterpolatesFromItsOwnNeighboursAtNormalSpeed) {
    const Picture picture = DemosaicOf(5, 4, IrregularSample, 0);
    EXPECT_EQ(picture.at(1, 1), (Bgr{30, 124, 4}));    // red: diagonal blue, cross green
    EXPECT_EQ(picture.at(1, 2), (Bgr{44, 132, 8}));    // green on a red row
    EXPECT_EQ(picture.at(1, 3), (Bgr{90, 111, 12}));   // red
    EXPECT_EQ(picture.at(2, 1), (Bgr{36, 180, 20}));   // green on a blue row
    EXPECT_EQ(picture.at(2, 2), (Bgr{48, 137, 18}));   // blue
    EXPECT_EQ(picture.at(2, 3), (Bgr{144, 90, 16}));   // green on a blue row
}

TEST(Demosaic, EachSiteInterpolatesFromItsOwnNeighboursAtHighSpeed) {
    const Picture picture = DemosaicOf(5, 4, IrregularSample, 1);
    EXPECT_EQ(picture.at(1, 1), (Bgr{88, 22, 160}));   // green on a red row
    EXPECT_EQ(picture.at(1, 2), (Bgr{85, 26, 200}));   // red
    EXPECT_EQ(picture.at(1, 3), (Bgr{82, 22, 140}));   // green on a red row
    EXPECT_EQ(picture.at(2, 1), (Bgr{160, 28, 116}));  // blue
    EXPECT_EQ(picture.at(2, 2), (Bgr{130, 30, 144}));  // green on a blue row
    EXPECT_EQ(picture.at(2, 3), (Bgr{100, 80, 127}));  // blue
}

TEST(Smooth, PixelsBesideTheBlackBorderDarkenAndTheBorderStaysBlack) {
    Picture picture = DemosaicOf(6, 6, Flat100, 0);
    std::vector<BYTE> scratch(picture.bytes.size());

    Smooth(picture.bytes.data(), 6, 6, scratch.data());

    EXPECT_EQ(picture.at(1, 1), (Bgr{75, 75, 75}));  // two black neighbours
    EXPECT_EQ(picture.at(1, 2), (Bgr{87, 87, 87}));  // one
    EXPECT_EQ(picture.at(2, 1), (Bgr{87, 87, 87}));
    EXPECT_EQ(picture.at(2, 2), (Bgr{100, 100, 100}));
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(picture.at(0, k), (Bgr{0, 0, 0}));
        EXPECT_EQ(picture.at(5, k), (Bgr{0, 0, 0}));
        EXPECT_EQ(picture.at(k, 0), (Bgr{0, 0, 0}));
        EXPECT_EQ(picture.at(k, 5), (Bgr{0, 0, 0}));
    }
}

TEST(Smooth, ReadsOnlyTheUntouchedPictureAndKeepsTheChannelsApart) {
    Picture picture(5, 5);
    std::fill(picture.bytes.begin(), picture.bytes.end(), BYTE{0});
    picture.bytes[(2 * 5 + 2) * 3 + 1] = 80;  // green of the centre pixel
    std::vector<BYTE> scratch(picture.bytes.size());

    Smooth(picture.bytes.data(), 5, 5, scratch.data());

    EXPECT_EQ(picture.at(2, 2), (Bgr{0, 40, 0}));
    EXPECT_EQ(picture.at(2, 1), (Bgr{0, 10, 0}));
    EXPECT_EQ(picture.at(2, 3), (Bgr{0, 10, 0}));
    EXPECT_EQ(picture.at(1, 2), (Bgr{0, 10, 0}));
    EXPECT_EQ(picture.at(3, 2), (Bgr{0, 10, 0}));
    EXPECT_EQ(picture.at(1, 1), (Bgr{0, 0, 0}));
    EXPECT_EQ(picture.at(3, 3), (Bgr{0, 0, 0}));
}

TEST(Smooth, WithoutScratchMemoryThePictureIsDeliveredUnsmoothed) {
    Picture picture = DemosaicOf(6, 6, Flat100, 0);
    const std::vector<BYTE> before = picture.bytes;

    Smooth(picture.bytes.data(), 6, 6, nullptr);

    EXPECT_EQ(picture.bytes, before);
}
