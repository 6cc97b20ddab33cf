// A device's standard descriptors as constant tables, and the bytes a device
// sends for them.
//
// A device describes itself with these structures, written as designated
// initializers; the fields are the USB descriptor fields. What a descriptor
// derives from its contents (bLength, bDescriptorType, bNumConfigurations,
// wTotalLength, bNumInterfaces, bNumEndpoints) is computed when the bytes
// are produced, so it cannot disagree with the tables.
//
//   constexpr EndpointDescriptor kEndpoints[] = {
//       {.bEndpointAddress = 0x81, .bmAttributes = 0x02, .wMaxPacketSize = 512},
//   };
//   constexpr InterfaceDescriptor kInterfaces[] = {
//       {.bInterfaceNumber = 0, .bAlternateSetting = 0, .bInterfaceClass = 0xFF,
//        .endpoints = kEndpoints},
//   };
#pragma once

#include "usb/usb_device.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tm350::usb {

struct EndpointDescriptor {
    uint8_t bEndpointAddress = 0;
    uint8_t bmAttributes = 0;     // bits 0-1 transfer type; bits 2-5 isochronous sync and usage
    uint16_t wMaxPacketSize = 0;  // bits 0-10 bytes; bits 11-12 extra transactions per microframe
    uint8_t bInterval = 0;

    constexpr TransferType Type() const { return static_cast<TransferType>(bmAttributes & 0x03); }
    constexpr uint16_t MaxPacketBytes() const { return wMaxPacketSize & 0x07FF; }
    constexpr uint8_t TransactionsPerMicroframe() const { return static_cast<uint8_t>(((wMaxPacketSize >> 11) & 0x03) + 1); }
};

// One alternate setting of one interface. Every interface of a configuration
// is listed once per alternate setting, alternate setting 0 first.
struct InterfaceDescriptor {
    uint8_t bInterfaceNumber = 0;
    uint8_t bAlternateSetting = 0;
    uint8_t bInterfaceClass = 0;
    uint8_t bInterfaceSubClass = 0;
    uint8_t bInterfaceProtocol = 0;
    uint8_t iInterface = 0;
    std::span<const EndpointDescriptor> endpoints{};
};

struct ConfigurationDescriptor {
    uint8_t bConfigurationValue = 1;
    uint8_t iConfiguration = 0;
    uint8_t bmAttributes = 0x80;  // bit 7 always set; bit 6 self-powered; bit 5 remote wakeup
    uint8_t bMaxPower = 50;       // in units of 2 mA
    std::span<const InterfaceDescriptor> interfaces{};
};

struct DeviceDescriptor {
    uint16_t bcdUSB = 0x0200;
    uint8_t bDeviceClass = 0;
    uint8_t bDeviceSubClass = 0;
    uint8_t bDeviceProtocol = 0;
    uint8_t bMaxPacketSize0 = 64;
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    uint16_t bcdDevice = 0;
    uint8_t iManufacturer = 0;
    uint8_t iProduct = 0;
    uint8_t iSerialNumber = 0;
    std::span<const ConfigurationDescriptor> configurations{};
};

// Everything the standard requests answer from: the descriptors, the
// language the strings are in, and the strings themselves (strings[0] is
// string index 1).
struct DeviceDescription {
    BusSpeed speed = BusSpeed::High;
    DeviceDescriptor device;
    uint16_t language = 0x0409;  // the one language of the strings (0x0409: English, United States)
    std::vector<std::u16string> strings;
};

constexpr uint8_t kConfigurationHeaderLength = 9;

// The 18 bytes of the device descriptor.
std::vector<uint8_t> DeviceDescriptorBytes(const DeviceDescriptor &device);
// A configuration descriptor followed by its interfaces, each followed by its
// endpoints: the bytes GET_DESCRIPTOR(CONFIGURATION) returns.
std::vector<uint8_t> ConfigurationDescriptorBytes(const ConfigurationDescriptor &configuration);
// String descriptor 0 (the language list) holding one language.
std::vector<uint8_t> LanguageDescriptorBytes(uint16_t language);
// A string descriptor: UTF-16LE text, at most 126 code units.
std::vector<uint8_t> StringDescriptorBytes(std::u16string_view text);

// Checks what a host relies on: every interface number has an alternate
// setting 0, alternate settings of one interface are unique, endpoint
// addresses are unique within an alternate setting and not 0, string indices
// name strings that exist, configurations are non-zero and unique, and the
// control endpoint's packet size is legal for the speed. Returns the first
// problem found, or nothing.
std::optional<std::string> ValidateDescription(const DeviceDescription &description);

}  // namespace tm350::usb
