// /usb/bulk: transfers on the camera's bulk pipes -- whole packets, the
// short packet that ends a frame, NAKs, stalls and their reset, and what the
// camera loses when the host has nothing pending.
#include "usb/usb_test_support.h"

#include <memory>

#include "sim/frame_source.h"

namespace usb_test {
namespace {

using tm350::sim::kFrameBytes;
using tm350::sim::PatternFrameSource;

class UsbBulk : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        ASSERT_EQ(SelectConfiguration(0), STATUS_SUCCESS);
    }
};

using Read = QueuedRead;

// True when `bytes` are frame `sequence` from `position` on.
bool IsFrame(const uint8_t *bytes, size_t length, uint64_t sequence, size_t position) {
    for (size_t i = 0; i < length; ++i)
        if (bytes[i] != PatternFrameSource::ByteAt(sequence, position + i)) return false;
    return true;
}

TEST_F(UsbBulk, QueuedReadsGetAWholeFrameInOrderEndedByItsShortPacket) {
    // Queued before the sensor starts, so nothing is lost: 13 reads of 64 KiB
    // and the frame's last 55 904 bytes (ending with the 96-byte short packet).
    constexpr ULONG kRead = 64 * 1024;
    std::vector<std::unique_ptr<Read>> reads;
    for (int i = 0; i < 15; ++i)
        reads.push_back(std::make_unique<Read>(pdo_, DataPipe(), kRead, USBD_SHORT_TRANSFER_OK));
    StartStreaming();
    size_t position = 0;
    for (int i = 0; i < 14; ++i) {
        Read &read = *reads[i];
        ASSERT_TRUE(read.request.Wait()) << "read " << i;
        EXPECT_EQ(read.request.returned(), STATUS_PENDING);
        EXPECT_EQ(read.request.Status(), STATUS_SUCCESS);
        EXPECT_EQ(read.Length(), i < 13 ? kRead : kFrameBytes - 13 * kRead) << "read " << i;
        EXPECT_TRUE(IsFrame(read.buffer.data(), read.Length(), 0, position)) << "read " << i;
        position += read.Length();
    }
    EXPECT_EQ(position, kFrameBytes);
    ASSERT_TRUE(reads[14]->request.Wait());
    EXPECT_TRUE(IsFrame(reads[14]->buffer.data(), kRead, 1, 0));
    // The camera streams on with nothing pending, so bytes are lost from
    // here on; the frame the host took whole lost none.
    EXPECT_EQ(camera_.Counters().frames_short, 0u);
}

TEST_F(UsbBulk, ShortPacketWithoutShortTransferOkFailsWithTheBytesThatArrived) {
    Read read(pdo_, DataPipe(), 1774 * 512, 0);
    StartStreaming();
    ASSERT_TRUE(read.request.Wait());
    EXPECT_EQ(read.request.Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read.urb.UrbHeader.Status, USBD_STATUS_ERROR_SHORT_TRANSFER);
    EXPECT_EQ(read.Length(), kFrameBytes);
    EXPECT_TRUE(IsFrame(read.buffer.data(), kFrameBytes, 0, 0));
    // A short transfer is an error that does not halt the endpoint.
    Read next(pdo_, DataPipe(), 512, 0);
    ASSERT_TRUE(next.request.Wait());
    EXPECT_EQ(next.request.Status(), STATUS_SUCCESS);
}

TEST_F(UsbBulk, ReadStaysPendingWhileTheCameraNaksAndCompletesWhenDataComes) {
    Read read(pdo_, DataPipe(), 4 * 512, 0);
    Bus().WaitFrames(20);
    EXPECT_FALSE(read.request.Completed());
    EXPECT_GT(camera_.Counters().naks, 0u);
    StartStreaming();
    ASSERT_TRUE(read.request.Wait());
    EXPECT_EQ(read.request.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read.Length(), 4u * 512);
}

