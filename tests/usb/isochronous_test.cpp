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
};

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
