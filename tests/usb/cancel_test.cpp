// /usb/cancel: requests that end before the device finishes them --
// IoCancelIrp, abort pipe, unplugging -- each completing exactly once with
// the bytes that had arrived.
#include "usb/usb_test_support.h"

#include <chrono>
#include <memory>
#include <random>
#include <thread>

#include "kernel/pnp_manager.h"

namespace usb_test {
namespace {

class UsbCancel : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        ASSERT_EQ(SelectConfiguration(0), STATUS_SUCCESS);
    }
};

using Read = QueuedRead;

TEST_F(UsbCancel, CancelledReadCompletesCancelled) {
    const uint64_t before = Bus().Counters().transfers_cancelled;
    Read read(pdo_, DataPipe(), 512);
    EXPECT_EQ(read.request.returned(), STATUS_PENDING);
    EXPECT_TRUE(read.request.Cancel());
    ASSERT_TRUE(read.request.Wait());
    EXPECT_EQ(read.request.Status(), STATUS_CANCELLED);
    EXPECT_EQ(read.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(read.Length(), 0u);
    EXPECT_EQ(Bus().Counters().transfers_cancelled, before + 1);
}

TEST_F(UsbCancel, CancelledReadReportsTheBytesThatHadArrived) {
    Read read(pdo_, DataPipe(), 1024 * 1024);
    StartStreaming();
    while (camera_.Counters().bytes_sent < 8192 && !read.request.Completed()) Bus().WaitFrames(1);
    read.request.Cancel();
    ASSERT_TRUE(read.request.Wait());
    EXPECT_EQ(read.request.Status(), STATUS_CANCELLED);
    // Every byte the camera sent went into this read, the only one queued.
    EXPECT_EQ(read.Length(), camera_.Counters().bytes_sent);
    EXPECT_GE(read.Length(), 8192u);
}

TEST_F(UsbCancel, CancelRacingCompletionEndsEachRequestOnce) {
    StartStreaming();
    std::mt19937 random(350);
    int cancelled = 0;
    int completed = 0;
    for (int i = 0; i < 300; ++i) {
        auto read = std::make_unique<Read>(pdo_, DataPipe(), 512 * (1 + random() % 4));
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 400));
        read->request.Cancel();
        ASSERT_TRUE(read->request.Wait()) << "request " << i;
        ASSERT_EQ(read->request.Completions(), 1) << "request " << i;
        if (read->request.Status() == STATUS_CANCELLED) {
            ++cancelled;
            EXPECT_EQ(read->urb.UrbHeader.Status, USBD_STATUS_CANCELED);
        } else {
            ++completed;
            EXPECT_EQ(read->request.Status(), STATUS_SUCCESS) << "request " << i;
        }
    }
    // Both outcomes happen, or the race was not run.
    EXPECT_GT(cancelled, 0);
    EXPECT_GT(completed, 0);
}

TEST_F(UsbCancel, AbortPipeCancelsItsQueueAndLeavesOtherPipesAlone) {
    std::vector<std::unique_ptr<Read>> reads;
    for (int i = 0; i < 3; ++i) reads.push_back(std::make_unique<Read>(pdo_, DataPipe(), 512));
    URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, OutPipe());
    ASSERT_EQ(SubmitAndWait(pdo_, &abort), STATUS_SUCCESS);
    Bus().WaitFrames(3);
    for (auto &read : reads) EXPECT_FALSE(read->request.Completed());

    abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, DataPipe());
    // Nothing to wait for on the device: the abort completes in the caller's thread.
    UrbRequest request(pdo_, &abort);
    EXPECT_EQ(request.returned(), STATUS_SUCCESS);
    for (auto &read : reads) {
        ASSERT_TRUE(read->request.Completed());
        EXPECT_EQ(read->request.Status(), STATUS_CANCELLED);
        EXPECT_EQ(read->urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    }
    // The pipe still works.
    StartStreaming();
    Read read(pdo_, DataPipe(), 512);
    ASSERT_TRUE(read.request.Wait());
    EXPECT_EQ(read.request.Status(), STATUS_SUCCESS);
}

TEST_F(UsbCancel, UnplugFailsQueuedAndNewRequestsAndThePdoGoesAtRemoval) {
    Read first(pdo_, DataPipe(), 512);
    Read second(pdo_, DataPipe(), 512);
    camera_.SetAttached(false);
    Bus().Unplug(pdo_);
    for (Read *read : {&first, &second}) {
        ASSERT_TRUE(read->request.Wait());
        EXPECT_EQ(read->request.Status(), STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(read->urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    }
    Read late(pdo_, DataPipe(), 512);
    EXPECT_EQ(late.request.returned(), STATUS_DEVICE_NOT_CONNECTED);
    URB vendor = VendorUrb(false, 0x01, 3, 0x000F, nullptr, 0);
    EXPECT_EQ(SubmitAndWait(pdo_, &vendor), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(vendor.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(SubmitAndWait(pdo_, nullptr, IOCTL_INTERNAL_USB_RESET_PORT), STATUS_DEVICE_NOT_CONNECTED);

    EXPECT_EQ(Bus().DeviceOf(pdo_), &camera_);
    PDEVICE_OBJECT pdo = pdo_;
    UnplugAndRemove();
    EXPECT_EQ(Bus().DeviceOf(pdo), nullptr);
}

TEST_F(UsbCancel, DeviceThatStopsAnsweringFailsItsQueuedRequests) {
    // The device is gone before the bus hears of it: the host controller
    // finds out at the next transaction.
    Read read(pdo_, DataPipe(), 512);
    camera_.SetAttached(false);
    ASSERT_TRUE(read.request.Wait());
    EXPECT_EQ(read.urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
}

}  // namespace
}  // namespace usb_test
