// /usb/configuration: selecting configurations and settings, which pipes
// that gives and which handles stop working; control requests on endpoint 0;
// malformed request blocks; port resets.
#include "usb/usb_test_support.h"

#include <algorithm>
#include <cstring>

#include "kernel/pnp_manager.h"

namespace usb_test {
namespace {

using UsbConfiguration = CameraTest;

// A select-interface request for interface 0 in a buffer with guard bytes
// behind it; the header and the record claim what the test says.
struct SelectInterfaceBlock {
    std::vector<uint8_t> bytes;
    PURB urb() { return reinterpret_cast<PURB>(bytes.data()); }
};
SelectInterfaceBlock SelectInterfaceUrb(USBD_CONFIGURATION_HANDLE handle, UCHAR alternate, USHORT length,
                                        size_t guard = 0) {
    SelectInterfaceBlock block;
    block.bytes.assign(length + guard, 0xCC);
    std::fill_n(block.bytes.begin(), length, 0);
    UsbBuildSelectInterfaceRequest(block.urb(), length, handle, 0, alternate);
    return block;
}

TEST_F(UsbConfiguration, SelectingTheConfigurationDescribesItsPipes) {
    ASSERT_EQ(SelectConfiguration(0), STATUS_SUCCESS);
    EXPECT_NE(configuration_handle_, nullptr);
    EXPECT_EQ(camera_.Configuration(), 1);
    PUSBD_INTERFACE_INFORMATION interface = Interface();
    EXPECT_NE(interface->InterfaceHandle, nullptr);
    EXPECT_EQ(interface->Class, 0xFF);
    ASSERT_EQ(interface->NumberOfPipes, 2u);
    EXPECT_EQ(interface->Pipes[0].EndpointAddress, 0x01);
    EXPECT_EQ(interface->Pipes[0].PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(interface->Pipes[1].EndpointAddress, 0x82);
    EXPECT_EQ(interface->Pipes[1].PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(interface->Pipes[1].MaximumPacketSize, 512);
    EXPECT_NE(interface->Pipes[0].PipeHandle, interface->Pipes[1].PipeHandle);
}

TEST_F(UsbConfiguration, SelectingNoConfigurationDeconfiguresAndRetiresThePipes) {
    ASSERT_EQ(SelectConfiguration(0), STATUS_SUCCESS);
    URB select{};
    UsbBuildSelectConfigurationRequest(&select, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    ASSERT_EQ(SubmitAndWait(pdo_, &select), STATUS_SUCCESS);
    EXPECT_EQ(select.UrbSelectConfiguration.ConfigurationHandle, nullptr);
    EXPECT_EQ(camera_.Configuration(), 0);

    uint8_t buffer[512];
    URB read = BulkUrb(DataPipe(), buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN);
    EXPECT_EQ(SubmitAndWait(pdo_, &read), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(UsbConfiguration, APipeHandleOfOneDeviceIsRefusedByAnother) {
    ASSERT_EQ(SelectConfiguration(0), STATUS_SUCCESS);
    Camera other;
    PDEVICE_OBJECT other_pdo = Bus().Plug(other);
    ASSERT_NE(other_pdo, nullptr);
    // The other camera at the same generation: only the port tells the handles apart.
    std::vector<uint8_t> descriptor = configuration_;
    auto *configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {
        {USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 0, -1, -1, -1), nullptr}, {nullptr, nullptr}};
    PURB request = USBD_CreateConfigurationRequestEx(configuration, list);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(SubmitAndWait(other_pdo, request), STATUS_SUCCESS);
    ExFreePool(request);
    URB reset = PipeUrb(URB_FUNCTION_RESET_PIPE, DataPipe());
    EXPECT_EQ(SubmitAndWait(other_pdo, &reset), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    other.SetAttached(false);
    Bus().Unplug(other_pdo);
    tm350::ntos::RemoveDevice(other_pdo, tm350::ntos::Removal::Surprise);
}

TEST_F(UsbConfiguration, AlternateSettingOneGivesTheIsochronousPipeAndRetiresTheBulkOne) {
    ASSERT_EQ(SelectConfiguration(0), STATUS_SUCCESS);
    const USBD_PIPE_HANDLE bulk = DataPipe();
    SelectInterfaceBlock select =
        SelectInterfaceUrb(configuration_handle_, 1, static_cast<USHORT>(GET_SELECT_INTERFACE_REQUEST_SIZE(2)));
    ASSERT_EQ(SubmitAndWait(pdo_, select.urb()), STATUS_SUCCESS);
    const USBD_INTERFACE_INFORMATION &interface = select.urb()->UrbSelectInterface.Interface;
    ASSERT_EQ(interface.NumberOfPipes, 2u);
    EXPECT_EQ(interface.Pipes[1].EndpointAddress, 0x83);
    EXPECT_EQ(interface.Pipes[1].PipeType, UsbdPipeTypeIsochronous);
    EXPECT_EQ(interface.Pipes[1].MaximumPacketSize, 3 * 1024);
    EXPECT_EQ(camera_.AlternateSetting(0), 1);

    URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, bulk);
    EXPECT_EQ(SubmitAndWait(pdo_, &abort), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(abort.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(UsbConfiguration, InterfaceRecordLongerThanItsRequestBlockIsRefused) {
    ASSERT_EQ(SelectConfiguration(0), STATUS_SUCCESS);
    // Room for one pipe, a record that claims two: the second pipe's
    // information would land behind the request block.
    const auto length = static_cast<USHORT>(GET_SELECT_INTERFACE_REQUEST_SIZE(1));
    SelectInterfaceBlock select = SelectInterfaceUrb(configuration_handle_, 0, length, sizeof(USBD_PIPE_INFORMATION));
    select.urb()->UrbSelectInterface.Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(2));
    EXPECT_FALSE(NT_SUCCESS(SubmitAndWait(pdo_, select.urb())));
    EXPECT_EQ(select.urb()->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(std::all_of(select.bytes.begin() + length, select.bytes.end(), [](uint8_t b) { return b == 0xCC; }));

    // A request block is as long as its request, shorter than the URB union;
    // GCC cannot know that only the select-configuration member is used.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
    std::vector<uint8_t> bytes(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1) + sizeof(USBD_PIPE_INFORMATION), 0xCC);
    auto *configure = reinterpret_cast<PURB>(bytes.data());
    std::fill_n(bytes.begin(), GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1), 0);
    UsbBuildSelectConfigurationRequest(configure, static_cast<USHORT>(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1)),
                                       reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration_.data()));
    configure->UrbSelectConfiguration.Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(2));
    EXPECT_FALSE(NT_SUCCESS(SubmitAndWait(pdo_, configure)));
    EXPECT_EQ(configure->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(std::all_of(bytes.end() - sizeof(USBD_PIPE_INFORMATION), bytes.end(),
                            [](uint8_t b) { return b == 0xCC; }));
#pragma GCC diagnostic pop
}

TEST_F(UsbConfiguration, VendorRequestsReachTheCameraAsTheirSetupPacket) {
    URB write = VendorUrb(false, 0x18, 0x1234, 0x2056, nullptr, 0);
    ASSERT_EQ(SubmitAndWait(pdo_, &write), STATUS_SUCCESS);
    ASSERT_FALSE(camera_.RecentControlTransfers().empty());
    EXPECT_EQ(camera_.RecentControlTransfers().back().setup, (tm350::usb::SetupPacket{0x40, 0x18, 0x1234, 0x2056, 0}));

    uint8_t word[8] = {};
    URB read = VendorUrb(true, 0x11, 0, 0x0010, word, 3);
    ASSERT_EQ(SubmitAndWait(pdo_, &read), STATUS_SUCCESS);
    EXPECT_EQ(camera_.RecentControlTransfers().back().setup, (tm350::usb::SetupPacket{0xC0, 0x11, 0, 0x0010, 3}));
    EXPECT_EQ(read.UrbControlVendorClassRequest.TransferBufferLength, 3u);
    EXPECT_EQ(word[2], tm350::sim::kReadWordStatus);
    EXPECT_EQ(word[3], 0);

    URB unknown = VendorUrb(false, 0x55, 0, 0, nullptr, 0);
    EXPECT_EQ(SubmitAndWait(pdo_, &unknown), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(unknown.UrbHeader.Status, USBD_STATUS_STALL_PID);
}

TEST_F(UsbConfiguration, DescriptorIsCutToTheBufferAndReportsItsLength) {
    uint8_t bytes[255];
    std::memset(bytes, 0xEE, sizeof bytes);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                                 bytes, nullptr, 8, nullptr);
    ASSERT_EQ(SubmitAndWait(pdo_, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 8u);
    EXPECT_EQ(bytes[0], 18);
    EXPECT_EQ(bytes[8], 0xEE);

    urb.UrbControlDescriptorRequest.TransferBufferLength = sizeof bytes;
    ASSERT_EQ(SubmitAndWait(pdo_, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
}

TEST_F(UsbConfiguration, FrameNumberFollowsTheBus) {
    URB urb{};
    urb.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    urb.UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    ASSERT_EQ(SubmitAndWait(pdo_, &urb), STATUS_SUCCESS);
    const ULONG first = urb.UrbGetCurrentFrameNumber.FrameNumber;
    Bus().WaitFrames(5);
    ASSERT_EQ(SubmitAndWait(pdo_, &urb), STATUS_SUCCESS);
    EXPECT_GE(urb.UrbGetCurrentFrameNumber.FrameNumber - first, 5u);
}

TEST_F(UsbConfiguration, RequestBlocksWithAShortHeaderOrNoDataBufferAreRefused) {
    ASSERT_EQ(SelectConfiguration(0), STATUS_SUCCESS);
    const uint64_t seen = camera_.ControlTransferCount();
    uint8_t buffer[512];
    URB read = BulkUrb(DataPipe(), buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN);
    read.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) - 1;
    EXPECT_EQ(SubmitAndWait(pdo_, &read), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

    URB vendor = VendorUrb(true, 0x11, 0, 0, nullptr, 3);  // three bytes into no buffer
    EXPECT_EQ(SubmitAndWait(pdo_, &vendor), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(vendor.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    vendor = VendorUrb(false, 0x18, 0, 0, nullptr, 0);
    vendor.UrbHeader.Length = sizeof(struct _URB_HEADER);
    EXPECT_EQ(SubmitAndWait(pdo_, &vendor), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(camera_.ControlTransferCount(), seen);
}

TEST_F(UsbConfiguration, PortResetKeepsConfigurationSettingAndPipes) {
    ASSERT_EQ(SelectConfiguration(1), STATUS_SUCCESS);
    ASSERT_EQ(camera_.AlternateSetting(0), 1);
    ASSERT_EQ(SubmitAndWait(pdo_, nullptr, IOCTL_INTERNAL_USB_RESET_PORT), STATUS_SUCCESS);
    EXPECT_EQ(camera_.Configuration(), 1);
    EXPECT_EQ(camera_.AlternateSetting(0), 1);
    EXPECT_NE(camera_.Address(), 0);

    uint8_t bytes[700];
    URB write = BulkUrb(OutPipe(), bytes, sizeof bytes, USBD_TRANSFER_DIRECTION_OUT);
    EXPECT_EQ(SubmitAndWait(pdo_, &write), STATUS_SUCCESS);
    EXPECT_EQ(camera_.Counters().bytes_received, sizeof bytes);
}

// A port reset is for a driver at PASSIVE_LEVEL that has nothing queued:
// above that level it is refused as an invalid request, with a transfer
// queued as busy; either way the device and the transfer are left alone.
TEST_F(UsbConfiguration, PortResetIsRefusedAbovePassiveLevelAndWhileTransfersAreQueued) {
    ASSERT_EQ(SelectConfiguration(0), STATUS_SUCCESS);
    const uint64_t seen = camera_.ControlTransferCount();
    {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        UrbRequest reset(pdo_, nullptr, IOCTL_INTERNAL_USB_RESET_PORT);
        const bool completed = reset.Completed();
        KeLowerIrql(old);
        EXPECT_TRUE(completed);
        EXPECT_EQ(reset.returned(), STATUS_INVALID_DEVICE_REQUEST);
    }
    {
        // The camera is not streaming: the read stays queued.
        QueuedRead read(pdo_, DataPipe(), 512);
        UrbRequest reset(pdo_, nullptr, IOCTL_INTERNAL_USB_RESET_PORT);
        EXPECT_EQ(reset.returned(), STATUS_DEVICE_BUSY);
        EXPECT_FALSE(read.request.Completed());
    }
    EXPECT_EQ(camera_.ControlTransferCount(), seen);
    // With nothing queued it goes through.
    EXPECT_EQ(SubmitAndWait(pdo_, nullptr, IOCTL_INTERNAL_USB_RESET_PORT), STATUS_SUCCESS);
    EXPECT_GT(camera_.ControlTransferCount(), seen);
    EXPECT_EQ(camera_.Configuration(), 1);
}

TEST_F(UsbConfiguration, PdoStaysUntilTheDeviceHasLeftItsPort) {
    // A remove request while the camera is still plugged in is an orderly
    // stop of the function: the bus keeps the child.
    ASSERT_EQ(tm350::ntos::SendPnp(pdo_, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Bus().DeviceOf(pdo_), &device_);
    PDEVICE_OBJECT pdo = pdo_;
    UnplugAndRemove();
    EXPECT_EQ(Bus().DeviceOf(pdo), nullptr);
}

}  // namespace
}  // namespace usb_test
