// The raw frame's picture area and the defect patch, at the camera's real
// geometry: 1176 x 772 raw bytes holding a 1024 x 768 picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "camera/raw_frame.h"

namespace {

constexpr int Width = 1024;
constexpr int Height = 768;
// The pin's raw buffers are larger than a frame; a patch must still stay
// inside the frame.
constexpr size_t RawBufferSize = 2621952;
constexpr size_t Guard = 64;
constexpr BYTE GuardByte = 0xA5;

// A raw buffer with guard bytes before it, to see writes before its start.
struct RawBuffer {
    std::vector<BYTE> storage = std::vector<BYTE>(Guard + RawBufferSize, GuardByte);
    BYTE* data() { return storage.data() + Guard; }
    bool GuardIntact() const {
        for (size_t k = 0; k < Guard; ++k)
            if (storage[k] != GuardByte)
                return false;
        return true;
    }
};

CDefectList MakeList(std::initializer_list<CDefectList::Entry> entries) {
    CDefectList list{};
    for (const auto& entry : entries)
        list.entries[list.count++] = entry;
    return list;
}

}  // namespace

TEST(PictureExtraction, EveryPictureSampleLandsAtItsRowAndColumnAndNothingElseDoes) {
    RawBuffer raw;
    BYTE* frame = raw.data();
    // Bytes outside the picture carry a value the picture samples never take.
    constexpr BYTE Outside = 0xFF;
    std::fill(frame, frame + RAW_FRAME_SIZE, Outside);
    std::vector<BYTE> expected(static_cast<size_t>(Width) * Height);
    unsigned seed = 12345;
    for (int i = 0; i < Height; ++i) {
        for (int j = 0; j < Width; ++j) {
            seed = seed * 1103515245u + 12345u;
            const BYTE value = static_cast<BYTE>((seed >> 16) % 255);
            frame[2504 + 1176 * i + j] = value;
            expected[static_cast<size_t>(i) * Width + j] = value;
        }
    }

    ExtractPicture(frame, Width, Height);

    for (int i = 0; i < Height; ++i)
        for (int j = 0; j < Width; ++j)
            ASSERT_EQ(frame[i * Width + j], expected[static_cast<size_t>(i) * Width + j])
                << "row " << i << " column " << j;
}

TEST(DefectPatch, CopiesTheSampleTwoToTheLeftUsingThePictureWidthAsStride) {
    RawBuffer raw;
    BYTE* frame = raw.data();
    frame[5 * 1024 + 1] = 7;
    frame[5 * 1024 + 3] = 9;
    frame[5 * 1176 + 3] = 11;

    CorrectDefects(frame, Width, Height, MakeList({{3, 5}}));

    EXPECT_EQ(frame[5 * 1024 + 3], 7);
    EXPECT_EQ(frame[5 * 1176 + 3], 11);
}

TEST(DefectPatch, SkipsEntriesWithXOfTwoOrLessAndEntriesPastTheCount) {
    RawBuffer raw;
    BYTE* frame = raw.data();
    for (int x = 0; x <= 8; ++x)
        frame[5 * 1024 + x] = static_cast<BYTE>(10 + x);
    CDefectList list = MakeList({{2, 5}, {0, 5}, {1, 5}});
    list.entries[3] = {8, 5};  // present but not counted

    CorrectDefects(frame, Width, Height, list);

    for (int x = 0; x <= 8; ++x)
        EXPECT_EQ(frame[5 * 1024 + x], 10 + x) << "x " << x;
}

TEST(DefectPatch, AppliesEntriesInTableOrderSoALaterOneSeesAnEarlierResult) {
    RawBuffer raw;
    BYTE* frame = raw.data();
    frame[3] = 30;
    frame[5] = 50;
    frame[7] = 70;

    CorrectDefects(frame, Width, Height, MakeList({{5, 0}, {7, 0}}));

    EXPECT_EQ(frame[5], 30);
    EXPECT_EQ(frame[7], 30);
}

TEST(DefectPatch, EntriesReachingOutsideTheFrameAreNotAppliedButTheOthersAre) {
    RawBuffer raw;
    BYTE* frame = raw.data();
    std::fill(frame, frame + RawBufferSize, BYTE{0});
    for (size_t k = RAW_FRAME_SIZE - 4; k < RAW_FRAME_SIZE + 8; ++k)
        frame[k] = static_cast<BYTE>(k & 0x7F);
    frame[7] = 1;
    frame[10 * 1024 - 100 - 2] = 42;
    const std::vector<BYTE> before(frame, frame + RawBufferSize);

    // 886 * 1024 + 607 is the frame's last byte; + 608 is the first one past it.
    CorrectDefects(frame, Width, Height,
                   MakeList({{608, 886}, {100, 900}, {3, -1}, {-5, 0}, {-1023, 1}, {32767, 32767},
                             {9, 0}, {607, 886}, {-100, 10}}));

    EXPECT_TRUE(raw.GuardIntact());
    EXPECT_EQ(frame[9], 1);
    EXPECT_EQ(frame[10 * 1024 - 100], 42);  // a negative x whose signed offset is inside
    EXPECT_EQ(frame[RAW_FRAME_SIZE - 1], before[RAW_FRAME_SIZE - 3]);
    for (size_t k = 0; k < RawBufferSize; ++k) {
        if (k == 9 || k == 10 * 1024 - 100 || k == RAW_FRAME_SIZE - 1)
            continue;
        ASSERT_EQ(frame[k], before[k]) << "offset " << k;
    }
}

TEST(DefectPatch, ACountBeyondTheListsRoomOnlyAppliesTheEntriesThatExist) {
    RawBuffer raw;
    BYTE* frame = raw.data();
    std::fill(frame, frame + RawBufferSize, BYTE{0});
    CDefectList list{};
    for (DWORD i = 0; i < CDefectList::Capacity; ++i) {
        const SHORT x = static_cast<SHORT>(10 + 4 * i);
        list.entries[i] = {x, 0};
        frame[x - 2] = static_cast<BYTE>(i + 1);
    }
    list.count = 1000;

    CorrectDefects(frame, Width, Height, list);

    for (DWORD i = 0; i < CDefectList::Capacity; ++i)
        EXPECT_EQ(frame[10 + 4 * i], i + 1);
    EXPECT_TRUE(raw.GuardIntact());
}
