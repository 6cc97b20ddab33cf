// /usb/cancel: requests that end before the device finishes them --
// IoCancelIrp, abort pipe, unplugging -- each completing exactly once with
// the bytes that had arrived. Where a cancel has to land inside a transfer,
// the test holds the host controller there (DeviceTap) instead of hoping
// for the timing.
#include "usb/usb_test_support.h"

#include <latch>
#include <memory>
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

    // Holds the host controller right after the `packets`-th packet the
    // camera sends on the data endpoint, until IoCancelIrp has taken
    // `target`'s cancel routine: the cancel arrives while the host
    // controller is inside the transfer. WaitUntilHeld returns once it is
    // there.
    class HoldAfterPackets {
    public:
        HoldAfterPackets(DeviceTap &device, unsigned packets) : device_(device) {
            device_.SetInHook([this, packets](uint8_t endpoint, const tm350::usb::PacketResult &) {
                if (endpoint != 0x82 || ++seen_ != packets) return;
                held_.count_down();
                for (;;) {
                    UrbRequest *request = target_.load();
                    if (request != nullptr && request->CancelTaken()) break;
                    std::this_thread::yield();
                }
            });
        }
        ~HoldAfterPackets() { device_.SetInHook(nullptr); }
        void Target(UrbRequest &request) { target_ = &request; }
        void WaitUntilHeld() { held_.wait(); }

    private:
        DeviceTap &device_;
        unsigned seen_ = 0;  // host controller thread only
        std::atomic<UrbRequest *> target_{nullptr};
        std::latch held_{1};
    };
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
    HoldAfterPackets hold(device_, 16);
    Read read(pdo_, DataPipe(), 1024 * 1024);
    hold.Target(read.request);
    StartStreaming();
    hold.WaitUntilHeld();
    EXPECT_TRUE(read.request.Cancel());
    ASSERT_TRUE(read.request.Wait());
    EXPECT_EQ(read.request.Status(), STATUS_CANCELLED);
    EXPECT_EQ(read.Length(), 16u * 512);
    EXPECT_EQ(camera_.Counters().bytes_sent, 16u * 512);
}

// The cancel lands after the first packet, in the middle, and on the packet
// that fills the read: whichever, the read ends cancelled, once, with every
// byte it took, and the host controller sends it nothing more (every byte
// the camera sent is in one of the reads).
TEST_F(UsbCancel, CancelInsideATransferEndsItCancelledWithItsBytesAndLosesNothing) {
    StartStreaming();
    uint64_t received = 0;
    for (unsigned packets : {1u, 2u, 4u}) {
        {
            HoldAfterPackets hold(device_, packets);
            Read read(pdo_, DataPipe(), 4 * 512);
            hold.Target(read.request);
            hold.WaitUntilHeld();
            EXPECT_TRUE(read.request.Cancel()) << packets;
            ASSERT_TRUE(read.request.Wait()) << packets;
            EXPECT_EQ(read.request.Completions(), 1) << packets;
            EXPECT_EQ(read.request.Status(), STATUS_CANCELLED) << packets;
            EXPECT_EQ(read.urb.UrbHeader.Status, USBD_STATUS_CANCELED) << packets;
            EXPECT_EQ(read.Length(), packets * 512) << packets;
            received += read.Length();
        }
        // The pipe goes on: the next read completes normally.
        Read next(pdo_, DataPipe(), 512);
        ASSERT_TRUE(next.request.Wait()) << packets;
        EXPECT_EQ(next.request.Status(), STATUS_SUCCESS) << packets;
        received += next.Length();
        // Nothing is pending now: the camera sends nothing more.
        EXPECT_EQ(camera_.Counters().bytes_sent, received) << packets;
    }
}

