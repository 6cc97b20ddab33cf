// IOCTL_CAM_PIPE_TRANSFER: one bulk or interrupt transfer on a pipe of the
// interface, done before the call returns, or handed to the read path when
// it is longer than the pipe takes.
#include "driver_fixture.h"

namespace driver_test {
namespace {

std::vector<uint8_t> PipeIndex(uint32_t index) {
    return {static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8), static_cast<uint8_t>(index >> 16),
            static_cast<uint8_t>(index >> 24)};
}

using PipeTransferTest = OneCameraTest;

TEST_F(PipeTransferTest, ABadPipeIndexOrAMissingOneIsRefusedWithoutATransfer) {
    UrbWatch urbs;
    for (const std::vector<uint8_t> &input : {PipeIndex(2), PipeIndex(0xFFFFFFFF), std::vector<uint8_t>{1, 0}}) {
        const Control refused = Ioctl(handle_.get(), IOCTL_CAM_PIPE_TRANSFER, input, 512);
        EXPECT_FALSE(refused.ok);
        EXPECT_EQ(refused.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(refused.bytes, 0u);
    }
    EXPECT_TRUE(urbs.New().empty());
}

TEST_F(PipeTransferTest, AnInTransferReturnsWhatTheCameraSent) {
    camera_->SetFrameLengths({1000});
    ASSERT_TRUE(StartStreaming(handle_.get()));
    UrbWatch urbs;
    const Control in = Ioctl(handle_.get(), IOCTL_CAM_PIPE_TRANSFER, PipeIndex(1), 4096);
    ASSERT_TRUE(in.ok) << in.error;
    EXPECT_EQ(in.bytes, 1000u);
    EXPECT_EQ(in.output[0], tm350::sim::PatternFrameSource::ByteAt(in.output[0], 0));
    const auto bulk = BulkTransfers(urbs.New());
    ASSERT_EQ(bulk.size(), 1u);
    EXPECT_EQ(bulk[0].transfer_flags, kTransferDirectionIn | kShortTransferOk);
    EXPECT_EQ(bulk[0].transfer_length, 4096u);
}

TEST_F(PipeTransferTest, AnInTransferThatNoDataEndsCanBeCancelledAndTheHandleGoesOn) {
    // The camera does not stream: only the cancel ends the transfer.
    UrbWatch urbs;
    auto waiting = std::async(std::launch::async,
                              [&] { return Ioctl(handle_.get(), IOCTL_CAM_PIPE_TRANSFER, PipeIndex(1), 4096); });
    WaitForBulkTransfers(urbs, 1);
    ASSERT_TRUE(CancelIoEx(handle_.get(), nullptr));
    const Control cancelled = Await(waiting, "the cancelled pipe transfer");
    EXPECT_FALSE(cancelled.ok);
    EXPECT_EQ(cancelled.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(cancelled.bytes, 0u);

    camera_->SetFrameLengths({1000});
    ASSERT_TRUE(StartStreaming(handle_.get()));
    const Control in = Ioctl(handle_.get(), IOCTL_CAM_PIPE_TRANSFER, PipeIndex(1), 4096);
    ASSERT_TRUE(in.ok) << in.error;
    EXPECT_EQ(in.bytes, 1000u);
}

TEST_F(PipeTransferTest, AnOutTransferSendsTheCallersBytes) {
    const uint64_t before = camera_->Counters().bytes_received;
    std::vector<uint8_t> data(1536, 0x5A);
    DWORD bytes = 0;
    std::vector<uint8_t> index = PipeIndex(0);
    ASSERT_TRUE(DeviceIoControl(handle_.get(), IOCTL_CAM_PIPE_TRANSFER, index.data(), 4, data.data(),
                                static_cast<DWORD>(data.size()), &bytes, nullptr));
    EXPECT_EQ(bytes, 1536u);
    EXPECT_EQ(camera_->Counters().bytes_received - before, 1536u);
}

TEST_F(PipeTransferTest, AnInTransferIntoABufferTheCallerCannotWriteIsRefused) {
    const size_t page = Pages::PageSize();
    Pages pages(1);
    uint8_t *const read_only = pages.data();
    ASSERT_NE(read_only, nullptr);
    ASSERT_TRUE(pages.MakeReadOnly());
    UrbWatch urbs;
    std::vector<uint8_t> index = PipeIndex(1);
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(handle_.get(), IOCTL_CAM_PIPE_TRANSFER, index.data(), 4, read_only,
                                 static_cast<DWORD>(page), &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_TRUE(urbs.New().empty());
}

TEST_F(PipeTransferTest, ATransferLongerThanThePipeTakesGoesToTheReadPathWhichRefusesIt) {
    UrbWatch urbs;
    Overlapped disabled(3584001);
    EXPECT_FALSE(disabled.DeviceControl(handle_.get(), IOCTL_CAM_PIPE_TRANSFER, PipeIndex(1)));
    EXPECT_EQ(disabled.error(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    ASSERT_TRUE(EnableRead(handle_.get()));
    Overlapped enabled(3584001);
    EXPECT_FALSE(enabled.DeviceControl(handle_.get(), IOCTL_CAM_PIPE_TRANSFER, PipeIndex(0)));
    EXPECT_EQ(enabled.error(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(BulkTransfers(urbs.New()).empty());
    // Completed once, by the read path: the device goes on.
    EXPECT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_NOP, {}, 0).ok);
}

}  // namespace
}  // namespace driver_test
