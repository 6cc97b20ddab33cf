// IOCTL_CAM_READ_FRAME: a whole frame assembled from transfers of the
// packet size the caller's header names, one frame read at a time.
// Frame reads run on a handle opened for synchronous I/O, which gets the
// byte count of a failed request too.
#include "driver_fixture.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>

namespace driver_test {
namespace {

using tm350::sim::PatternFrameSource;

constexpr DWORD kFrame = 10000;
constexpr DWORD kPacket = 4096;
constexpr DWORD kAllOnes = 0xFFFFFFFFu;

FrameResult ReadFrame(HANDLE device, uint32_t packet, size_t length = kFrame, uint32_t timeout = 1000,
                      uint32_t magic = CAM_FRAME_REQUEST_MAGIC) {
    return driver_test::ReadFrame(device, FrameHeader(magic, timeout, packet, length));
}

// True when the first `length` bytes are one frame of the camera's pattern.
bool IsPatternFrame(const std::vector<uint8_t> &bytes, size_t length) {
    const uint64_t sequence = bytes[0];
    for (size_t i = 0; i < length; ++i)
        if (bytes[i] != PatternFrameSource::ByteAt(sequence, i)) return false;
    return true;
}

class FrameReadTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        camera_ = &TheMachine().CameraOf(Plug());
        control_ = OpenCamera(0);
        frames_ = OpenCamera(0, Io::Synchronous);
        ASSERT_TRUE(control_.valid());
        ASSERT_TRUE(frames_.valid());
    }

    tm350::sim::Camera *camera_ = nullptr;
    Handle control_;  // overlapped, for control requests while a frame read waits
    Handle frames_;
};

TEST_F(FrameReadTest, WholePacketsAndTheTailMakeAFrameReportedWithoutTheTail) {
    camera_->SetFrameLengths({kFrame});
    ASSERT_TRUE(StartStreaming(control_.get()));
    UrbWatch urbs;
    const FrameResult frame = ReadFrame(frames_.get(), kPacket);
    ASSERT_TRUE(frame.ok) << frame.error;
    EXPECT_EQ(frame.bytes, 2 * kPacket);
    EXPECT_TRUE(IsPatternFrame(frame.buffer, kFrame));
    // Four slots in flight; the three that carried the frame go idle.
    const auto bulk = BulkTransfers(urbs.New());
    ASSERT_GE(bulk.size(), 4u);
    for (const auto &transfer : bulk) {
        EXPECT_EQ(transfer.transfer_length, kPacket);
        EXPECT_EQ(transfer.transfer_flags, kTransferDirectionIn | kShortTransferOk);
    }
}

TEST_F(FrameReadTest, AShortTransferInTheMiddleStartsTheFrameOver) {
    // 4,096 then 1,000 bytes: the frame starts over and the next one is taken whole.
    camera_->SetFrameLengths({kPacket + 1000, kFrame});
    ASSERT_TRUE(StartStreaming(control_.get()));
    const FrameResult frame = ReadFrame(frames_.get(), kPacket);
    ASSERT_TRUE(frame.ok) << frame.error;
    EXPECT_EQ(frame.bytes, 2 * kPacket);
    EXPECT_TRUE(IsPatternFrame(frame.buffer, kFrame));
    EXPECT_EQ(frame.buffer[0], 1);  // the second frame of the camera
}

TEST_F(FrameReadTest, AFrameOfWholePacketsEndsWithAZeroLengthTransferAndReportsItAll) {
    camera_->SetFrameLengths({2 * kPacket});
    ASSERT_TRUE(StartStreaming(control_.get()));
    const FrameResult frame = ReadFrame(frames_.get(), kPacket, 2 * kPacket);
    ASSERT_TRUE(frame.ok) << frame.error;
    EXPECT_EQ(frame.bytes, 2 * kPacket);
    EXPECT_TRUE(IsPatternFrame(frame.buffer, 2 * kPacket));
}

