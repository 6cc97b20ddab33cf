// The control codes that complete at once, seen from user mode, with the
// SETUP packets the camera receives.
#include "driver_fixture.h"

#include <cstring>
#include <optional>

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

class ControlTest : public OneCameraTest {
protected:
    void SetUp() override {
        OneCameraTest::SetUp();
        if (camera_ != nullptr) watch_.emplace(*camera_);
    }
    // The control transfers the camera saw since the last call.
    std::vector<ControlRecord> NewTransfers() { return watch_->New(); }
    uint32_t LastUsbStatus() {
        const Control last = Ioctl(handle_.get(), IOCTL_CAM_GET_LAST_USB_STATUS, {}, 4);
        EXPECT_TRUE(last.ok);
        return last.ok ? LittleEndian32(last.output) : 0;
    }

    std::optional<TransferWatch> watch_;
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
    const Control short_buffer = Ioctl(handle_.get(), IOCTL_CAM_GET_LAST_USB_STATUS, {}, 3);
    EXPECT_FALSE(short_buffer.ok);
    EXPECT_EQ(short_buffer.error, static_cast<DWORD>(ERROR_GEN_FAILURE));
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
    const Control short_device = Ioctl(handle_.get(), IOCTL_CAM_GET_DEVICE_DESCRIPTOR, {}, 17);
    EXPECT_FALSE(short_device.ok);
    EXPECT_EQ(short_device.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

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
    const Control no_room = Ioctl(handle_.get(), IOCTL_CAM_GET_STRING_DESCRIPTOR, {1, 0, 0x09, 0x04}, 0);
    EXPECT_FALSE(no_room.ok);
    EXPECT_EQ(no_room.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ControlTest, ADescriptorTheCameraRefusesFailsOnlyTheStringCode) {
    // The device and configuration codes report success with no bytes.
    camera_->StallNextControlTransfers(2);
    const Control device = Ioctl(handle_.get(), IOCTL_CAM_GET_DEVICE_DESCRIPTOR, {}, 18);
    EXPECT_TRUE(device.ok);
    EXPECT_EQ(device.bytes, 0u);
    const Control configuration = Ioctl(handle_.get(), IOCTL_CAM_GET_CONFIG_DESCRIPTOR, {}, 64);
    EXPECT_TRUE(configuration.ok);
    EXPECT_EQ(configuration.bytes, 0u);
    EXPECT_EQ(NewTransfers().size(), 2u);
    // String 9 does not exist: the camera stalls.
    const Control missing = Ioctl(handle_.get(), IOCTL_CAM_GET_STRING_DESCRIPTOR, {9, 0, 0x09, 0x04}, 64);
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.error, static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(missing.bytes, 0u);
    const auto sent = NewTransfers();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].setup, (SetupPacket{0x80, 0x06, 0x0309, 0x0409, 64}));
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
    const Control short_record = Ioctl(handle_.get(), IOCTL_CAM_VENDOR_REQUEST, {0x11, 0, 0, 0}, 10);
    EXPECT_FALSE(short_record.ok);
    EXPECT_EQ(short_record.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(NewTransfers().empty());
}

TEST_F(ControlTest, MemoryIsLoadedInWhole512ByteBlocks) {
    std::vector<uint8_t> image(1000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_LOAD_MEMORY, image, 0).ok);
    auto sent = NewTransfers();
    ASSERT_EQ(sent.size(), 1u);  // the last 488 bytes are dropped
    EXPECT_EQ(sent[0].setup, (SetupPacket{0x40, 0xA0, 0, 0, 512}));
    EXPECT_EQ(camera_->ReadMemory(0, 512), std::vector<uint8_t>(image.begin(), image.begin() + 512));
    ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_LOAD_MEMORY, std::vector<uint8_t>(511), 0).ok);
    EXPECT_TRUE(NewTransfers().empty());

}