TEST_F(UsbBulk, WithNothingPendingTheCameraLosesBytes) {
    StartStreaming();
    Bus().WaitFrames(tm350::sim::kNormalSpeedFramePeriod + 10);
    EXPECT_GT(camera_.Counters().bytes_lost, 0u);
    EXPECT_EQ(camera_.Counters().bytes_sent, 0u);
}

TEST_F(UsbBulk, WritesGoOutInPackets) {
    std::vector<uint8_t> bytes(1300, 0x5A);
    URB write = BulkUrb(OutPipe(), bytes.data(), static_cast<ULONG>(bytes.size()), USBD_TRANSFER_DIRECTION_OUT);
    ASSERT_EQ(SubmitAndWait(pdo_, &write), STATUS_SUCCESS);
    EXPECT_EQ(write.UrbBulkOrInterruptTransfer.TransferBufferLength, 1300u);
    EXPECT_EQ(camera_.Counters().bytes_received, 1300u);
}

TEST_F(UsbBulk, HaltedEndpointFailsReadsUntilThePipeIsReset) {
    ASSERT_TRUE(camera_.HaltEndpoint(0x82));
    uint8_t buffer[512];
    URB read = BulkUrb(DataPipe(), buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN);
    EXPECT_EQ(SubmitAndWait(pdo_, &read), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(read.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    StartStreaming();
    // The host keeps the endpoint halted even though the camera would send now.
    read = BulkUrb(DataPipe(), buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN);
    EXPECT_EQ(SubmitAndWait(pdo_, &read), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);

    URB reset = PipeUrb(URB_FUNCTION_RESET_PIPE, DataPipe());
    ASSERT_EQ(SubmitAndWait(pdo_, &reset), STATUS_SUCCESS);
    EXPECT_FALSE(camera_.EndpointHalted(0x82));
    read = BulkUrb(DataPipe(), buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN);
    EXPECT_EQ(SubmitAndWait(pdo_, &read), STATUS_SUCCESS);
    EXPECT_EQ(read.UrbBulkOrInterruptTransfer.TransferBufferLength, 512u);

    reset = PipeUrb(URB_FUNCTION_RESET_PIPE, nullptr);
    EXPECT_EQ(SubmitAndWait(pdo_, &reset), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

// Babble (a packet longer than the room left) halts the endpoint as a stall
// does: what follows fails on the halted endpoint until the pipe is reset.
TEST_F(UsbBulk, BabbleHaltsTheEndpointUntilThePipeIsReset) {
    StartStreaming();
    {
        Read small(pdo_, DataPipe(), 100, USBD_SHORT_TRANSFER_OK);
        ASSERT_TRUE(small.request.Wait());
        EXPECT_EQ(small.request.Status(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(small.urb.UrbHeader.Status, USBD_STATUS_BABBLE_DETECTED);
        EXPECT_EQ(small.Length(), 100u);
        EXPECT_TRUE(IsFrame(small.buffer.data(), 100, 0, 0));
    }
    for (int i = 0; i < 2; ++i) {
        Read halted(pdo_, DataPipe(), 512);
        ASSERT_TRUE(halted.request.Wait());
        EXPECT_EQ(halted.urb.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
        EXPECT_EQ(halted.Length(), 0u);
    }
    URB reset = PipeUrb(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, DataPipe());
    ASSERT_EQ(SubmitAndWait(pdo_, &reset), STATUS_SUCCESS);
    Read after(pdo_, DataPipe(), 512);
    ASSERT_TRUE(after.request.Wait());
    EXPECT_EQ(after.request.Status(), STATUS_SUCCESS);
    EXPECT_EQ(after.Length(), 512u);
}

TEST_F(UsbBulk, IsochronousRequestOnABulkPipeIsRefused) {
    IsochronousRequest request = IsochronousUrb(DataPipe(), 1, 512);
    EXPECT_EQ(SubmitAndWait(pdo_, request.urb()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(request.urb()->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace usb_test
