// The live picture behind tm350 setup, apart from a run: pictures encoded
// the right way up, once for every viewer, and viewers let go on close.
#include <gtest/gtest.h>

#include <turbojpeg.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tools/tm350/picture_stream.h"

namespace {

using namespace std::chrono_literals;
using tm350::tool::EncodedPicture;
using tm350::tool::PictureFormat;
using tm350::tool::PictureStream;

constexpr int kWidth = 64, kHeight = 48;

PictureFormat BottomUp() {
    PictureFormat format;
    format.width = kWidth;
    format.height = kHeight;
    format.stride = kWidth * 3;
    return format;
}

// Blue, green, red rows as the grabber passes them, bottom-up: the upper
// half of the picture red, the lower half blue.
std::vector<BYTE> RedOverBlue() {
    std::vector<BYTE> picture(kWidth * 3 * kHeight);
    for (int row = 0; row < kHeight; ++row) {
        const bool upper = row >= kHeight / 2;  // memory row 0 is the bottom
        for (int x = 0; x < kWidth; ++x) {
            BYTE *pixel = &picture[(row * kWidth + x) * 3];
            pixel[0] = upper ? 0 : 255;
            pixel[2] = upper ? 255 : 0;
        }
    }
    return picture;
}

std::vector<unsigned char> DecodeRgb(const std::string &jpeg, int *width, int *height) {
    tjhandle decoder = tjInitDecompress();
    int subsampling = 0, colourspace = 0;
    std::vector<unsigned char> rgb;
    if (tjDecompressHeader3(decoder, reinterpret_cast<const unsigned char *>(jpeg.data()), jpeg.size(), width,
                            height, &subsampling, &colourspace) == 0) {
        rgb.resize(static_cast<size_t>(*width) * *height * 3);
        if (tjDecompress2(decoder, reinterpret_cast<const unsigned char *>(jpeg.data()), jpeg.size(), rgb.data(),
                          *width, 0, *height, TJPF_RGB, 0) != 0)
            rgb.clear();
    }
    tjDestroy(decoder);
    return rgb;
}

TEST(PictureStream, EncodesTheNewestPictureRightSideUpOnceForAllViewers) {
    PictureStream stream(BottomUp());
    const std::vector<BYTE> picture = RedOverBlue();
    std::shared_ptr<const EncodedPicture> first;
    std::thread viewer([&] { first = stream.NextPicture(0, 30s); });
    stream.Take(picture.data(), picture.size(), true, 0, 1333333);
    viewer.join();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->number, 1u);
    int width = 0, height = 0;
    std::vector<unsigned char> rgb = DecodeRgb(first->jpeg, &width, &height);
    ASSERT_EQ(width, kWidth);
    ASSERT_EQ(height, kHeight);
    ASSERT_FALSE(rgb.empty());
    const unsigned char *top = &rgb[(2 * kWidth + kWidth / 2) * 3];
    const unsigned char *bottom = &rgb[((kHeight - 3) * kWidth + kWidth / 2) * 3];
    EXPECT_GT(top[0], 200);  // red on top
    EXPECT_LT(top[2], 60);
    EXPECT_GT(bottom[2], 200);  // blue below
    EXPECT_LT(bottom[0], 60);

    // A second viewer of the same picture shares the first one's encoding.
    EXPECT_EQ(stream.NextPicture(0, 0ms), first);
    // Nothing newer yet: a viewer that has it waits, and times out.
    EXPECT_FALSE(stream.NextPicture(1, 0ms));
    stream.Take(picture.data(), picture.size(), true, 1333333, 2666666);
    std::shared_ptr<const EncodedPicture> second = stream.NextPicture(1, 0ms);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->number, 2u);
    EXPECT_NE(second, first);
}

// A short sample counts in the figures but is no picture; frames missing
// between timed samples are counted as lost.
TEST(PictureStream, CountsEverySampleButKeepsWholePicturesOnly) {
    PictureStream stream(BottomUp());
    const std::vector<BYTE> picture = RedOverBlue();
    stream.Take(picture.data(), picture.size() - 1, true, 0, 1333333);
    stream.Take(nullptr, 0, false, 0, 0);
    EXPECT_FALSE(stream.NextPicture(0, 0ms));
    stream.Take(picture.data(), picture.size(), true, 3 * 1333333, 4 * 1333333);
    EXPECT_EQ(stream.Figures().samples, 3u);
    EXPECT_EQ(stream.Figures().frames_lost, 2);
    ASSERT_TRUE(stream.NextPicture(0, 0ms));
}

// Closing lets every waiting viewer go at once, and none gets a picture after.
TEST(PictureStream, CloseReleasesWaitingViewers) {
    PictureStream stream(BottomUp());
    std::vector<std::thread> viewers;
    std::atomic<int> released{0};
    for (int i = 0; i < 3; ++i)
        viewers.emplace_back([&] {
            if (!stream.NextPicture(0, 60s)) ++released;
        });
    stream.Close();
    for (std::thread &viewer : viewers) viewer.join();
    EXPECT_EQ(released.load(), 3);
    const std::vector<BYTE> picture = RedOverBlue();
    stream.Take(picture.data(), picture.size(), true, 0, 1333333);
    EXPECT_FALSE(stream.NextPicture(0, 0ms));
    EXPECT_TRUE(stream.Closed());
}

}  // namespace
