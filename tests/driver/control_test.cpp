// The control codes that complete at once, seen from user mode, with the
// SETUP packets the camera receives.
#include "driver_fixture.h"

namespace driver_test {
namespace {

using tm350::usb::ControlRecord;  // what the camera saw
using tm350::usb::SetupPacket;

// USBD_INTERFACE_INFORMATION as the driver returns it: the USB stack's
// layout, with pointer-sized handles.
class InterfaceView {
public:
    explicit InterfaceView(const uint8_t *bytes) : bytes_(bytes) {}
    unsigned Length() const { return bytes_[0] | bytes_[1] << 8; }
    unsigned NumberOfPipes() const { return U32(8 + sizeof(void *)); }
    unsigned EndpointAddress(unsigned pipe) const { return Pipe(pipe)[2]; }
    unsigned PipeType(unsigned pipe) const { return Pipe(pipe)[4]; }
    unsigned MaximumTransferSize(unsigned pipe) const {
        return U32(PipeOffset(pipe) + 8 + sizeof(void *));
    }

private:
    static constexpr size_t kPipeSize = 8 + sizeof(void *) + 8;
    size_t PipeOffset(unsigned pipe) const { return 8 + sizeof(void *) + sizeof(void *) + pipe * kPipeSize; }
    const uint8_t *Pipe(unsigned pipe) const { return bytes_ + PipeOffset(pipe); }
    unsigned U32(size_t at) const {
        return bytes_[at] | bytes_[at + 1] << 8 | bytes_[at + 2] << 16 | static_cast<unsigned>(bytes_[at + 3]) << 24;
    }
    const uint8_t *bytes_;
};

class ControlTest : public DriverTest {
protected:
    void SetUp() override {
        camera_ = &TheMachine().CameraOf(Plug());
        handle_ = OpenCamera(0);
        ASSERT_TRUE(handle_.valid());
        seen_ = camera_->ControlTransferCount();
    }
    // The control transfers the camera saw since the last call.
    std::vector<ControlRecord> NewTransfers() {
        const uint64_t total = camera_->ControlTransferCount();
        std::vector<ControlRecord> recent = camera_->RecentControlTransfers();
        const size_t fresh = static_cast<size_t>(std::min<uint64_t>(total - seen_, recent.size()));
        seen_ = total;
        return std::vector<ControlRecord>(recent.end() - fresh, recent.end());
    }

    tm350::sim::Camera *camera_ = nullptr;
    Handle handle_;
    uint64_t seen_ = 0;
};

TEST_F(ControlTest, AWordReadSendsTheVendorSetupPacketAndReturnsTheReply) {
    const Control word = Ioctl(handle_.get(), IOCTL_CAM_CONTROL_REQUEST, CameraRecord(1, 2, 0, 0x11, 0, 0x24C0), 3);
    ASSERT_TRUE(word.ok) << word.error;
    EXPECT_EQ(word.bytes, 3u);
    EXPECT_EQ(word.output, (std::vector<uint8_t>{0x55, 0x80, 0x08}));
    const auto sent = NewTransfers();
    ASSERT_EQ(sent.size(), 1u);
    const auto bytes = sent[0].setup.Bytes();
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()),
              (std::vector<uint8_t>{0xC0, 0x11, 0x00, 0x00, 0xC0, 0x24, 0x03, 0x00}));
}

TEST_F(ControlTest, ARegisterWriteHasNoDataStage) {
    const Control write = Ioctl(handle_.get(), IOCTL_CAM_CONTROL_REQUEST, CameraRecord(0, 2, 0, 0x18, 0x1BA0, 0x6300), 0);
    ASSERT_TRUE(write.ok) << write.error;
    EXPECT_EQ(write.bytes, 0u);
    const auto sent = NewTransfers();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].setup, (SetupPacket{0x40, 0x18, 0x1BA0, 0x6300, 0}));
    EXPECT_EQ(camera_->Register(0, 0x63), 0x1BA000u);
}

TEST_F(ControlTest, MalformedControlRecordsAreRefusedWithoutSendingAnything) {
    std::vector<uint8_t> record = CameraRecord(1, 2, 0, 0x11, 0, 0x24C0);
    std::vector<std::vector<uint8_t>> bad = {
        std::vector<uint8_t>(record.begin(), record.end() - 1),  // 9 bytes
        CameraRecord(1, 0, 0, 0x11, 0, 0),                      // standard type
        CameraRecord(1, 3, 0, 0x11, 0, 0),                      // reserved type
        CameraRecord(1, 2, 4, 0x11, 0, 0),                      // recipient 4
    };
    record.push_back(0);
    bad.push_back(record);  // 11 bytes
    for (const auto &input : bad) {
        const Control result = Ioctl(handle_.get(), IOCTL_CAM_CONTROL_REQUEST, input, 3);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_TRUE(NewTransfers().empty());
}

TEST_F(ControlTest, ClassRequestsToEveryRecipientMapToTheirRequestTypes) {
    const uint8_t expected[2][4] = {{0x20, 0x21, 0x22, 0x23}, {0x40, 0x41, 0x42, 0x43}};
    for (uint8_t type = 1; type <= 2; ++type) {
        for (uint8_t recipient = 0; recipient < 4; ++recipient) {
            Ioctl(handle_.get(), IOCTL_CAM_CONTROL_REQUEST, CameraRecord(0, type, recipient, 0x55, 0, 0), 0);
            const auto sent = NewTransfers();
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0].setup.bmRequestType, expected[type - 1][recipient]);
        }
    }
}

