// The function drivers' library: walking descriptors (a malformed one ends
// the walk, nothing past the given length is read), building the
// select-configuration request, and the stack version it reports.
#include "usb/usb_test_support.h"

#include "usb/usbd_version.h"

namespace usb_test {
namespace {

// The camera's configuration descriptor, straight from the device.
std::vector<uint8_t> CameraConfiguration() {
    Camera camera;
    std::vector<uint8_t> bytes(1024);
    const auto result = camera.ControlTransfer(
        {0x80, USB_REQUEST_GET_DESCRIPTOR, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0, 1024}, bytes);
    bytes.resize(result.length);
    return bytes;
}

PUSB_CONFIGURATION_DESCRIPTOR AsConfiguration(std::vector<uint8_t> &bytes) {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

TEST(Usbd, ParseConfigurationFindsEachAlternateSettingAndHonoursWildcards) {
    std::vector<uint8_t> bytes = CameraConfiguration();
    PUSB_CONFIGURATION_DESCRIPTOR configuration = AsConfiguration(bytes);
    ASSERT_EQ(configuration->wTotalLength, bytes.size());

    PUSB_INTERFACE_DESCRIPTOR bulk = USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 0, -1, -1, -1);
    ASSERT_NE(bulk, nullptr);
    EXPECT_EQ(bulk->bAlternateSetting, 0);
    EXPECT_EQ(bulk->bNumEndpoints, 2);
    PUSB_INTERFACE_DESCRIPTOR iso = USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, 1, -1, -1, -1);
    ASSERT_NE(iso, nullptr);
    EXPECT_EQ(iso->bAlternateSetting, 1);
    EXPECT_GT(reinterpret_cast<PUCHAR>(iso), reinterpret_cast<PUCHAR>(bulk));

    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, -1, -1, -1), bulk);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, -1, 0xFF, -1, -1), bulk);
    // The search starts where it is told to: past the first setting is the second.
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, reinterpret_cast<PUCHAR>(bulk) + bulk->bLength, -1,
                                                  -1, -1, -1, -1),
              iso);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 2, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, configuration, 1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, 0x0E, -1, -1), nullptr);

    // A setting past wTotalLength is not part of the configuration.
    configuration->wTotalLength = static_cast<USHORT>(reinterpret_cast<PUCHAR>(iso) - bytes.data());
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 1, -1, -1, -1), nullptr);
}

TEST(Usbd, ParseDescriptorsWalksEndpointsInOrder) {
    std::vector<uint8_t> bytes = CameraConfiguration();
    PUSB_CONFIGURATION_DESCRIPTOR configuration = AsConfiguration(bytes);
    PUSB_INTERFACE_DESCRIPTOR bulk = USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 0, -1, -1, -1);
    ASSERT_NE(bulk, nullptr);
    std::vector<UCHAR> addresses;
    PVOID position = bulk;
    while (PUSB_COMMON_DESCRIPTOR found =
               USBD_ParseDescriptors(configuration, configuration->wTotalLength, position, USB_ENDPOINT_DESCRIPTOR_TYPE)) {
        addresses.push_back(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(found)->bEndpointAddress);
        position = reinterpret_cast<PUCHAR>(found) + found->bLength;
    }
    EXPECT_EQ(addresses, (std::vector<UCHAR>{0x01, 0x82, 0x01, 0x83}));
}

TEST(Usbd, ParseDescriptorsStopsAtAZeroLengthDescriptor) {
    // An interface descriptor lies behind the zero-length one: a walk that
    // stepped over it would loop forever or trust garbage.
    std::vector<uint8_t> bytes = {2, 0x24, 0, 0x05, 9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 0, 0xFF, 0, 0, 0};
    EXPECT_EQ(USBD_ParseDescriptors(bytes.data(), static_cast<ULONG>(bytes.size()), bytes.data(),
                                    USB_INTERFACE_DESCRIPTOR_TYPE),
              nullptr);
    bytes[2] = 1;  // a one-byte descriptor cannot even hold its type
    EXPECT_EQ(USBD_ParseDescriptors(bytes.data(), static_cast<ULONG>(bytes.size()), bytes.data(),
                                    USB_INTERFACE_DESCRIPTOR_TYPE),
              nullptr);
}

TEST(Usbd, ParseDescriptorsStopsAtADescriptorRunningPastTheLength) {
    // Exactly as long as the buffer says: a sanitizer build sees any read past it.
    std::vector<uint8_t> bytes = {2, 0x24, 9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0};
    EXPECT_EQ(USBD_ParseDescriptors(bytes.data(), static_cast<ULONG>(bytes.size()), bytes.data(),
                                    USB_INTERFACE_DESCRIPTOR_TYPE),
              nullptr);
    // A lone byte at the end is not a descriptor either.
    bytes = {2, 0x24, 7};
    EXPECT_EQ(USBD_ParseDescriptors(bytes.data(), static_cast<ULONG>(bytes.size()), bytes.data(), 7), nullptr);
}

TEST(Usbd, ConfigurationRequestHasARecordPerInterfaceWithRoomForItsPipes) {
    std::vector<uint8_t> bytes = CameraConfiguration();
    PUSB_CONFIGURATION_DESCRIPTOR configuration = AsConfiguration(bytes);
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 1, -1, -1, -1);
    ASSERT_NE(list[0].InterfaceDescriptor, nullptr);
    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, configuration);
    ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(2));
    EXPECT_EQ(list[0].Interface->InterfaceNumber, 0);
    EXPECT_EQ(list[0].Interface->AlternateSetting, 1);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 2u);
    EXPECT_EQ(list[0].Interface->Pipes[1].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    EXPECT_EQ(list[1].Interface, nullptr);
    ExFreePool(urb);
}

TEST(Usbd, ConfigurationRequestRecordOfAnInterfaceWithoutEndpointsSpansItsRoom) {
    // Interface 0 without endpoints, interface 1 with two. A stack steps from
    // record to record by Length, so Length has to reach the next record.
    std::vector<uint8_t> bytes = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 27, 0, 2, 1, 0, 0x80, 50,
                                  9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 0, 0xFF, 0, 0, 0,
                                  9, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0, 2, 0xFF, 0, 0, 0};
    PUSB_CONFIGURATION_DESCRIPTOR configuration = AsConfiguration(bytes);
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(configuration, configuration, 1, 0, -1, -1, -1);
    ASSERT_NE(list[1].InterfaceDescriptor, nullptr);
    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);
    ASSERT_NE(urb, nullptr);
    auto *first = reinterpret_cast<PUCHAR>(list[0].Interface);
    auto *second = reinterpret_cast<PUCHAR>(list[1].Interface);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 0u);
    EXPECT_EQ(first + list[0].Interface->Length, second);
    EXPECT_EQ(second + list[1].Interface->Length, reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    ExFreePool(urb);
}

TEST(Usbd, VersionIsTheStacksUnlessATestSetsAnother) {
    USBD_VERSION_INFORMATION version{};
    USBD_GetUSBDIVersion(&version);
    EXPECT_EQ(version.USBDI_Version, 0x600u);
    EXPECT_EQ(version.Supported_USB_Version, 0x200u);
    tm350::usb::SetUsbdiVersion(0x500);
    USBD_GetUSBDIVersion(&version);
    EXPECT_EQ(version.USBDI_Version, 0x500u);
    tm350::usb::SetUsbdiVersion(0x600);
    USBD_GetUSBDIVersion(nullptr);  // nothing to fill in, nothing happens
}

}  // namespace
}  // namespace usb_test
