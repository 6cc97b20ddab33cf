// Sleep and resume: what the driver reports and configures, and what it
// must not hold up.
#include "driver_fixture.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>

namespace driver_test {
namespace {

constexpr int kD0 = 1;
constexpr int kD3 = 4;

TEST_F(DriverTest, SleepReportsD3AndResumeD0) {
    const CameraId id = Plug();
    TheMachine().Sleep();
    EXPECT_EQ(TheMachine().ReportedPowerState(id), kD3);
    TheMachine().Resume();
    EXPECT_EQ(TheMachine().ReportedPowerState(id), kD0);
}

TEST_F(DriverTest, ResumeLeavesStoppedAndNeverStartedCamerasUnconfigured) {
    const CameraId id = Plug();
    tm350::sim::Camera &camera = TheMachine().CameraOf(id);
    ASSERT_EQ(TheMachine().StopDevice(id), 0);
    long start_status = 0;
    const CameraId failed = TheMachine().Plug({}, &start_status, tm350::sim::PlugFaults{.stalled_control_transfers = 1});
    plugged_.push_back(failed);
    ASSERT_NE(start_status, 0);
    TheMachine().Sleep();
    TheMachine().Resume();
    TheMachine().WaitForPendingWork();
    EXPECT_EQ(camera.Configuration(), 0);
    EXPECT_EQ(TheMachine().CameraOf(failed).Configuration(), 0);
    EXPECT_EQ(TheMachine().StartDevice(id), 0);
    EXPECT_EQ(camera.Configuration(), 1);
}

TEST_F(DriverTest, ResumeEndsWhenTheDevicePowerRequestCannotBeMade) {
    Plug();
    TheMachine().Sleep();
    TheMachine().FailDevicePowerRequests(true);
    auto resume = std::async(std::launch::async, [] { TheMachine().Resume(); });
    const bool ended = resume.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    TheMachine().FailDevicePowerRequests(false);
    if (!ended) {
        std::fprintf(stderr, "resume never ended\n");
        std::abort();
    }
    Handle handle = OpenCamera(0);
    EXPECT_TRUE(Ioctl(handle.get(), IOCTL_CAM_GET_DRIVER_VERSION, {}, 6).ok);
}

TEST_F(DriverTest, AHandleKeepsTheInterfaceCopyItOpenedWithAcrossAResume) {
    Plug();
    Handle handle = OpenCamera(0);
    ASSERT_TRUE(handle.valid());
    const size_t blocks = TheMachine().DriverPoolBlocks();
    TheMachine().Sleep();
    TheMachine().Resume();
    TheMachine().WaitForPendingWork();
    // The resume made a new copy current; the handle's stays until it closes.
    EXPECT_EQ(TheMachine().DriverPoolBlocks(), blocks + 1);
    handle.Close();
    EXPECT_EQ(TheMachine().DriverPoolBlocks(), blocks);
}

}  // namespace
}  // namespace driver_test