// Writes `data` to camera memory from `start` through IOCTL_CAM_WRITE_MEMORY.
Control WriteMemory(HANDLE device, uint16_t start, std::vector<uint8_t> data) {
    Control result;
    result.ok = DeviceIoControl(device, IOCTL_CAM_WRITE_MEMORY, &start, sizeof(start), data.data(),
                                static_cast<DWORD>(data.size()), &result.bytes, nullptr) != FALSE;
    if (!result.ok) result.error = GetLastError();
    return result;
}

TEST_F(ControlTest, MemoryIsWrittenIn64ByteChunksEachFromItsOwnPlaceInTheBuffer) {
    // No two bytes of the buffer alike, so a chunk taken from the wrong
    // offset shows.
    std::vector<uint8_t> data(130);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i + 1);
    // From 0xFFC0: chunks at 0xFFC0, 0x0000 (wrapped) and 0x0040.
    const Control write = WriteMemory(handle_.get(), 0xFFC0, data);
    ASSERT_TRUE(write.ok) << write.error;
    EXPECT_EQ(write.bytes, 0u);
    auto sent = NewTransfers();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].setup, (SetupPacket{0x40, 0xA0, 0xFFC0, 0, 64}));
    EXPECT_EQ(sent[1].setup, (SetupPacket{0x40, 0xA0, 0x0000, 0, 64}));
    EXPECT_EQ(sent[2].setup, (SetupPacket{0x40, 0xA0, 0x0040, 0, 2}));
    EXPECT_EQ(sent[0].data, std::vector<uint8_t>(data.begin(), data.begin() + 64));
    EXPECT_EQ(sent[1].data, std::vector<uint8_t>(data.begin() + 64, data.begin() + 128));
    EXPECT_EQ(sent[2].data, std::vector<uint8_t>(data.begin() + 128, data.end()));
    EXPECT_EQ(camera_->ReadMemory(0x0000, 66), std::vector<uint8_t>(data.begin() + 64, data.end()));

    // A whole number of chunks leaves no empty one at the end.
    ASSERT_TRUE(WriteMemory(handle_.get(), 0x1000, std::vector<uint8_t>(data.begin(), data.begin() + 128)).ok);
    sent = NewTransfers();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].setup, (SetupPacket{0x40, 0xA0, 0x1040, 0, 64}));

    // The first chunk the camera refuses ends the write, and still the code succeeds.
    camera_->StallNextControlTransfers(1);
    EXPECT_TRUE(WriteMemory(handle_.get(), 0x2000, data).ok);
    EXPECT_EQ(NewTransfers().size(), 1u);
    // Without exactly two address bytes nothing is written.
    std::vector<uint8_t> three = {0, 0x30, 0};
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(handle_.get(), IOCTL_CAM_WRITE_MEMORY, three.data(), 3, data.data(), 64, &bytes,
                                nullptr));
    EXPECT_TRUE(NewTransfers().empty());
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
    for (const DWORD code : {IOCTL_CAM_RESET_PIPE, IOCTL_CAM_ABORT_PIPE}) {
        const Control short_index = Ioctl(handle_.get(), code, {1, 0}, 0);
        EXPECT_FALSE(short_index.ok);
        EXPECT_EQ(short_index.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_TRUE(NewTransfers().empty());
    // A valid reset clears the halt on the camera's endpoint.
    EXPECT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_RESET_PIPE, {1, 0, 0, 0}, 0).ok);
    EXPECT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_ABORT_PIPE, {1, 0, 0, 0}, 0).ok);
}

TEST_F(ControlTest, TheUserValueComesBackThroughTheOutputBuffer) {
    const Control short_value = Ioctl(handle_.get(), IOCTL_CAM_SET_USER_VALUE, {1, 2}, 0);
    EXPECT_FALSE(short_value.ok);
    EXPECT_EQ(short_value.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
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
    // Unlike the other fixed-size answers, a short one is a bad parameter here.
    const Control short_frame = Ioctl(handle_.get(), IOCTL_CAM_GET_FRAME_NUMBER, {}, 3);
    EXPECT_FALSE(short_frame.ok);
    EXPECT_EQ(short_frame.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_SELECT_INTERFACE, {0, 1}, 0).ok);
    EXPECT_EQ(camera_->AlternateSetting(0), std::optional<uint8_t>(1));
    const Control info = Ioctl(handle_.get(), IOCTL_CAM_GET_INTERFACE_INFO, {}, 1024);
    ASSERT_TRUE(info.ok);
    EXPECT_EQ(InterfaceView(info.output.data()).PipeType(1), 1u);  // isochronous
    // An alternate setting the camera lacks changes nothing and still succeeds.
    EXPECT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_SELECT_INTERFACE, {0, 7}, 0).ok);
    EXPECT_EQ(camera_->AlternateSetting(0), std::optional<uint8_t>(1));
}

