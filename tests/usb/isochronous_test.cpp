// /usb/isochronous: the camera's alternate setting 1 streams over a
// high-bandwidth isochronous endpoint (three 1 024-byte transactions per
// microframe); a transfer is one packet per microframe, each with its own
// length and status.
#include "usb/usb_test_support.h"

#include <algorithm>

#include "sim/frame_source.h"

namespace usb_test {
namespace {

class UsbIsochronous : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        ASSERT_EQ(SelectConfiguration(1), STATUS_SUCCESS);
        ASSERT_EQ(Interface()->Pipes[1].PipeType, UsbdPipeTypeIsochronous);
    }
    static constexpr ULONG kPacketBytes = 3 * 1024;

    ULONG CurrentFrame() {
        URB urb{};
        urb.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
        urb.UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
        EXPECT_EQ(SubmitAndWait(pdo_, &urb), STATUS_SUCCESS);
        return urb.UrbGetCurrentFrameNumber.FrameNumber;
    }
    // A request that starts in frame `start` rather than as soon as possible.
    IsochronousRequest StartingAt(ULONG start, ULONG packets, ULONG packet_bytes = kPacketBytes) {
        IsochronousRequest request = IsochronousUrb(DataPipe(), packets, packet_bytes);
        request.urb()->UrbIsochronousTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
        request.urb()->UrbIsochronousTransfer.StartFrame = start;
        return request;
    }
};

// Without USBD_START_ISO_TRANSFER_ASAP the transfer starts in the frame it
// names (well ahead here, so the test cannot be late) and keeps that frame.
TEST_F(UsbIsochronous, TransferStartsInTheFrameItNames) {
    StartStreaming();
    const ULONG start = CurrentFrame() + 1000;
    IsochronousRequest request = StartingAt(start, 16);
    ASSERT_EQ(SubmitAndWait(pdo_, request.urb()), STATUS_SUCCESS);
    const auto &iso = request.urb()->UrbIsochronousTransfer;
    EXPECT_EQ(iso.StartFrame, start);
    EXPECT_EQ(iso.ErrorCount, 0u);
    // Its last eight packets belong to frame start + 1: it cannot end sooner.
    EXPECT_GE(Bus().FrameNumber(), start + 1);
}

TEST_F(UsbIsochronous, StartFrameOutsideTheWindowIsRefusedAtOnce) {
    for (LONG offset : {3000L, -3000L}) {
        static_assert(3000 > USBD_ISO_START_FRAME_RANGE);
        IsochronousRequest request = StartingAt(CurrentFrame() + offset, 8);
        UrbRequest submit(pdo_, request.urb());
        EXPECT_EQ(submit.returned(), STATUS_UNSUCCESSFUL) << offset;
        EXPECT_EQ(request.urb()->UrbHeader.Status, USBD_STATUS_BAD_START_FRAME) << offset;
    }
}

// A start frame just gone by is taken, but the packets whose microframes
// have passed are not sent; the rest of the transfer runs on time.
TEST_F(UsbIsochronous, PacketsWhoseFramesHavePassedAreLate) {
    // Not streaming, the camera answers every packet empty; a long request
    // (500 frames) so that its end is still ahead however late the test is.
    const ULONG now = CurrentFrame();
    IsochronousRequest request = StartingAt(now - 2, 8 * 500, 16);
    ASSERT_EQ(SubmitAndWait(pdo_, request.urb()), STATUS_SUCCESS);
    const auto &iso = request.urb()->UrbIsochronousTransfer;
    EXPECT_EQ(iso.StartFrame, now - 2);
    // Frames now - 2 to now had passed before the request was sent.
    for (ULONG i = 0; i < 24; ++i) {
        EXPECT_EQ(iso.IsoPacket[i].Status, USBD_STATUS_ISO_NOT_ACCESSED_LATE) << i;
        EXPECT_EQ(iso.IsoPacket[i].Length, 0u) << i;
    }
    EXPECT_GE(iso.ErrorCount, 24u);
    EXPECT_LT(iso.ErrorCount, iso.NumberOfPackets);
    EXPECT_EQ(iso.IsoPacket[iso.NumberOfPackets - 1].Status, USBD_STATUS_SUCCESS);
}

// The stack keeps the pipe's schedule: an ASAP transfer sent after the one
// before it has ended starts right after it all the same, so the packets of
// the frames that passed meanwhile are late.
TEST_F(UsbIsochronous, AnAsapTransferContinuesThePipesSchedule) {
    IsochronousRequest first = IsochronousUrb(DataPipe(), 8, kPacketBytes);
    ASSERT_EQ(SubmitAndWait(pdo_, first.urb()), STATUS_SUCCESS);
    const ULONG end = first.urb()->UrbIsochronousTransfer.StartFrame + 1;
    Bus().WaitFrames(3);
    IsochronousRequest late = IsochronousUrb(DataPipe(), 8 * 500, 16);
    ASSERT_EQ(SubmitAndWait(pdo_, late.urb()), STATUS_SUCCESS);
    const auto &iso = late.urb()->UrbIsochronousTransfer;
    EXPECT_EQ(iso.StartFrame, end);
    for (ULONG i = 0; i < 16; ++i) EXPECT_EQ(iso.IsoPacket[i].Status, USBD_STATUS_ISO_NOT_ACCESSED_LATE) << i;
    EXPECT_EQ(iso.IsoPacket[iso.NumberOfPackets - 1].Status, USBD_STATUS_SUCCESS);

    // A reset pipe starts afresh, in the next frame.
    URB reset = PipeUrb(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, DataPipe());
    ASSERT_EQ(SubmitAndWait(pdo_, &reset), STATUS_SUCCESS);
    Bus().WaitFrames(3);
    IsochronousRequest fresh = IsochronousUrb(DataPipe(), 8, kPacketBytes);
    const ULONG before = CurrentFrame();
    ASSERT_EQ(SubmitAndWait(pdo_, fresh.urb()), STATUS_SUCCESS);
    EXPECT_GT(fresh.urb()->UrbIsochronousTransfer.StartFrame, before);
    EXPECT_EQ(fresh.urb()->UrbIsochronousTransfer.ErrorCount, 0u);

    // So does a pipe left idle for USBD_ISO_START_FRAME_RANGE frames.
    Bus().WaitFrames(USBD_ISO_START_FRAME_RANGE + 8);
    IsochronousRequest idle = IsochronousUrb(DataPipe(), 8, kPacketBytes);
    const ULONG later = CurrentFrame();
    ASSERT_EQ(SubmitAndWait(pdo_, idle.urb()), STATUS_SUCCESS);
    EXPECT_GT(idle.urb()->UrbIsochronousTransfer.StartFrame, later);
    EXPECT_EQ(idle.urb()->UrbIsochronousTransfer.ErrorCount, 0u);
}

