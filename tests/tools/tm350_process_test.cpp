// tm350 process: a raw frame file developed into the delivered picture.
#include <gtest/gtest.h>

#include <png.h>

#include <cstdio>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/run_tm350.h"
#include "support/temp_directory.h"

namespace {

constexpr size_t kRawSize = 1176 * 772;
constexpr size_t kPictureSize = 1024 * 768 * 3;
constexpr size_t kRowSize = 1024 * 3;

int Tm350(const std::string &arguments, std::string *output = nullptr) {
    tm350::test::CommandResult result = tm350::test::RunTm350(arguments);
    if (output != nullptr) *output = result.output;
    return result.exit_code;
}

std::vector<unsigned char> ReadFile(const std::filesystem::path &path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class Tm350Process : public ::testing::Test {
protected:
    void SetUp() override {
        raw_ = (directory_.path() / "frame.raw").string();
        std::vector<char> frame(kRawSize);
        for (size_t i = 0; i < kRawSize; ++i) frame[i] = static_cast<char>((i * 7 + (i / 1176) * 3) & 0xFF);
        std::ofstream(raw_, std::ios::binary).write(frame.data(), frame.size());
    }
    std::string Output(const char *name) const { return (directory_.path() / name).string(); }

    tm350::test::TempRegistry registry_;
    tm350::test::TempDirectory directory_;
    std::string raw_;
};

TEST_F(Tm350Process, WritesABottomUpBmpWhosePixelsAreTheSample) {
    ASSERT_EQ(Tm350("process " + raw_ + " " + Output("plain.bmp")), 0);
    std::vector<unsigned char> bmp = ReadFile(Output("plain.bmp"));
    ASSERT_EQ(bmp.size(), 54 + kPictureSize);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(bmp[10], 54);                          // pixel array offset
    EXPECT_EQ(bmp[22] | (bmp[23] << 8), 768);        // positive height: bottom-up
    EXPECT_EQ(bmp[28], 24);                          // bits per pixel
    ASSERT_EQ(Tm350("process " + raw_ + " " + Output("flipped.bmp") + " VFlip=1 HFlip=1"), 0);
    std::vector<unsigned char> flipped = ReadFile(Output("flipped.bmp"));
    ASSERT_EQ(flipped.size(), bmp.size());
    // Both flips together turn the sample by 180 degrees, pixel by pixel.
    for (size_t row : {size_t(1), size_t(383), size_t(766)}) {
        for (size_t column : {size_t(1), size_t(500), size_t(1022)}) {
            const unsigned char *a = &bmp[54 + row * kRowSize + column * 3];
            const unsigned char *b = &flipped[54 + (767 - row) * kRowSize + (1023 - column) * 3];
            EXPECT_EQ(std::vector<unsigned char>(a, a + 3), std::vector<unsigned char>(b, b + 3))
                << "row " << row << " column " << column;
        }
    }
}

TEST_F(Tm350Process, GreyOutputAndOnePushWhiteBalance) {
    ASSERT_EQ(Tm350("process " + raw_ + " " + Output("grey.bmp") + " WhiteBlack=1"), 0);
    std::vector<unsigned char> grey = ReadFile(Output("grey.bmp"));
    ASSERT_EQ(grey.size(), 54 + kPictureSize);
    for (size_t i = 54; i < grey.size(); i += 3) {
        ASSERT_TRUE(grey[i] == grey[i + 1] && grey[i] == grey[i + 2]) << "byte " << i;
    }
    std::string output;
    ASSERT_EQ(Tm350("process " + raw_ + " " + Output("balanced.bmp") + " bAutoWB=1", &output), 0);
    EXPECT_EQ(output.rfind("white balance: r=", 0), 0u) << output;
    // Nothing is saved back: the stored request stays as it was.
    std::string settings;
    Tm350("settings", &settings);
    EXPECT_NE(settings.find("\nbAutoWB=0\n"), std::string::npos);
}

TEST_F(Tm350Process, PngHoldsTheSameRowsTopDown) {
    ASSERT_EQ(Tm350("process " + raw_ + " " + Output("picture.bmp")), 0);
    ASSERT_EQ(Tm350("process " + raw_ + " " + Output("picture.png")), 0);
    std::vector<unsigned char> bmp = ReadFile(Output("picture.bmp"));
    ASSERT_EQ(bmp.size(), 54 + kPictureSize);

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, Output("picture.png").c_str()));
    ASSERT_EQ(image.width, 1024u);
    ASSERT_EQ(image.height, 768u);
    image.format = PNG_FORMAT_BGR;
    std::vector<unsigned char> decoded(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, decoded.data(), 0, nullptr));
    for (size_t row = 0; row < 768; ++row) {
        ASSERT_TRUE(std::equal(decoded.begin() + row * kRowSize, decoded.begin() + (row + 1) * kRowSize,
                               bmp.begin() + 54 + (767 - row) * kRowSize))
            << "png row " << row;
    }
}

TEST_F(Tm350Process, BadInputFailsWithOneLineAndLeavesNoFile) {
    std::string short_raw = Output("short.raw");
    std::ofstream(short_raw, std::ios::binary) << "too short";
    struct Case {
        std::string arguments;
        int exit_code;
    } cases[] = {
        {"process " + short_raw + " " + Output("a.bmp"), 1},
        {"process " + Output("missing.raw") + " " + Output("a.bmp"), 1},
        {"process " + raw_ + " " + Output("a.bmp") + " Gamma=300", 2},
        {"process " + raw_ + " " + Output("a.bmp") + " Gamma=", 2},
        {"process " + raw_ + " " + Output("a.bmp") + " AETarget=100", 2},  // not a processing setting
        {"process " + raw_ + " " + Output("a.bmp") + " Bogus=1", 2},
        {"process " + raw_ + " " + Output("a.jpg"), 2},
        {"process " + raw_ + " " + Output("no-such-folder/a.bmp"), 1},
    };
    for (const Case &c : cases) {
        std::string output;
        EXPECT_EQ(Tm350(c.arguments, &output), c.exit_code) << c.arguments;
        EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    }
    for (const auto &entry : std::filesystem::directory_iterator(directory_.path())) {
        std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "frame.raw" || name == "short.raw") << "left behind: " << name;
    }
}

}  // namespace