TEST_F(ControlTest, UnknownCodesAreInvalidAndTheNopCodeDoesNothing) {
    // Unused functions, a known function with another method, another device type.
    const DWORD unknown[] = {0x22200C, 0x222010, 0x222024, 0x222098, 0x222001, 0x22205A, 0x2A2000};
    for (const DWORD code : unknown) {
        const Control result = Ioctl(handle_.get(), code, std::vector<uint8_t>(16, 1), 16);
        EXPECT_FALSE(result.ok) << std::hex << code;
        EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << std::hex << code;
        EXPECT_EQ(result.bytes, 0u);
    }
    // Enough input for a memory block: the NOP code must not take it as one.
    const Control nop = Ioctl(handle_.get(), IOCTL_CAM_NOP, std::vector<uint8_t>(512, 7), 16);
    EXPECT_TRUE(nop.ok) << nop.error;
    EXPECT_EQ(nop.bytes, 0u);
    EXPECT_TRUE(NewTransfers().empty());
}

TEST_F(ControlTest, APortResetStartsTheCameraOverAndReportsSuccess) {
    // Control word 3 at wIndex 0x000F starts streaming, which a bus reset ends.
    ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_CONTROL_REQUEST, CameraRecord(0, 2, 0, 0x01, 3, 0x000F), 0).ok);
    ASSERT_TRUE(camera_->Streaming());
    NewTransfers();
    const Control reset = Ioctl(handle_.get(), IOCTL_CAM_RESET_PORT, {}, 0);
    EXPECT_TRUE(reset.ok) << reset.error;
    EXPECT_EQ(reset.bytes, 0u);
    EXPECT_FALSE(camera_->Streaming());
    const auto sent = NewTransfers();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0].setup.bRequest, 0x05);  // SET_ADDRESS: the camera was reset
    // The stack puts the configuration back, so the handle's pipes still work.
    EXPECT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_RESET_PIPE, {1, 0, 0, 0}, 0).ok);
}

TEST_F(ControlTest, AShortReplyFailsAVendorRequestButNotAControlRequest) {
    UrbWatch urbs;
    // The camera answers a word read with 3 bytes, whatever wLength asks.
    const std::vector<uint8_t> read16 = {0x11, 0, 0, 0, 0xC0, 0x24, 16, 0, 1, 0};
    const Control vendor = Ioctl(handle_.get(), IOCTL_CAM_VENDOR_REQUEST, read16, 16);
    EXPECT_TRUE(vendor.ok);  // the vendor code reports success whatever happened
    EXPECT_EQ(vendor.bytes, 0u);
    EXPECT_EQ(LastUsbStatus(), 0x80000900u);  // USBD_STATUS_ERROR_SHORT_TRANSFER

    const Control control = Ioctl(handle_.get(), IOCTL_CAM_CONTROL_REQUEST, CameraRecord(1, 2, 0, 0x11, 0, 0x24C0), 16);
    ASSERT_TRUE(control.ok) << control.error;
    EXPECT_EQ(control.bytes, 3u);
    EXPECT_EQ(std::vector<uint8_t>(control.output.begin(), control.output.begin() + 3),
              (std::vector<uint8_t>{0x55, 0x80, 0x08}));
    ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_CONTROL_REQUEST, CameraRecord(0, 2, 0, 0x18, 0x1BA0, 0x6300), 0).ok);

    // The flags as the USB stack received them: short transfers are allowed
    // for control requests in both directions, never for vendor requests.
    std::vector<uint32_t> flags;
    for (const auto &urb : urbs.New())
        if (urb.function == kUrbVendorDevice) flags.push_back(urb.transfer_flags);
    EXPECT_EQ(flags, (std::vector<uint32_t>{kTransferDirectionIn, kTransferDirectionIn | kShortTransferOk,
                                            kShortTransferOk}));
}

