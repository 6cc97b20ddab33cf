// The control codes that complete at once, seen from user mode, with the
// SETUP packets the camera receives.
#include "driver_fixture.h"

namespace driver_test {
namespace {

using tm350::usb::ControlRecord;  // what the camera saw
using tm350::usb::SetupPacket;

uint32_t LittleEndian32(const std::vector<uint8_t> &bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

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

TEST_F(ControlTest, AHostToDeviceVendorRequestCarriesTheDriversOwnPayload) {
    // bRequest 0xA0, wValue 0x1000, wLength 4, host to device; the bytes
    // after the record are not sent.
    std::vector<uint8_t> record = {0xA0, 0, 0x00, 0x10, 0, 0, 4, 0, 0, 0x77, 0xAA, 0xBB, 0xCC, 0xDD};
    ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_VENDOR_REQUEST, record, 0).ok);
    const auto sent = NewTransfers();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].setup, (SetupPacket{0x40, 0xA0, 0x1000, 0, 4}));
    EXPECT_EQ(sent[0].data, (std::vector<uint8_t>{0, 1, 2, 3}));
    // One byte: the record's data byte.
    record[6] = 1;
    ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_VENDOR_REQUEST, record, 0).ok);
    EXPECT_EQ(NewTransfers().at(0).data, (std::vector<uint8_t>{0x77}));
}

TEST_F(ControlTest, ADeviceToHostVendorRequestNeedsRoomForItsReply) {
    const std::vector<uint8_t> read = {0x11, 0, 0, 0, 0xC0, 0x24, 3, 0, 1, 0};
    const Control reply = Ioctl(handle_.get(), IOCTL_CAM_VENDOR_REQUEST, read, 10);
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(reply.bytes, 3u);
    EXPECT_EQ(std::vector<uint8_t>(reply.output.begin(), reply.output.begin() + 3),
              (std::vector<uint8_t>{0x55, 0x80, 0x08}));
    NewTransfers();
    const Control short_output = Ioctl(handle_.get(), IOCTL_CAM_VENDOR_REQUEST, {0x11, 0, 0, 0, 0xC0, 0x24, 16, 0, 1, 0}, 10);
    EXPECT_FALSE(short_output.ok);
    EXPECT_EQ(short_output.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(Ioctl(handle_.get(), IOCTL_CAM_VENDOR_REQUEST, {0x11, 0, 0, 0}, 10).ok);  // record too short
    EXPECT_TRUE(NewTransfers().empty());
}

TEST_F(ControlTest, MemoryIsLoadedInWhole512ByteBlocksAndWrittenIn64ByteChunks) {
    std::vector<uint8_t> image(1000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_LOAD_MEMORY, image, 0).ok);
    auto sent = NewTransfers();
    ASSERT_EQ(sent.size(), 1u);  // the last 488 bytes are dropped
    EXPECT_EQ(sent[0].setup, (SetupPacket{0x40, 0xA0, 0, 0, 512}));
    EXPECT_EQ(camera_->ReadMemory(0, 512), std::vector<uint8_t>(image.begin(), image.begin() + 512));
    ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_LOAD_MEMORY, std::vector<uint8_t>(511), 0).ok);
    EXPECT_TRUE(NewTransfers().empty());

    // 130 bytes from 0xFFC0: chunks at 0xFFC0, 0x0000 (wrapped) and 0x0040.
    Handle direct = OpenCamera(0);
    std::vector<uint8_t> data(130, 0x5A);
    DWORD bytes = 0;
    const uint16_t start = 0xFFC0;
    ASSERT_TRUE(DeviceIoControl(direct.get(), IOCTL_CAM_WRITE_MEMORY, const_cast<uint16_t *>(&start), 2, data.data(),
                                static_cast<DWORD>(data.size()), &bytes, nullptr));
    sent = NewTransfers();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].setup, (SetupPacket{0x40, 0xA0, 0xFFC0, 0, 64}));
    EXPECT_EQ(sent[1].setup, (SetupPacket{0x40, 0xA0, 0x0000, 0, 64}));
    EXPECT_EQ(sent[2].setup, (SetupPacket{0x40, 0xA0, 0x0040, 0, 2}));
}