TEST_F(UsbIsochronous, TransferReportsEveryPacketAndItsStartFrame) {
    StartStreaming();
    IsochronousRequest request = IsochronousUrb(DataPipe(), 32, kPacketBytes);
    const uint64_t sent_before = camera_.Counters().bytes_sent;
    const ULONG frame_before = Bus().FrameNumber();
    ASSERT_EQ(SubmitAndWait(pdo_, request.urb()), STATUS_SUCCESS);
    const auto &iso = request.urb()->UrbIsochronousTransfer;
    EXPECT_EQ(iso.Hdr.Status, USBD_STATUS_SUCCESS);
    EXPECT_GT(iso.StartFrame, frame_before);
    EXPECT_LE(iso.StartFrame, Bus().FrameNumber());
    EXPECT_EQ(iso.ErrorCount, 0u);
    uint64_t received = 0;
    for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
        EXPECT_EQ(iso.IsoPacket[i].Status, USBD_STATUS_SUCCESS) << "packet " << i;
        EXPECT_LE(iso.IsoPacket[i].Length, kPacketBytes) << "packet " << i;
        received += iso.IsoPacket[i].Length;
    }
    // Four bus frames of readout, give or take the frames around the request.
    EXPECT_GT(received, 2u * 6000);
    EXPECT_EQ(received, camera_.Counters().bytes_sent - sent_before);
}

TEST_F(UsbIsochronous, PacketCarriesUpToThreeTransactionsOfAMicroframe) {
    // A full FIFO: each microframe can fill its packet with three transactions.
    StartStreaming();
    Bus().WaitFrames(5);
    ASSERT_GE(camera_.FifoBuffered(), 2 * kPacketBytes);
    IsochronousRequest request = IsochronousUrb(DataPipe(), 8, kPacketBytes);
    ASSERT_EQ(SubmitAndWait(pdo_, request.urb()), STATUS_SUCCESS);
    const auto &iso = request.urb()->UrbIsochronousTransfer;
    EXPECT_EQ(iso.IsoPacket[0].Length, kPacketBytes);
    EXPECT_EQ(iso.IsoPacket[1].Length, kPacketBytes);
    // The FIFO kept the frame's first bytes and lost what came after: the
    // two packets are the frame's first 6 144 bytes, in order.
    for (size_t position = 0; position < 2 * kPacketBytes; ++position)
        ASSERT_EQ(request.data[position], tm350::sim::PatternFrameSource::ByteAt(0, position)) << position;
}

TEST_F(UsbIsochronous, PacketOffsetsOutsideTheBufferAreRefused) {
    StartStreaming();
    Bus().WaitFrames(5);
    // The second packet starts past the buffer's end; the bytes behind the
    // buffer must stay untouched.
    IsochronousRequest request = IsochronousUrb(DataPipe(), 2, 4 * kPacketBytes);
    auto &iso = request.urb()->UrbIsochronousTransfer;
    iso.TransferBufferLength = 2048;
    iso.IsoPacket[0].Offset = 1024;
    iso.IsoPacket[1].Offset = 4 * kPacketBytes;
    EXPECT_EQ(SubmitAndWait(pdo_, request.urb()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(iso.Hdr.Status, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(std::all_of(request.data.begin() + 2048, request.data.end(), [](uint8_t b) { return b == 0xEE; }));

    // Packets out of order overlap each other.
    request = IsochronousUrb(DataPipe(), 2, kPacketBytes);
    request.urb()->UrbIsochronousTransfer.IsoPacket[0].Offset = kPacketBytes;
    request.urb()->UrbIsochronousTransfer.IsoPacket[1].Offset = 0;
    EXPECT_EQ(SubmitAndWait(pdo_, request.urb()), STATUS_INVALID_PARAMETER);
}

TEST_F(UsbIsochronous, RequestWithMorePacketsThanItsBlockHoldsIsRefused) {
    IsochronousRequest request = IsochronousUrb(DataPipe(), 4, kPacketBytes);
    request.urb()->UrbIsochronousTransfer.NumberOfPackets = 6;  // the block has room for five
    EXPECT_EQ(SubmitAndWait(pdo_, request.urb()), STATUS_INVALID_PARAMETER);
    request.urb()->UrbIsochronousTransfer.NumberOfPackets = 0;
    EXPECT_EQ(SubmitAndWait(pdo_, request.urb()), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace usb_test