TEST_F(ControlTest, AStallFailsTheRequestAndIsKeptAsTheLastUsbStatus) {
    camera_->StallNextControlTransfers(1);
    const Control stalled = Ioctl(handle_.get(), IOCTL_CAM_CONTROL_REQUEST, CameraRecord(1, 2, 0, 0x11, 0, 0x24C0), 3);
    EXPECT_FALSE(stalled.ok);
    EXPECT_EQ(stalled.error, static_cast<DWORD>(ERROR_GEN_FAILURE));  // STATUS_UNSUCCESSFUL
    const Control last = Ioctl(handle_.get(), IOCTL_CAM_GET_LAST_USB_STATUS, {}, 4);
    ASSERT_TRUE(last.ok);
    EXPECT_EQ(last.output, (std::vector<uint8_t>{0x04, 0x00, 0x00, 0xC0}));  // USBD_STATUS_STALL_PID
    EXPECT_FALSE(Ioctl(handle_.get(), IOCTL_CAM_GET_LAST_USB_STATUS, {}, 3).ok);
}

TEST_F(ControlTest, DriverVersionNeedsSixBytes) {
    const Control version = Ioctl(handle_.get(), IOCTL_CAM_GET_DRIVER_VERSION, {}, 6);
    ASSERT_TRUE(version.ok);
    EXPECT_EQ(version.bytes, 6u);
    EXPECT_EQ(version.output, (std::vector<uint8_t>{1, 0, 5, 0, 1, 0}));
    const Control short_buffer = Ioctl(handle_.get(), IOCTL_CAM_GET_DRIVER_VERSION, {}, 5);
    EXPECT_FALSE(short_buffer.ok);
    EXPECT_EQ(short_buffer.error, static_cast<DWORD>(ERROR_GEN_FAILURE));
}

TEST_F(ControlTest, DescriptorsComeWithTheirLengthsAndShortBuffersAreRefused) {
    const Control device = Ioctl(handle_.get(), IOCTL_CAM_GET_DEVICE_DESCRIPTOR, {}, 18);
    ASSERT_TRUE(device.ok);
    EXPECT_EQ(device.bytes, 18u);
    EXPECT_EQ(device.output[0], 18);
    EXPECT_EQ(device.output[1], 1);
    EXPECT_FALSE(Ioctl(handle_.get(), IOCTL_CAM_GET_DEVICE_DESCRIPTOR, {}, 17).ok);

    const Control header = Ioctl(handle_.get(), IOCTL_CAM_GET_CONFIG_DESCRIPTOR, {}, 9);
    ASSERT_TRUE(header.ok);
    EXPECT_EQ(header.bytes, 9u);
    const unsigned total = header.output[2] | header.output[3] << 8;
    const Control whole = Ioctl(handle_.get(), IOCTL_CAM_GET_CONFIG_DESCRIPTOR, {}, total + 16);
    ASSERT_TRUE(whole.ok);
    EXPECT_EQ(whole.bytes, total);

    const Control language = Ioctl(handle_.get(), IOCTL_CAM_GET_STRING_DESCRIPTOR, {0, 0, 0, 0}, 64);
    ASSERT_TRUE(language.ok);
    EXPECT_EQ(language.bytes, 4u);
    EXPECT_FALSE(Ioctl(handle_.get(), IOCTL_CAM_GET_STRING_DESCRIPTOR, {1, 0, 0x09, 0x04}, 0).ok);
}

TEST_F(ControlTest, InterfaceInformationHasEveryPipeAtTheMaximumTransferSize) {
    const Control info = Ioctl(handle_.get(), IOCTL_CAM_GET_INTERFACE_INFO, {}, 1024);
    ASSERT_TRUE(info.ok);
    const InterfaceView view(info.output.data());
    EXPECT_EQ(info.bytes, view.Length());
    ASSERT_GE(view.NumberOfPipes(), 2u);
    for (unsigned i = 0; i < view.NumberOfPipes(); ++i) EXPECT_EQ(view.MaximumTransferSize(i), 3584000u);
    EXPECT_EQ(view.EndpointAddress(1) & 0x80, 0x80);  // pipe 1 reads
    const Control too_short = Ioctl(handle_.get(), IOCTL_CAM_GET_INTERFACE_INFO, {}, view.Length() - 1);
    EXPECT_FALSE(too_short.ok);
    EXPECT_EQ(too_short.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

}  // namespace
}  // namespace driver_test
