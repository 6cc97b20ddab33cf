#include "sim/camera_descriptors.h"

#include <utility>

namespace tm350::sim {
namespace {

using usb::ConfigurationDescriptor;
using usb::DeviceDescriptor;
using usb::EndpointDescriptor;
using usb::InterfaceDescriptor;

enum StringIndex : uint8_t {
    kManufacturerString = 1,
    kProductString,
    kSerialNumberString,
    kBulkSettingString,
    kIsochronousSettingString,
};

constexpr uint8_t kBulk = 0x02;
constexpr uint8_t kIsochronousAsynchronous = 0x05;  // isochronous, asynchronous, data
constexpr uint8_t kVendorSpecific = 0xFF;

constexpr EndpointDescriptor kBulkEndpoints[] = {
    {.bEndpointAddress = kCommandOutEndpoint, .bmAttributes = kBulk, .wMaxPacketSize = kBulkPacketSize},
    {.bEndpointAddress = kDataInEndpoint, .bmAttributes = kBulk, .wMaxPacketSize = kBulkPacketSize},
};

constexpr EndpointDescriptor kIsochronousEndpoints[] = {
    {.bEndpointAddress = kCommandOutEndpoint, .bmAttributes = kBulk, .wMaxPacketSize = kBulkPacketSize},
    {.bEndpointAddress = kIsochronousInEndpoint,
     .bmAttributes = kIsochronousAsynchronous,
     // Bits 11-12: two more transactions per microframe.
     .wMaxPacketSize = static_cast<uint16_t>((kIsochronousTransactions - 1) << 11 | kIsochronousPacketSize),
     .bInterval = 1},  // 2^(1-1) microframes: every microframe
};

constexpr InterfaceDescriptor kInterfaces[] = {
    {.bInterfaceNumber = kCameraInterface,
     .bAlternateSetting = kBulkSetting,
     .bInterfaceClass = kVendorSpecific,
     .bInterfaceSubClass = kVendorSpecific,
     .bInterfaceProtocol = kVendorSpecific,
     .iInterface = kBulkSettingString,
     .endpoints = kBulkEndpoints},
    {.bInterfaceNumber = kCameraInterface,
     .bAlternateSetting = kIsochronousSetting,
     .bInterfaceClass = kVendorSpecific,
     .bInterfaceSubClass = kVendorSpecific,
     .bInterfaceProtocol = kVendorSpecific,
     .iInterface = kIsochronousSettingString,
     .endpoints = kIsochronousEndpoints},
};

// The bandwidth settings: the command endpoint alone, then isochronous
// frame data in ever smaller packets of one transaction per microframe.
constexpr EndpointDescriptor kCommandOnlyEndpoints[] = {
    {.bEndpointAddress = kCommandOutEndpoint, .bmAttributes = kBulk, .wMaxPacketSize = kBulkPacketSize},
};

template <uint16_t kPacketBytes>
constexpr EndpointDescriptor kNarrowEndpoints[] = {
    {.bEndpointAddress = kCommandOutEndpoint, .bmAttributes = kBulk, .wMaxPacketSize = kBulkPacketSize},
    {.bEndpointAddress = kIsochronousInEndpoint,
     .bmAttributes = kIsochronousAsynchronous,
     .wMaxPacketSize = kPacketBytes,
     .bInterval = 1},
};

constexpr InterfaceDescriptor Setting(uint8_t alternate_setting, std::span<const EndpointDescriptor> endpoints) {
    return {.bInterfaceNumber = kCameraInterface,
            .bAlternateSetting = alternate_setting,
            .bInterfaceClass = kVendorSpecific,
            .bInterfaceSubClass = kVendorSpecific,
            .bInterfaceProtocol = kVendorSpecific,
            .endpoints = endpoints};
}

constexpr InterfaceDescriptor kInterfacesWithBandwidthSettings[] = {
    kInterfaces[0],
    kInterfaces[1],
    Setting(kCommandOnlySetting, kCommandOnlyEndpoints),
    Setting(3, kNarrowEndpoints<1024>),
    Setting(4, kNarrowEndpoints<896>),
    Setting(5, kNarrowEndpoints<768>),
    Setting(6, kNarrowEndpoints<640>),
    Setting(7, kNarrowEndpoints<512>),
    Setting(8, kNarrowEndpoints<384>),
    Setting(9, kNarrowEndpoints<256>),
    Setting(10, kNarrowEndpoints<192>),
    Setting(11, kNarrowEndpoints<128>),
    Setting(kNarrowestSetting, kNarrowEndpoints<kNarrowestPacketSize>),
};

constexpr ConfigurationDescriptor Configuration(std::span<const InterfaceDescriptor> interfaces) {
    return {.bConfigurationValue = 1,
            .iConfiguration = 0,
            .bmAttributes = 0xA0,  // bus-powered, remote wakeup
            .bMaxPower = 250,      // 500 mA: the CCD and its clock drivers
            .interfaces = interfaces};
}

constexpr ConfigurationDescriptor kConfigurations[] = {Configuration(kInterfaces)};
constexpr ConfigurationDescriptor kConfigurationsWithBandwidthSettings[] = {
    Configuration(kInterfacesWithBandwidthSettings)};

constexpr DeviceDescriptor kDevice = {
    .bcdUSB = 0x0200,
    .bDeviceClass = kVendorSpecific,
    .bDeviceSubClass = kVendorSpecific,
    .bDeviceProtocol = kVendorSpecific,
    .bMaxPacketSize0 = 64,
    .idVendor = kCameraVendorId,
    .idProduct = kCameraProductId,
    .bcdDevice = kCameraRelease,
    .iManufacturer = kManufacturerString,
    .iProduct = kProductString,
    .iSerialNumber = kSerialNumberString,
    .configurations = kConfigurations,
};

}  // namespace

usb::DeviceDescription CameraDescription(std::u16string serial_number, BandwidthSettings bandwidth_settings) {
    DeviceDescriptor device = kDevice;
    if (bandwidth_settings == BandwidthSettings::Offered) device.configurations = kConfigurationsWithBandwidthSettings;
    return usb::DeviceDescription{
        .speed = usb::BusSpeed::High,
        .device = device,
        .language = 0x0409,
        .strings = {u"LUMAVEX", u"NVC480 USB 2.0 Colour CCD Camera", std::move(serial_number), u"Bulk frame data",
                    u"Isochronous frame data"},
    };
}

}  // namespace tm350::sim
