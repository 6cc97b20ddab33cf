// Row order and mirroring of a picture of 3-byte pixels.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "camera/picture_flips.h"

namespace {

// Every byte distinct: row, column and byte within the pixel.
std::vector<BYTE> Numbered(int w, int h) {
    std::vector<BYTE> bytes(static_cast<size_t>(w) * h * 3);
    for (size_t k = 0; k < bytes.size(); ++k)
        bytes[k] = static_cast<BYTE>(k);
    return bytes;
}

}  // namespace

TEST(FlipRows, WithVFlipClearRowsAreReversedAndAnOddMiddleRowStays) {
    for (int h : {4, 5}) {
        const int w = 2;
        const std::vector<BYTE> before = Numbered(w, h);
        std::vector<BYTE> bytes = before;

        FlipRows(bytes.data(), w, h, 0);

        for (int i = 0; i < h; ++i)
            EXPECT_TRUE(std::equal(&bytes[i * w * 3], &bytes[(i + 1) * w * 3], &before[(h - 1 - i) * w * 3]))
                << "height " << h << " row " << i;
    }
}

TEST(MirrorRows, WithHFlipSetPixelsSwapEndsAndKeepTheirByteOrder) {
    std::vector<BYTE> odd = {1, 2, 3, 4, 5, 6, 7, 8, 9,  //
                             11, 12, 13, 14, 15, 16, 17, 18, 19};
    MirrorRows(odd.data(), 3, 2, 1);
    EXPECT_EQ(odd, (std::vector<BYTE>{7, 8, 9, 4, 5, 6, 1, 2, 3,  //
                                      17, 18, 19, 14, 15, 16, 11, 12, 13}));

    std::vector<BYTE> even = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    MirrorRows(even.data(), 4, 1, 1);
    EXPECT_EQ(even, (std::vector<BYTE>{10, 11, 12, 7, 8, 9, 4, 5, 6, 1, 2, 3}));
}

TEST(Flips, SettingsThatAskForNoChangeLeaveThePictureAlone) {
    const std::vector<BYTE> before = Numbered(3, 4);
    std::vector<BYTE> bytes = before;

    FlipRows(bytes.data(), 3, 4, 1);
    MirrorRows(bytes.data(), 3, 4, 0);

    EXPECT_EQ(bytes, before);
}
