// Cameras arriving and leaving: instance digits, removal, capabilities,
// sleep and resume.
#include "driver_fixture.h"

namespace driver_test {
namespace {

TEST_F(DriverTest, InstanceDigitsFollowPlugOrderAndAreReusedAfterRemoval) {
    const CameraId first = Plug();
    const CameraId second = Plug();
    EXPECT_TRUE(OpenCamera(0).valid());
    EXPECT_TRUE(OpenCamera(1).valid());
    EXPECT_FALSE(OpenCamera(2).valid());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    TheMachine().Unplug(first);
    plugged_.erase(plugged_.begin());
    EXPECT_FALSE(OpenCamera(0).valid());
    Plug();  // takes the lowest free digit again
    EXPECT_TRUE(OpenCamera(0).valid());
    EXPECT_TRUE(OpenCamera(1).valid());
    (void)second;
}

TEST_F(DriverTest, ANinthCameraIsRefusedWithTheLastCreationStatus) {
    for (int i = 0; i < 8; ++i) {
        long status = -1;
        Plug(&status);
        ASSERT_EQ(status, 0) << "camera " << i;
    }
    long status = 0;
    Plug(&status);
    EXPECT_EQ(static_cast<uint32_t>(status), 0xC0000035u);  // STATUS_OBJECT_NAME_COLLISION
    EXPECT_TRUE(OpenCamera(7).valid());
}

TEST_F(DriverTest, PathsIgnoreCaseAndAllowSeveralOpens) {
    Plug();
    Plug();
    Plug();
    Handle upper = OpenCamera(2);
    Handle again = OpenCamera(2);
    Handle lower(CreateFileA("\\\\.\\tm350-2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr));
    EXPECT_TRUE(upper.valid());
    EXPECT_TRUE(again.valid());
    EXPECT_TRUE(lower.valid());
}

TEST_F(DriverTest, ControlRequestsDuringRemovalAreRefused) {
    const CameraId id = Plug();
    Handle handle = OpenCamera(0);
    ASSERT_TRUE(handle.valid());
    TheMachine().Unplug(id);
    plugged_.clear();
    // The handle outlives the device: the driver answers it as being deleted.
    const Control version = Ioctl(handle.get(), IOCTL_CAM_GET_DRIVER_VERSION, {}, 6);
    EXPECT_FALSE(version.ok);
    EXPECT_EQ(version.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));  // STATUS_DELETE_PENDING
    EXPECT_FALSE(OpenCamera(0).valid());
}

TEST_F(DriverTest, SurpriseRemovalIsReportedSafeOnlyToVersionOneCapabilities) {
    const CameraId id = Plug();
    bool surprise_ok = true;
    EXPECT_EQ(TheMachine().QueryCapabilities(id, 0, &surprise_ok), 0);
    EXPECT_FALSE(surprise_ok);
    EXPECT_EQ(TheMachine().QueryCapabilities(id, 1, &surprise_ok), 0);
    EXPECT_TRUE(surprise_ok);
}

// Counts the camera's SET_CONFIGURATION requests.
size_t SetConfigurations(tm350::sim::Camera &camera) {
    size_t count = 0;
    for (const auto &record : camera.RecentControlTransfers())
        if (record.setup.bmRequestType == 0x00 && record.setup.bRequest == 0x09) ++count;
    return count;
}

TEST_F(DriverTest, ResumeConfiguresTheCameraAgainAndOpenHandlesKeepWorking) {
    const CameraId id = Plug();
    Handle handle = OpenCamera(0);
    ASSERT_TRUE(handle.valid());
    const size_t before = SetConfigurations(TheMachine().CameraOf(id));
    TheMachine().Sleep();
    TheMachine().Resume();
    TheMachine().WaitForPendingWork();  // the driver configures on a work item
    EXPECT_EQ(SetConfigurations(TheMachine().CameraOf(id)), before + 1);
    EXPECT_EQ(TheMachine().CameraOf(id).Configuration(), 1);
    // The handle from before the resume still reaches the camera; the
    // interface copy it points into is freed only when it closes, which the
    // driver unload at the end checks.
    const Control word = Ioctl(handle.get(), IOCTL_CAM_CONTROL_REQUEST, CameraRecord(1, 2, 0, 0x11, 0, 0x24C0), 3);
    ASSERT_TRUE(word.ok) << word.error;
    EXPECT_EQ(word.output, (std::vector<uint8_t>{0x55, 0x80, 0x08}));
    for (int i = 0; i < 3; ++i) {
        TheMachine().Sleep();
        TheMachine().Resume();
        TheMachine().WaitForPendingWork();
    }
    EXPECT_TRUE(Ioctl(handle.get(), IOCTL_CAM_GET_INTERFACE_INFO, {}, 512).ok);
}

}  // namespace
}  // namespace driver_test

namespace driver_test {
namespace {

// GET_DESCRIPTOR requests for the configuration descriptor, by length.
std::vector<uint16_t> ConfigurationReads(tm350::sim::Camera &camera) {
    std::vector<uint16_t> lengths;
    for (const auto &record : camera.RecentControlTransfers())
        if (record.setup.bmRequestType == 0x80 && record.setup.bRequest == 0x06 && record.setup.wValue == 0x0200)
            lengths.push_back(record.setup.wLength);
    return lengths;
}

TEST_F(DriverTest, StartReadsTheConfigurationHeaderThenTheWholeDescriptorWithRoomToSpare) {
    const CameraId id = Plug();
    tm350::sim::Camera &camera = TheMachine().CameraOf(id);
    const std::vector<uint16_t> reads = ConfigurationReads(camera);
    ASSERT_GE(reads.size(), 2u);
    // The last two reads are the driver's; the bus read the descriptor too when it enumerated.
    EXPECT_EQ(reads[reads.size() - 2], 9);
    EXPECT_EQ(reads.back(), 55 + 16);  // the camera's wTotalLength is 55
}

TEST_F(DriverTest, StopDeconfiguresAndAStartAgainConfigures) {
    const CameraId id = Plug();
    tm350::sim::Camera &camera = TheMachine().CameraOf(id);
    EXPECT_EQ(TheMachine().StopDevice(id), 0);
    EXPECT_EQ(camera.Configuration(), 0);
    // Started stays set and the interface copy is kept, so opens still work.
    EXPECT_TRUE(OpenCamera(0).valid());
    EXPECT_EQ(TheMachine().StartDevice(id), 0);
    EXPECT_EQ(camera.Configuration(), 1);
    Handle handle = OpenCamera(0);
    const Control word = Ioctl(handle.get(), IOCTL_CAM_CONTROL_REQUEST, CameraRecord(1, 2, 0, 0x11, 0, 0x24C0), 3);
    EXPECT_TRUE(word.ok);
}

TEST(MachineOptions, ParseCamerasAndTimingAndNameWhatIsWrong) {
    std::string error;
    auto options = tm350::sim::ParseMachineOptions("cameras=3;timing=fast", &error);
    ASSERT_TRUE(options.has_value());
    EXPECT_EQ(options->cameras, 3u);
    EXPECT_EQ(options->timing, tm350::sim::Timing::Fast);
    options = tm350::sim::ParseMachineOptions(";timing=real;", &error);
    ASSERT_TRUE(options.has_value());
    EXPECT_EQ(options->cameras, 1u);
    for (const char *bad : {"cameras=9", "cameras=", "cameras=-1", "timing=slow", "lens=wide", "cameras"}) {
        EXPECT_FALSE(tm350::sim::ParseMachineOptions(bad, &error).has_value()) << bad;
        EXPECT_NE(error.find(bad), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace driver_test