TEST_F(FrameReadTest, ATransferLeftFromAReadOfAnotherPacketSizeServesTheNextRead) {
    camera_->SetFrameLengths({kFrame});
    ASSERT_TRUE(StartStreaming(control_.get()));
    ASSERT_TRUE(ReadFrame(frames_.get(), kPacket).ok);
    // The camera stops: the fourth slot's transfer of 4,096 bytes stays in
    // flight, and the next read's start cancels it.
    ASSERT_TRUE(Ioctl(control_.get(), IOCTL_CAM_CONTROL_REQUEST, CameraRecord(0, 2, 0, 0x01, 0, 0x000F), 0).ok);
    camera_->SetFrameLengths({3 * 2048});
    UrbWatch urbs;
    auto next = std::async(std::launch::async, [&] { return ReadFrame(frames_.get(), 2048, 3 * 2048); });
    WaitForBulkTransfers(urbs, 3);
    ASSERT_TRUE(StartStreaming(control_.get()));
    const FrameResult frame = Await(next, "a frame read of another packet size");
    EXPECT_TRUE(frame.ok) << frame.error << " " << frame.bytes;
    EXPECT_EQ(frame.bytes, 3 * 2048u);
}

TEST_F(FrameReadTest, TenRestartsFailTheReadWithByteCountOne) {
    // Whole camera frames never fit 10,000 bytes.
    ASSERT_TRUE(StartStreaming(control_.get()));
    const FrameResult frame = ReadFrame(frames_.get(), kPacket);
    EXPECT_FALSE(frame.ok);
    EXPECT_EQ(frame.error, static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(frame.bytes, 1u);
}

TEST_F(FrameReadTest, AFailedTransferFailsTheReadWithAllOnes) {
    ASSERT_TRUE(camera_->HaltEndpoint(0x82));
    ASSERT_TRUE(StartStreaming(control_.get()));
    const FrameResult frame = ReadFrame(frames_.get(), kPacket);
    EXPECT_FALSE(frame.ok);
    EXPECT_EQ(frame.error, static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(frame.bytes, kAllOnes);
}

TEST_F(FrameReadTest, BadHeadersAreRefusedWithNothingSentAndTheNextReadWorks) {
    UrbWatch urbs;
    struct Case {
        uint32_t packet;
        size_t length;
    };
    // Packet size 0, a packet beyond the staging buffer, a header cut short, no buffer.
    for (const Case &bad : {Case{0, kFrame}, Case{1500001, kFrame}, Case{kPacket, 8}, Case{kPacket, 0}}) {
        const FrameResult frame = ReadFrame(frames_.get(), bad.packet, bad.length);
        EXPECT_FALSE(frame.ok) << bad.packet << " " << bad.length;
        EXPECT_EQ(frame.error, static_cast<DWORD>(ERROR_GEN_FAILURE)) << bad.packet << " " << bad.length;
        EXPECT_EQ(frame.bytes, 0u) << bad.packet << " " << bad.length;
    }
    EXPECT_TRUE(BulkTransfers(urbs.New()).empty());
    camera_->SetFrameLengths({kFrame});
    ASSERT_TRUE(StartStreaming(control_.get()));
    EXPECT_TRUE(ReadFrame(frames_.get(), kPacket).ok);
}

TEST_F(FrameReadTest, AWrongMagicHandsTheBufferToTheReadPathAsOneTransferWithoutTheDirectionFlag) {
    // Reads not enabled: the read path refuses it.
    EXPECT_EQ(ReadFrame(frames_.get(), kPacket, kFrame, 1000, 0x20110524).error,
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    ASSERT_TRUE(EnableRead(control_.get()));
    camera_->SetFrameLengths({1000});
    ASSERT_TRUE(StartStreaming(control_.get()));
    UrbWatch urbs;
    Overlapped read(kFrame);
    read.buffer() = FrameHeader(0x20110524, 1000, kPacket, kFrame);
    ASSERT_TRUE(read.DeviceControl(control_.get(), IOCTL_CAM_READ_FRAME, {}));
    const Control done = read.Wait(control_.get());
    ASSERT_TRUE(done.ok) << done.error;
    EXPECT_EQ(done.bytes, 1000u);
    EXPECT_TRUE(IsPatternFrame(read.buffer(), 1000));
    const auto bulk = BulkTransfers(urbs.New());
    ASSERT_EQ(bulk.size(), 1u);
    EXPECT_EQ(bulk[0].transfer_length, kFrame);
    EXPECT_EQ(bulk[0].transfer_flags, kShortTransferOk);
}

TEST_F(FrameReadTest, AWaiterThatTimesOutAbandonsTheReadBeingServedAndTakesItsPlace) {
    // The camera does not stream: the first read waits for a frame for ever.
    Handle second = OpenCamera(0, Io::Synchronous);
    UrbWatch urbs;
    auto served = std::async(std::launch::async, [&] { return ReadFrame(frames_.get(), kPacket); });
    WaitForBulkTransfers(urbs, 4);  // its slots are in flight: it holds the lock
    auto waiter = std::async(std::launch::async, [&] { return ReadFrame(second.get(), kPacket, kFrame, 20); });
    const FrameResult abandoned = Await(served, "the abandoned frame read");
    EXPECT_FALSE(abandoned.ok);
    EXPECT_EQ(abandoned.error, static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(abandoned.bytes, 0u);
    // The waiter is served now: a frame ends it.
    camera_->SetFrameLengths({kFrame});
    ASSERT_TRUE(StartStreaming(control_.get()));
    const FrameResult frame = Await(waiter, "the frame read that took over");
    EXPECT_TRUE(frame.ok) << frame.error;
    EXPECT_EQ(frame.bytes, 2 * kPacket);
}

TEST_F(FrameReadTest, CancellingAFrameReadThatWaitsForEverEndsItAndTheNextReadIsServed) {
    // The camera does not stream: without the cancel the read would wait
    // until the camera went.
    UrbWatch urbs;
    auto served = std::async(std::launch::async, [&] { return ReadFrame(frames_.get(), kPacket); });
    WaitForBulkTransfers(urbs, 4);
    ASSERT_TRUE(CancelIoEx(frames_.get(), nullptr));
    const FrameResult cancelled = Await(served, "the cancelled frame read");
    EXPECT_FALSE(cancelled.ok);
    EXPECT_EQ(cancelled.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(cancelled.bytes, 0u);

    camera_->SetFrameLengths({kFrame});
    ASSERT_TRUE(StartStreaming(control_.get()));
    const FrameResult frame = ReadFrame(frames_.get(), kPacket);
    EXPECT_TRUE(frame.ok) << frame.error;
    EXPECT_EQ(frame.bytes, 2 * kPacket);
}

TEST_F(FrameReadTest, ATimeoutBeyondThirtyTwoBitsOfHundredNanosecondsWaitsAsLongAsAsked) {
    Handle second = OpenCamera(0, Io::Synchronous);
    UrbWatch urbs;
    auto served = std::async(std::launch::async, [&] { return ReadFrame(frames_.get(), kPacket); });
    WaitForBulkTransfers(urbs, 4);
    // 300,000 ms: -10,000 x 300,000 does not fit 32 bits.
    auto waiter = std::async(std::launch::async, [&] { return ReadFrame(second.get(), kPacket, kFrame, 300000); });
    TheMachine().WaitFrames(200);
    EXPECT_EQ(served.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    camera_->SetFrameLengths({kFrame});
    ASSERT_TRUE(StartStreaming(control_.get()));
    EXPECT_TRUE(Await(served, "the frame read being served").ok);
    EXPECT_TRUE(Await(waiter, "the frame read waiting for it").ok);
}

TEST_F(FrameReadTest, TheReadOfACameraThatGoesEndsAndTheDriverKeepsNothing) {
    const size_t devices = TheMachine().DriverDeviceCount();
    const CameraId id = plugged_.front();
    UrbWatch urbs;
    auto served = std::async(std::launch::async, [&] { return ReadFrame(frames_.get(), kPacket); });
    WaitForBulkTransfers(urbs, 4);
    TheMachine().Unplug(id);
    plugged_.clear();
    EXPECT_FALSE(Await(served, "a frame read across a surprise removal").ok);
    frames_.Close();
    control_.Close();
    TheMachine().WaitForPendingWork();
    EXPECT_EQ(TheMachine().DriverDeviceCount(), devices - 1);
}

}  // namespace
}  // namespace driver_test
