// Removal as Windows orders it, with requests the camera never answers:
// what a program sees, and what the driver gives back.
#include "driver_fixture.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>

namespace driver_test {
namespace {

using tm350::sim::ControlHold;
using tm350::sim::PlugFaults;
using tm350::sim::Removal;

constexpr long kStatusPending = 0x00000103;
constexpr long kStatusDeviceBusy = static_cast<int32_t>(0x80000011);
constexpr uint32_t kStatusDeletePending = 0xC0000056u;

// The camera's word at 0x24C0, one control transfer on the default pipe.
Control ReadWord(HANDLE handle) {
    return Ioctl(handle, IOCTL_CAM_CONTROL_REQUEST, CameraRecord(1, 2, 0, 0x11, 0, 0x24C0), 3);
}

// A camera that never answers holds a control request only until its
// caller gives up on it; the camera stays usable.
TEST_F(DriverTest, AControlRequestTheCameraNeverAnswersEndsWhenItsCallerCancelsIt) {
    const CameraId id = Plug();
    Handle handle = OpenCamera(0);
    ASSERT_TRUE(handle.valid());
    TheMachine().HoldControlTransfers(id, ControlHold::Cancellable);
    auto waiting = std::async(std::launch::async, [&] { return ReadWord(handle.get()); });
    TheMachine().WaitForHeldTransfers(id, 1);
    ASSERT_TRUE(CancelIoEx(handle.get(), nullptr));
    const Control cancelled = Await(waiting, "a cancelled control request");
    EXPECT_FALSE(cancelled.ok);
    EXPECT_EQ(cancelled.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(cancelled.bytes, 0u);
    TheMachine().HoldControlTransfers(id, ControlHold::Off);
    EXPECT_TRUE(ReadWord(handle.get()).ok);
}

TEST_F(DriverTest, SurpriseRemovalFailsWhatWaitsAndTheStackGoesAfterTheLastClose) {
    const size_t devices = TheMachine().DriverDeviceCount();
    const size_t blocks = TheMachine().DriverPoolBlocks();
    const CameraId id = TheMachine().Plug();  // removed by the test itself
    Handle handle = OpenCamera(0);
    ASSERT_TRUE(handle.valid());
    TheMachine().HoldControlTransfers(id, ControlHold::Cancellable);
    auto waiting = std::async(std::launch::async, [&] { return ReadWord(handle.get()); });
    TheMachine().WaitForHeldTransfers(id, 1);

    // The remove request waits for the handle.
    EXPECT_EQ(TheMachine().Unplug(id), kStatusPending);
    const Control pending = Await(waiting, "a control request across a surprise removal");
    EXPECT_FALSE(pending.ok);
    EXPECT_EQ(pending.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    const Control later = ReadWord(handle.get());
    EXPECT_FALSE(later.ok);
    EXPECT_EQ(later.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));  // STATUS_DELETE_PENDING
    EXPECT_FALSE(OpenCamera(0).valid());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));  // STATUS_NO_SUCH_DEVICE
    EXPECT_EQ(TheMachine().DriverDeviceCount(), devices + 1);

    handle.Close();
    TheMachine().WaitForPendingWork();
    EXPECT_EQ(TheMachine().DriverDeviceCount(), devices);
    EXPECT_EQ(TheMachine().DriverPoolBlocks(), blocks);
    Plug();
    EXPECT_TRUE(OpenCamera(0).valid());
}

TEST_F(DriverTest, AnOpenHandleVetoesAnOrderlyRemovalAndTheCameraKeepsWorking) {
    const CameraId id = Plug();
    {
        Handle handle = OpenCamera(0);
        ASSERT_TRUE(handle.valid());
        EXPECT_EQ(TheMachine().Unplug(id, Removal::Orderly), kStatusDeviceBusy);
        EXPECT_TRUE(ReadWord(handle.get()).ok);
        EXPECT_TRUE(OpenCamera(0).valid());
    }
    EXPECT_EQ(TheMachine().Unplug(id, Removal::Orderly), 0);
    plugged_.clear();
    EXPECT_FALSE(OpenCamera(0).valid());
}

TEST_F(DriverTest, RemovalEndsAResumeConfigurationTheCameraNeverAnswers) {
    const size_t blocks = TheMachine().DriverPoolBlocks();
    const CameraId id = TheMachine().Plug();
    TheMachine().Sleep();
    TheMachine().HoldControlTransfers(id, ControlHold::Cancellable);
    TheMachine().Resume();
    TheMachine().WaitForHeldTransfers(id, 1);  // the configuration read after resume
    auto removal = std::async(std::launch::async, [&] { return TheMachine().Unplug(id, Removal::Orderly); });
    EXPECT_EQ(Await(removal, "an orderly removal while the camera does not answer"), 0);
    TheMachine().WaitForPendingWork();
    EXPECT_EQ(TheMachine().DriverPoolBlocks(), blocks);
}

TEST_F(DriverTest, RemovalWaitsForTheResumeConfigurationAndRefusesPlugAndPlayMeanwhile) {
    const size_t blocks = TheMachine().DriverPoolBlocks();
    const CameraId id = TheMachine().Plug();
    TheMachine().Sleep();
    // Held past cancellation: the removal has to wait for it.
    TheMachine().HoldControlTransfers(id, ControlHold::Stuck);
    TheMachine().Resume();
    TheMachine().WaitForHeldTransfers(id, 1);
    auto removal = std::async(std::launch::async, [&] { return TheMachine().Unplug(id, Removal::Orderly); });
    auto aborted = std::async(std::launch::async, [&] { TheMachine().WaitForPipeAborts(id, 1); return true; });
    Await(aborted, "the removal's abort of the pipes");  // the remove request has begun
    bool surprise_ok = false;
    EXPECT_EQ(static_cast<uint32_t>(TheMachine().QueryCapabilities(id, 1, &surprise_ok)), kStatusDeletePending);
    EXPECT_EQ(removal.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    TheMachine().HoldControlTransfers(id, ControlHold::Off);
    EXPECT_EQ(Await(removal, "an orderly removal after the camera answered"), 0);
    TheMachine().WaitForPendingWork();
    EXPECT_EQ(TheMachine().DriverPoolBlocks(), blocks);
}

TEST_F(DriverTest, AFailedStartRefusesOpensAndItsRemovalFreesTheDigit) {
    long lower_failed = 0;
    plugged_.push_back(TheMachine().Plug({}, &lower_failed, PlugFaults{.lower_start_fails = true}));
    long usb_failed = 0;
    plugged_.push_back(TheMachine().Plug({}, &usb_failed, PlugFaults{.stalled_control_transfers = 1}));
    EXPECT_FALSE(lower_failed == 0);
    EXPECT_FALSE(usb_failed == 0);
    for (int instance : {0, 1}) {
        EXPECT_FALSE(OpenCamera(instance).valid()) << instance;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE)) << instance;
    }
    TearDown();
    // Both links went with their devices: the digits are free again.
    Plug();
    Plug();
    EXPECT_TRUE(OpenCamera(0).valid());
    EXPECT_TRUE(OpenCamera(1).valid());
}

}  // namespace
}  // namespace driver_test
