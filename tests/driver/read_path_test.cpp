// Reads and writes on an open handle: one bulk transfer each on the
// handle's pipe, as user mode sees it and as the USB stack got it.
#include "driver_fixture.h"

#include <thread>

namespace driver_test {
namespace {

using tm350::sim::PatternFrameSource;

constexpr DWORD kRawLines = 301056;  // 256 raw lines, the reads a capture makes
constexpr DWORD kLastLines = 4704;   // 4 raw lines, the short read that ends a frame

// True when `bytes` are the first bytes of one frame of the camera's pattern.
bool IsPatternFrame(const std::vector<uint8_t> &bytes, size_t length) {
    if (length < 2) return false;
    // Word 0 of frame n is 256 n: its high byte is n mod 256.
    const uint64_t sequence = bytes[0];
    for (size_t i = 0; i < length; ++i)
        if (bytes[i] != PatternFrameSource::ByteAt(sequence, i)) return false;
    return true;
}

using ReadTest = OneCameraTest;

TEST_F(ReadTest, ReadsAreRefusedUntilEnabledWithOneThenZero) {
    for (std::vector<uint8_t> enable : {std::vector<uint8_t>{}, {1, 1}, {0, 0}, {2, 0}}) {
        if (!enable.empty()) ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_ENABLE_READ, enable, 0).ok);
        UrbWatch urbs;
        Overlapped read(kRawLines);
        EXPECT_FALSE(read.Read(handle_.get()));
        EXPECT_EQ(read.error(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_TRUE(BulkTransfers(urbs.New()).empty());
    }
}

TEST_F(ReadTest, AReadOfNothingSucceedsAtOnceWithoutATransfer) {
    ASSERT_TRUE(EnableRead(handle_.get()));
    UrbWatch urbs;
    Overlapped read(0);
    ASSERT_TRUE(read.Read(handle_.get()));
    const Control done = read.Wait(handle_.get());
    EXPECT_TRUE(done.ok);
    EXPECT_EQ(done.bytes, 0u);
    EXPECT_TRUE(BulkTransfers(urbs.New()).empty());
}

TEST_F(ReadTest, TheLargestReadIsOneTransferAndOneByteMoreIsRefused) {
    ASSERT_TRUE(EnableRead(handle_.get()));
    UrbWatch urbs;
    Overlapped too_long(3584001);
    EXPECT_FALSE(too_long.Read(handle_.get()));
    EXPECT_EQ(too_long.error(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(BulkTransfers(urbs.New()).empty());

    camera_->SetFrameLengths({kLastLines});
    Overlapped largest(3584000);
    ASSERT_TRUE(largest.Read(handle_.get()));
    ASSERT_TRUE(StartStreaming(handle_.get()));
    const Control done = largest.Wait(handle_.get());
    ASSERT_TRUE(done.ok) << done.error;
    EXPECT_EQ(done.bytes, kLastLines);
    const auto bulk = BulkTransfers(urbs.New());
    ASSERT_EQ(bulk.size(), 1u);
    EXPECT_EQ(bulk[0].transfer_length, 3584000u);
    EXPECT_EQ(bulk[0].transfer_flags, kTransferDirectionIn | kShortTransferOk);
}

TEST_F(ReadTest, AShortPacketEndsTheReadWithTheBytesThatArrived) {
    ASSERT_TRUE(EnableRead(handle_.get()));
    camera_->SetFrameLengths({kLastLines});
    Overlapped read(kRawLines);
    ASSERT_TRUE(read.Read(handle_.get()));
    ASSERT_TRUE(StartStreaming(handle_.get()));
    const Control done = read.Wait(handle_.get());
    ASSERT_TRUE(done.ok) << done.error;
    EXPECT_EQ(done.bytes, kLastLines);
    EXPECT_TRUE(IsPatternFrame(read.buffer(), kLastLines));
    EXPECT_EQ(read.buffer()[kLastLines], 0xEE);  // nothing beyond what arrived
}

TEST_F(ReadTest, OverlappedReadsAreServedInTheOrderIssued) {
    ASSERT_TRUE(EnableRead(handle_.get()));
    // Each read ends with its frame's short packet: frame k has 1000 (k + 1) bytes.
    camera_->SetFrameLengths({1000, 2000, 3000, 4000});
    std::vector<std::unique_ptr<Overlapped>> reads;
    for (int k = 0; k < 4; ++k) {
        reads.push_back(std::make_unique<Overlapped>(kRawLines));
        ASSERT_TRUE(reads.back()->Read(handle_.get()));
    }
    ASSERT_TRUE(StartStreaming(handle_.get()));
    for (int k = 0; k < 4; ++k) {
        const Control done = reads[k]->Wait(handle_.get());
        ASSERT_TRUE(done.ok) << k;
        EXPECT_EQ(done.bytes, 1000u * (k + 1)) << k;
        EXPECT_TRUE(IsPatternFrame(reads[k]->buffer(), done.bytes)) << k;
        EXPECT_EQ(reads[k]->buffer()[0], reads[0]->buffer()[0] + k) << k;  // frames in order
    }
}

TEST_F(ReadTest, AReadStaysPendingUntilItsThreadCancelsItOrEnds) {
    ASSERT_TRUE(EnableRead(handle_.get()));
    Overlapped by_cancel_ex(kRawLines);
    ASSERT_TRUE(by_cancel_ex.Read(handle_.get()));
    EXPECT_FALSE(by_cancel_ex.Done());
    ASSERT_TRUE(CancelIoEx(handle_.get(), nullptr));
    EXPECT_EQ(by_cancel_ex.Wait(handle_.get()).error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    Overlapped by_cancel(kRawLines);
    ASSERT_TRUE(by_cancel.Read(handle_.get()));
    ASSERT_TRUE(CancelIo(handle_.get()));
    EXPECT_EQ(by_cancel.Wait(handle_.get()).error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    Overlapped by_thread_end(kRawLines);
    std::thread reader([&] { ASSERT_TRUE(by_thread_end.Read(handle_.get())); });
    reader.join();
    EXPECT_EQ(by_thread_end.Wait(handle_.get()).error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    // The pipe goes on: a cancelled read is no failure to reset for.
    camera_->SetFrameLengths({kLastLines});
    Overlapped after(kRawLines);
    ASSERT_TRUE(after.Read(handle_.get()));
    ASSERT_TRUE(StartStreaming(handle_.get()));
    EXPECT_EQ(after.Wait(handle_.get()).bytes, kLastLines);
}

TEST_F(ReadTest, AWriteIsTheSameTransferWithoutTheDirectionFlagAndNeedsAWritableBuffer) {
    ASSERT_TRUE(EnableRead(handle_.get()));
    // The handle's pipe is the camera's IN pipe: the data come from the
    // camera into the write's buffer, which the caller must own writable.
    const size_t page = Pages::PageSize();
    Pages pages(1);
    uint8_t *const read_only = pages.data();
    ASSERT_NE(read_only, nullptr);
    ASSERT_TRUE(pages.MakeReadOnly());
    UrbWatch urbs;
    {
        Overlapped write(page);
        EXPECT_FALSE(write.Write(handle_.get(), read_only));
        EXPECT_EQ(write.error(), static_cast<DWORD>(ERROR_NOACCESS));
        EXPECT_TRUE(BulkTransfers(urbs.New()).empty());
    }

    camera_->SetFrameLengths({1000});
    Overlapped write(kRawLines);
    ASSERT_TRUE(write.Write(handle_.get(), write.buffer().data()));
    ASSERT_TRUE(StartStreaming(handle_.get()));
    const Control done = write.Wait(handle_.get());
    ASSERT_TRUE(done.ok) << done.error;
    EXPECT_EQ(done.bytes, 1000u);
    const auto bulk = BulkTransfers(urbs.New());
    ASSERT_EQ(bulk.size(), 1u);
    EXPECT_EQ(bulk[0].transfer_flags, kShortTransferOk);
    EXPECT_EQ(bulk[0].transfer_length, kRawLines);
}

TEST_F(ReadTest, AReadTheStackRefusesAtOnceResetsPipeZero) {
    ASSERT_TRUE(EnableRead(handle_.get()));
    // Selecting the interface again makes the handle's pipe handle stale.
    ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_SELECT_INTERFACE, {0, 0}, 0).ok);
    UrbWatch urbs;
    Overlapped read(kRawLines);
    ASSERT_TRUE(read.Read(handle_.get()));
    EXPECT_EQ(read.Wait(handle_.get()).error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    const auto sent = urbs.New();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].function, kUrbBulkTransfer);
    EXPECT_EQ(sent[1].function, kUrbResetPipe);
}

TEST_F(ReadTest, AReadAfterTheCameraWentIsRefusedAndItsRemovalStillFinishes) {
    const size_t devices = TheMachine().DriverDeviceCount();
    ASSERT_TRUE(EnableRead(handle_.get()));
    for (CameraId id : plugged_) TheMachine().Unplug(id);
    plugged_.clear();
    UrbWatch urbs;
    Overlapped read(kRawLines);
    EXPECT_FALSE(read.Read(handle_.get()));
    EXPECT_EQ(read.error(), static_cast<DWORD>(ERROR_ACCESS_DENIED));  // STATUS_DELETE_PENDING
    EXPECT_TRUE(BulkTransfers(urbs.New()).empty());
    // The remove request waits for every counted request: a count out of
    // balance would hold it up for ever, or let it go too early.
    handle_.Close();
    TheMachine().WaitForPendingWork();
    EXPECT_EQ(TheMachine().DriverDeviceCount(), devices - 1);
}

}  // namespace
}  // namespace driver_test
