// Raw frames read through the device channel: whole frames, frames whose
// framing is wrong, and cameras that go away, stop sending, or are given up
// on. Whatever the outcome, no read may land in the channel's buffers after
// ReadFrame has returned.
#include "channel_fixture.h"

#include <cstring>

#include "sim/frame_source.h"

namespace channel_test {
namespace {

using tm350::sim::kFrameBytes;
using tm350::sim::PatternFrameSource;

constexpr size_t kGuardBytes = 64;
constexpr uint8_t kGuard = 0xEE;
constexpr uint8_t kUntouched = 0x5A;
constexpr uint32_t kNormalPeriod = 133;  // bus frames

// A destination with guard bytes behind the frame.
struct FrameBuffer {
    std::vector<BYTE> bytes = std::vector<BYTE>(kFrameBytes + kGuardBytes, kGuard);
    BYTE *data() { return bytes.data(); }
    bool GuardIntact() const {
        for (size_t i = kFrameBytes; i < bytes.size(); ++i)
            if (bytes[i] != kGuard) return false;
        return true;
    }
};

// The counting pattern of frame `sequence` byte for byte; the index of the
// first byte that differs, or kFrameBytes.
size_t FirstDifference(const FrameBuffer &frame, uint64_t sequence) {
    for (size_t i = 0; i < kFrameBytes; ++i)
        if (frame.bytes[i] != PatternFrameSource::ByteAt(sequence, i)) return i;
    return kFrameBytes;
}

// Marks the read buffers and lets the camera stream for three frame
// periods: a read still in flight would land there.
void ExpectNoReadLands(CDeviceChannel &channel) {
    std::memset(channel.m_readBuffers, kUntouched, sizeof channel.m_readBuffers);
    TheMachine().WaitFrames(3 * kNormalPeriod);
    for (size_t slot = 0; slot < READ_SLOTS; ++slot) {
        SCOPED_TRACE(slot);
        const BYTE *buffer = channel.m_readBuffers[slot];
        size_t changed = 0;
        for (size_t i = 0; i < READ_SLOT_BYTES; ++i) changed += buffer[i] != kUntouched;
        EXPECT_EQ(changed, 0u);
    }
}

using ReadFrameTest = ChannelTest;

TEST_F(ReadFrameTest, AWholeFrameArrivesByteForByte) {
    Camera &camera = Plug();
    auto channel = InitializedChannel();
    FrameBuffer frame;
    auto reader = ReadFrameInBackground(*channel, frame.data());
    channel->StartStreaming();
    ASSERT_EQ(reader->Result("ReadFrame"), 1);
    // The camera's first frame, none of it lost or shifted, nothing written past it.
    EXPECT_EQ(FirstDifference(frame, 0), kFrameBytes);
    EXPECT_TRUE(frame.GuardIntact());
    EXPECT_EQ(camera.Counters().frames_completed, 1u);
}

// Automatic exposure and the settings interface write registers while the
// capture thread reads: neither disturbs the other.
TEST_F(ReadFrameTest, RegisterWritesFromAnotherThreadLeaveAReadWhole) {
    Camera &camera = Plug();
    auto channel = InitializedChannel();
    FrameBuffer frame;
    auto reader = ReadFrameInBackground(*channel, frame.data());
    channel->StartStreaming();
    int refused = 0;
    for (WORD rows = 1; !reader->Done(); rows = rows % 791 + 1) {
        refused += !channel->SetAnalogGain(rows);
        refused += !channel->SetExposure(rows);
    }
    ASSERT_EQ(reader->Result(), 1);
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(FirstDifference(frame, 0), kFrameBytes);
    EXPECT_TRUE(camera.Streaming());
}

// A frame that ends before its last read (the reads came in during another
// frame) is followed by a whole one, whichever read the early end hits.
class FrameEndingEarly : public ChannelTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(FrameEndingEarly, TheReadStartsAgainWithTheNextFrame) {
    Camera &camera = Plug();
    auto channel = InitializedChannel();
    camera.SetFrameLengths({GetParam(), kFrameBytes});
    FrameBuffer frame;
    auto reader = ReadFrameInBackground(*channel, frame.data());
    channel->StartStreaming();
    ASSERT_EQ(reader->Result("ReadFrame"), 1);
    EXPECT_EQ(FirstDifference(frame, 1), kFrameBytes);
    EXPECT_TRUE(frame.GuardIntact());
    ExpectNoReadLands(*channel);
}

// In the first, second and third read: three, two and one reads still in flight.
INSTANTIATE_TEST_SUITE_P(InEachRead, FrameEndingEarly, ::testing::Values(100000, 400000, 700000));

TEST_F(ReadFrameTest, TwoFramesEndingEarlyInOneCallLoseTheFrame) {
    Camera &camera = Plug();
    auto channel = InitializedChannel();
    camera.SetFrameLengths({400000, 700000, kFrameBytes});
    FrameBuffer frame;
    auto reader = ReadFrameInBackground(*channel, frame.data());
    channel->StartStreaming();
    EXPECT_EQ(reader->Result("ReadFrame"), 0);
    EXPECT_TRUE(frame.GuardIntact());
    ExpectNoReadLands(*channel);
}

// The last read must bring exactly the frame's 4704-byte tail.
class WrongLastLength : public ChannelTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(WrongLastLength, LosesTheFrame) {
    Camera &camera = Plug();
    auto channel = InitializedChannel();
    camera.SetFrameLengths({GetParam(), kFrameBytes});
    FrameBuffer frame;
    auto reader = ReadFrameInBackground(*channel, frame.data());
    channel->StartStreaming();
    EXPECT_EQ(reader->Result("ReadFrame"), 0);
    EXPECT_TRUE(frame.GuardIntact());
    ExpectNoReadLands(*channel);
}

// A tail one byte short, a thousand short, and none at all (three whole
// reads: the fourth brings the next frame's first chunk).
INSTANTIATE_TEST_SUITE_P(ShortTails, WrongLastLength,
                         ::testing::Values(kFrameBytes - 1, kFrameBytes - 1000, kFrameBytes - 4704));

TEST_F(ReadFrameTest, ACameraPulledOutFailsTheRead) {
    Plug();
    auto channel = InitializedChannel();
    FrameBuffer frame;
    auto reader = ReadFrameInBackground(*channel, frame.data());
    Unplug();
    EXPECT_EQ(reader->Result("ReadFrame"), -1);
    EXPECT_TRUE(frame.GuardIntact());
    // A camera that is gone stays gone for the channel.
    EXPECT_EQ(channel->ReadFrame(frame.data()), -1);
}

TEST_F(ReadFrameTest, ACameraThatNeverStreamsFailsTheReadAfterTheWaitLimit) {
    Plug();
    auto channel = InitializedChannel();
    FrameBuffer frame;
    FrameReader reader(*channel, frame.data());
    EXPECT_EQ(reader.Result("ReadFrame of a camera that never streams"), -1);
    // The reads it gave up on were cancelled, not left to land later.
    channel->StartStreaming();
    ExpectNoReadLands(*channel);
}

TEST_F(ReadFrameTest, ACameraWhoseSensorHangsMidFrameFailsTheRead) {
    Camera &camera = Plug();
    auto channel = InitializedChannel();
    FrameBuffer frame;
    auto reader = ReadFrameInBackground(*channel, frame.data());
    channel->StartStreaming();
    // Some of the frame is in, then nothing more comes.
    while (camera.Counters().bytes_sent == 0) TheMachine().WaitFrames(1);
    camera.HangSensor();
    EXPECT_EQ(reader->Result("ReadFrame of a hung camera"), -1);
    EXPECT_TRUE(frame.GuardIntact());
    camera.ResumeSensor();
    ExpectNoReadLands(*channel);
}

TEST_F(ReadFrameTest, EndReadFrameEndsTheReadInProgressAndEveryLaterOne) {
    Camera &camera = Plug();
    auto channel = InitializedChannel();
    // No wait limit: only EndReadFrame can end this read.
    channel->SetReadWaitLimit(INFINITE);
    FrameBuffer frame;
    auto reader = ReadFrameInBackground(*channel, frame.data());
    channel->EndReadFrame();
    EXPECT_EQ(reader->Result("ReadFrame after EndReadFrame"), -1);

    channel->StartStreaming();
    ExpectNoReadLands(*channel);
    ASSERT_TRUE(camera.Streaming());
    BulkWatch bulk;
    EXPECT_EQ(channel->ReadFrame(frame.data()), -1);
    EXPECT_EQ(bulk.New(), 0u);
    EXPECT_TRUE(frame.GuardIntact());
}

}  // namespace
}  // namespace channel_test