// A canceller can be slow between taking the cancel routine and running it
// (IoCancelIrp in two steps, frames passing in between): the host
// controller, finding the transfer no longer its own, must leave it alone,
// or it would take packets from the camera that no read ever sees.
TEST_F(UsbCancel, TransferWhoseCancelIsOnItsWayGetsNoMoreTransactions) {
    StartStreaming();
    HoldAfterPackets hold(device_, 4);
    Read read(pdo_, DataPipe(), 4 * 512);
    hold.Target(read.request);
    hold.WaitUntilHeld();
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&read.request.Irp()->Cancel, TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(read.request.Irp(), nullptr);
    IoReleaseCancelSpinLock(irql);
    ASSERT_NE(routine, nullptr);
    Bus().WaitFrames(5);
    EXPECT_FALSE(read.request.Completed());
    IoAcquireCancelSpinLock(&irql);
    read.request.Irp()->CancelIrql = irql;
    routine(pdo_, read.request.Irp());
    ASSERT_TRUE(read.request.Wait());
    EXPECT_EQ(read.request.Status(), STATUS_CANCELLED);
    EXPECT_EQ(read.Length(), 4u * 512);
    EXPECT_EQ(camera_.Counters().bytes_sent, 4u * 512);
    // The endpoint was not disturbed either.
    Read next(pdo_, DataPipe(), 512);
    ASSERT_TRUE(next.request.Wait());
    EXPECT_EQ(next.request.Status(), STATUS_SUCCESS);
}

TEST_F(UsbCancel, CancelAfterCompletionChangesNothing) {
    StartStreaming();
    Read read(pdo_, DataPipe(), 512);
    ASSERT_TRUE(read.request.Wait());
    EXPECT_FALSE(read.request.Cancel());
    EXPECT_EQ(read.request.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read.request.Completions(), 1);
    EXPECT_EQ(read.Length(), 512u);
}

TEST_F(UsbCancel, AbortPipeCancelsItsQueueAndLeavesOtherPipesAlone) {
    std::vector<std::unique_ptr<Read>> reads;
    for (int i = 0; i < 3; ++i) reads.push_back(std::make_unique<Read>(pdo_, DataPipe(), 512));
    // The abort completes in the caller's thread: had it touched the data
    // pipe, its reads would have completed by the time it returns.
    URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, OutPipe());
    ASSERT_EQ(SubmitAndWait(pdo_, &abort), STATUS_SUCCESS);
    for (auto &read : reads) EXPECT_FALSE(read->request.Completed());

    abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, DataPipe());
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

// As on Windows: the transfer in flight fails with a transaction error and
// halts its endpoint, the one behind it fails on the halted endpoint; both
// have completed when the bus has taken the device off its port, while the
// PDO is still there. Requests after that fail at once.
TEST_F(UsbCancel, UnplugFailsTransfersInFlightBeforeThePdoGoesAndLaterRequestsAtOnce) {
    // The camera is not streaming: it NAKs, so the first read is the one
    // the host controller is working on when the device goes.
    Read first(pdo_, DataPipe(), 4 * 512);
    Read second(pdo_, DataPipe(), 512);
    camera_.SetAttached(false);
    Bus().Unplug(pdo_);
    ASSERT_TRUE(first.request.Completed());
    ASSERT_TRUE(second.request.Completed());
    EXPECT_EQ(first.request.Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(first.urb.UrbHeader.Status, USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(first.Length(), 0u);
    EXPECT_EQ(second.request.Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(second.urb.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_EQ(second.Length(), 0u);
    EXPECT_EQ(Bus().DeviceOf(pdo_), &device_);

    Read late(pdo_, DataPipe(), 512);
    EXPECT_EQ(late.request.returned(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(late.urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    URB vendor = VendorUrb(false, 0x01, 3, 0x000F, nullptr, 0);
    UrbRequest control(pdo_, &vendor);
    EXPECT_EQ(control.returned(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(vendor.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    UrbRequest reset(pdo_, nullptr, IOCTL_INTERNAL_USB_RESET_PORT);
    EXPECT_EQ(reset.returned(), STATUS_DEVICE_NOT_CONNECTED);

    PDEVICE_OBJECT pdo = pdo_;
    UnplugAndRemove();
    EXPECT_EQ(Bus().DeviceOf(pdo), nullptr);
}

TEST_F(UsbCancel, DeviceThatStopsAnsweringFailsItsTransferAndHaltsTheEndpoint) {
    // The device is gone before the bus hears of it: the host controller
    // finds out at the next transaction, as a transaction error.
    Read read(pdo_, DataPipe(), 512);
    camera_.SetAttached(false);
    ASSERT_TRUE(read.request.Wait());
    EXPECT_EQ(read.request.Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read.urb.UrbHeader.Status, USBD_STATUS_XACT_ERROR);
    Read after(pdo_, DataPipe(), 512);
    ASSERT_TRUE(after.request.Wait());
    EXPECT_EQ(after.urb.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
}

}  // namespace
}  // namespace usb_test