TEST_F(ControlTest, AVendorRequestTheCameraStallsStillSucceedsAndLeavesTheStallStatus) {
    // A short reply first, so the stall's status has to replace another one.
    Ioctl(handle_.get(), IOCTL_CAM_VENDOR_REQUEST, {0x11, 0, 0, 0, 0xC0, 0x24, 16, 0, 1, 0}, 16);
    ASSERT_EQ(LastUsbStatus(), 0x80000900u);
    camera_->StallNextControlTransfers(1);
    const Control read = Ioctl(handle_.get(), IOCTL_CAM_VENDOR_REQUEST, {0x11, 0, 0, 0, 0xC0, 0x24, 3, 0, 1, 0}, 10);
    EXPECT_TRUE(read.ok) << read.error;
    EXPECT_EQ(read.bytes, 0u);
    EXPECT_EQ(LastUsbStatus(), 0xC0000004u);  // USBD_STATUS_STALL_PID

    Ioctl(handle_.get(), IOCTL_CAM_VENDOR_REQUEST, {0x11, 0, 0, 0, 0xC0, 0x24, 16, 0, 1, 0}, 16);
    camera_->StallNextControlTransfers(1);
    const Control write = Ioctl(handle_.get(), IOCTL_CAM_VENDOR_REQUEST, {0xA0, 0, 0, 0x10, 0, 0, 4, 0, 0, 0}, 0);
    EXPECT_TRUE(write.ok) << write.error;
    EXPECT_EQ(LastUsbStatus(), 0xC0000004u);
}

TEST_F(ControlTest, AReplyIsNeverWrittenIntoABufferTheCallerCannotWrite) {
    Pages pages(2);
    ASSERT_NE(pages.data(), nullptr);
    ASSERT_TRUE(pages.MakeReadOnly(1));
    const std::vector<uint8_t> read_word = CameraRecord(1, 2, 0, 0x11, 0, 0x24C0);
    // Wholly read-only, and one byte past the last writable one.
    uint8_t *const buffers[] = {pages.data() + Pages::PageSize(), pages.data() + Pages::PageSize() - 2};
    for (uint8_t *buffer : buffers) {
        DWORD bytes = 99;
        EXPECT_FALSE(DeviceIoControl(handle_.get(), IOCTL_CAM_CONTROL_REQUEST, const_cast<uint8_t *>(read_word.data()),
                                     10, buffer, 3, &bytes, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));  // STATUS_ACCESS_VIOLATION
        EXPECT_EQ(bytes, 0u);
        EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 3), std::vector<uint8_t>(3, 0x33));
    }
    EXPECT_TRUE(NewTransfers().empty());

    // Data the camera only reads may come from read-only pages; a writable
    // buffer still takes a reply.
    DWORD bytes = 0;
    const std::vector<uint8_t> load = CameraRecord(0, 2, 0, 0xA0, 0x0300, 0);
    ASSERT_TRUE(DeviceIoControl(handle_.get(), IOCTL_CAM_CONTROL_REQUEST, const_cast<uint8_t *>(load.data()), 10,
                                pages.data() + Pages::PageSize(), 4, &bytes, nullptr));
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(camera_->ReadMemory(0x0300, 4), std::vector<uint8_t>(4, 0x33));
    ASSERT_TRUE(DeviceIoControl(handle_.get(), IOCTL_CAM_CONTROL_REQUEST, const_cast<uint8_t *>(read_word.data()), 10,
                                pages.data(), 3, &bytes, nullptr));
    EXPECT_EQ(std::vector<uint8_t>(pages.data(), pages.data() + 3), (std::vector<uint8_t>{0x55, 0x80, 0x08}));
}

}  // namespace
}  // namespace driver_test
