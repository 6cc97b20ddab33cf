// Interface selection on a camera with many alternate settings, opens that
// find no pipe to read from, and the pipe requests' length on an old USB
// stack.
#include "driver_fixture.h"

#include <map>

#include "usb/usbd_version.h"

namespace driver_test {
namespace {

using tm350::sim::BandwidthSettings;
using tm350::usb::SetupPacket;

constexpr uint16_t kSelectLengthAtFirst = 265;

// Pipe 1's maximum packet size and endpoint in the interface information.
struct ReadPipe {
    unsigned maximum_packet_size;
    unsigned endpoint_address;
};

ReadPipe ReadPipeOf(HANDLE device) {
    const Control info = Ioctl(device, IOCTL_CAM_GET_INTERFACE_INFO, {}, 1024);
    EXPECT_TRUE(info.ok);
    // USBD_INTERFACE_INFORMATION: 8 bytes, a handle, 4 bytes of pipe count,
    // then the pipes, each 8 bytes, a handle and 8 bytes.
    const size_t pipe = 8 + sizeof(void *) + sizeof(void *) + (8 + sizeof(void *) + 8);
    return {static_cast<unsigned>(info.output[pipe] | info.output[pipe + 1] << 8), info.output[pipe + 2]};
}

class BandwidthSettingsTest : public DriverTest {
protected:
    void SetUp() override {
        tm350::sim::CameraOptions options;
        options.bandwidth_settings = BandwidthSettings::Offered;
        camera_ = &TheMachine().CameraOf(Plug(options));
        handle_ = OpenCamera(0);
        ASSERT_TRUE(handle_.valid());
        watch_.emplace(*camera_);
    }

    tm350::sim::Camera *camera_ = nullptr;
    Handle handle_;
    std::optional<TransferWatch> watch_;
};

TEST_F(BandwidthSettingsTest, ASettingPastTheFirst265BytesIsFoundByReadingTheWholeDescriptorAgain) {
    const Control header = Ioctl(handle_.get(), IOCTL_CAM_GET_CONFIG_DESCRIPTOR, {}, 9);
    ASSERT_TRUE(header.ok);
    const unsigned total = header.output[2] | header.output[3] << 8;
    ASSERT_EQ(total, tm350::sim::kConfigurationLengthWithBandwidthSettings);
    watch_->New();

    // The narrowest setting is the configuration's last descriptor.
    ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_SELECT_INTERFACE, {0, tm350::sim::kNarrowestSetting}, 0).ok);
    const auto sent = watch_->New();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].setup, (SetupPacket{0x80, 0x06, 0x0200, 0, kSelectLengthAtFirst}));
    EXPECT_EQ(sent[1].setup, (SetupPacket{0x80, 0x06, 0x0200, 0, static_cast<uint16_t>(total)}));
    EXPECT_EQ(sent[2].setup, (SetupPacket{0x01, 0x0B, tm350::sim::kNarrowestSetting, 0, 0}));  // SET_INTERFACE
    EXPECT_EQ(camera_->AlternateSetting(0), std::optional<uint8_t>(tm350::sim::kNarrowestSetting));
    const ReadPipe pipe = ReadPipeOf(handle_.get());
    EXPECT_EQ(pipe.maximum_packet_size, tm350::sim::kNarrowestPacketSize);
    EXPECT_EQ(pipe.endpoint_address, tm350::sim::kIsochronousInEndpoint);
}

TEST_F(BandwidthSettingsTest, AnOpenIsRefusedWhileTheSelectedSettingHasNoPipeToReadFrom) {
    ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_SELECT_INTERFACE, {0, tm350::sim::kCommandOnlySetting}, 0).ok);
    ASSERT_EQ(camera_->AlternateSetting(0), std::optional<uint8_t>(tm350::sim::kCommandOnlySetting));
    Handle refused = OpenCamera(0);
    EXPECT_FALSE(refused.valid());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_COMMAND));  // STATUS_INVALID_DEVICE_STATE
    // A handle opened before keeps working, and a setting with a read pipe
    // lets opens through again.
    EXPECT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_SELECT_INTERFACE, {0, 0}, 0).ok);
    EXPECT_TRUE(OpenCamera(0).valid());
}

class PipeRequestTest : public DriverTest {
protected:
    void TearDown() override {
        tm350::usb::SetUsbdiVersion(0x600);
        DriverTest::TearDown();
    }
};

TEST_F(PipeRequestTest, PipeRequestsAreFourBytesShorterOnAStackOlderThan101) {
    Plug();
    Handle handle = OpenCamera(0);
    ASSERT_TRUE(handle.valid());
    // The header length of each pipe request function, by stack version.
    std::map<ULONG, std::map<uint16_t, uint16_t>> lengths;
    for (const ULONG version : {0x100ul, 0x101ul, 0x600ul}) {
        tm350::usb::SetUsbdiVersion(version);
        UrbWatch urbs;
        EXPECT_TRUE(Ioctl(handle.get(), IOCTL_CAM_RESET_PIPE, {1, 0, 0, 0}, 0).ok);
        EXPECT_TRUE(Ioctl(handle.get(), IOCTL_CAM_ABORT_PIPE, {1, 0, 0, 0}, 0).ok);
        for (const auto &urb : urbs.New()) lengths[version][urb.function] = urb.length;
    }
    for (const uint16_t function : {kUrbResetPipe, kUrbAbortPipe}) {
        SCOPED_TRACE(function);
        ASSERT_TRUE(lengths[0x100].count(function) && lengths[0x101].count(function) && lengths[0x600].count(function));
        EXPECT_EQ(lengths[0x100][function] + 4, lengths[0x101][function]);
        EXPECT_EQ(lengths[0x101][function], lengths[0x600][function]);
    }
}

}  // namespace
}  // namespace driver_test