TEST_F(ControlTest, PipeIndicesAreCheckedBeforeAnythingIsSent) {
    const Control info = Ioctl(handle_.get(), IOCTL_CAM_GET_INTERFACE_INFO, {}, 1024);
    ASSERT_TRUE(info.ok);
    const uint8_t pipes = static_cast<uint8_t>(InterfaceView(info.output.data()).NumberOfPipes());
    NewTransfers();
    const Control reset = Ioctl(handle_.get(), IOCTL_CAM_RESET_PIPE, {pipes, 0, 0, 0}, 0);
    EXPECT_FALSE(reset.ok);
    EXPECT_EQ(reset.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    const Control abort = Ioctl(handle_.get(), IOCTL_CAM_ABORT_PIPE, {0xFF, 0xFF, 0xFF, 0x7F}, 0);
    EXPECT_FALSE(abort.ok);
    EXPECT_EQ(abort.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(Ioctl(handle_.get(), IOCTL_CAM_ABORT_PIPE, {1, 0}, 0).ok);  // index too short
    EXPECT_TRUE(NewTransfers().empty());
    // A valid reset clears the halt on the camera's endpoint.
    EXPECT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_RESET_PIPE, {1, 0, 0, 0}, 0).ok);
    EXPECT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_ABORT_PIPE, {1, 0, 0, 0}, 0).ok);
}

TEST_F(ControlTest, TheUserValueComesBackThroughTheOutputBuffer) {
    EXPECT_FALSE(Ioctl(handle_.get(), IOCTL_CAM_SET_USER_VALUE, {1, 2}, 0).ok);
    ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_SET_USER_VALUE, {0x78, 0x56, 0x34, 0x12}, 0).ok);
    const Control value = Ioctl(handle_.get(), IOCTL_CAM_GET_USER_VALUE, {}, 4);
    ASSERT_TRUE(value.ok);
    EXPECT_EQ(value.bytes, 4u);
    EXPECT_EQ(value.output, (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
    const Control none = Ioctl(handle_.get(), IOCTL_CAM_GET_USER_VALUE, {}, 0);
    EXPECT_TRUE(none.ok);
    EXPECT_EQ(none.bytes, 0u);
}

TEST_F(ControlTest, SetFeatureIsSentAndReportedAsFailedWhateverTheCameraSays) {
    const Control feature = Ioctl(handle_.get(), IOCTL_CAM_SET_FEATURE, {1, 0, 0, 0}, 0);  // remote wakeup
    EXPECT_FALSE(feature.ok);
    EXPECT_EQ(feature.error, static_cast<DWORD>(ERROR_GEN_FAILURE));
    const auto sent = NewTransfers();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].setup, (SetupPacket{0x00, 0x03, 1, 0, 0}));
    EXPECT_TRUE(camera_->RemoteWakeupEnabled());
    const Control wrong = Ioctl(handle_.get(), IOCTL_CAM_SET_FEATURE, {1, 0, 0}, 0);
    EXPECT_EQ(wrong.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ControlTest, FrameNumbersAdvanceAndAlternateSettingsCanBeSelected) {
    const Control first = Ioctl(handle_.get(), IOCTL_CAM_GET_FRAME_NUMBER, {}, 4);
    ASSERT_TRUE(first.ok);
    TheMachine().WaitFrames(3);
    const Control later = Ioctl(handle_.get(), IOCTL_CAM_GET_FRAME_NUMBER, {}, 4);
    ASSERT_TRUE(later.ok);
    EXPECT_GT(LittleEndian32(later.output), LittleEndian32(first.output));
    EXPECT_FALSE(Ioctl(handle_.get(), IOCTL_CAM_GET_FRAME_NUMBER, {}, 3).ok);

    ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_SELECT_INTERFACE, {0, 1}, 0).ok);
    EXPECT_EQ(camera_->AlternateSetting(0), std::optional<uint8_t>(1));
    const Control info = Ioctl(handle_.get(), IOCTL_CAM_GET_INTERFACE_INFO, {}, 1024);
    ASSERT_TRUE(info.ok);
    EXPECT_EQ(InterfaceView(info.output.data()).PipeType(1), 1u);  // isochronous
    // An alternate setting the camera lacks changes nothing and still succeeds.
    EXPECT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_SELECT_INTERFACE, {0, 7}, 0).ok);
    EXPECT_EQ(camera_->AlternateSetting(0), std::optional<uint8_t>(1));
}

}  // namespace
}  // namespace driver_test
