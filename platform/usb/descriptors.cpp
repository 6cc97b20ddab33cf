#include "usb/descriptors.h"

#include <algorithm>
#include <set>
#include <utility>

namespace tm350::usb {
namespace {

void AppendWord(std::vector<uint8_t> &bytes, uint16_t value) {
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

uint8_t InterfaceCount(const ConfigurationDescriptor &configuration) {
    std::set<uint8_t> numbers;
    for (const auto &setting : configuration.interfaces)
        numbers.insert(setting.bInterfaceNumber);
    return static_cast<uint8_t>(numbers.size());
}

std::string Describe(const char *what, unsigned value) { return std::string(what) + " " + std::to_string(value); }

}  // namespace

std::vector<uint8_t> DeviceDescriptorBytes(const DeviceDescriptor &device) {
    std::vector<uint8_t> bytes{18, static_cast<uint8_t>(DescriptorType::Device)};
    AppendWord(bytes, device.bcdUSB);
    bytes.push_back(device.bDeviceClass);
    bytes.push_back(device.bDeviceSubClass);
    bytes.push_back(device.bDeviceProtocol);
    bytes.push_back(device.bMaxPacketSize0);
    AppendWord(bytes, device.idVendor);
    AppendWord(bytes, device.idProduct);
    AppendWord(bytes, device.bcdDevice);
    bytes.push_back(device.iManufacturer);
    bytes.push_back(device.iProduct);
    bytes.push_back(device.iSerialNumber);
    bytes.push_back(static_cast<uint8_t>(device.configurations.size()));
    return bytes;
}

std::vector<uint8_t> ConfigurationDescriptorBytes(const ConfigurationDescriptor &configuration) {
    std::vector<uint8_t> bytes{kConfigurationHeaderLength, static_cast<uint8_t>(DescriptorType::Configuration), 0, 0};
    bytes.push_back(InterfaceCount(configuration));
    bytes.push_back(configuration.bConfigurationValue);
    bytes.push_back(configuration.iConfiguration);
    bytes.push_back(configuration.bmAttributes);
    bytes.push_back(configuration.bMaxPower);
    for (const auto &setting : configuration.interfaces) {
        bytes.insert(bytes.end(), {9, static_cast<uint8_t>(DescriptorType::Interface), setting.bInterfaceNumber,
                                   setting.bAlternateSetting, static_cast<uint8_t>(setting.endpoints.size()),
                                   setting.bInterfaceClass, setting.bInterfaceSubClass, setting.bInterfaceProtocol,
                                   setting.iInterface});
        for (const auto &endpoint : setting.endpoints) {
            bytes.insert(bytes.end(), {7, static_cast<uint8_t>(DescriptorType::Endpoint), endpoint.bEndpointAddress,
                                       endpoint.bmAttributes});
            AppendWord(bytes, endpoint.wMaxPacketSize);
            bytes.push_back(endpoint.bInterval);
        }
    }
    const auto total = static_cast<uint16_t>(bytes.size());
    bytes[2] = static_cast<uint8_t>(total);
    bytes[3] = static_cast<uint8_t>(total >> 8);
    return bytes;
}

std::vector<uint8_t> LanguageDescriptorBytes(uint16_t language) {
    std::vector<uint8_t> bytes{4, static_cast<uint8_t>(DescriptorType::String)};
    AppendWord(bytes, language);
    return bytes;
}

std::vector<uint8_t> StringDescriptorBytes(std::u16string_view text) {
    // bLength is one byte: 2 + 2 x 126 is the longest string that fits.
    const size_t units = std::min<size_t>(text.size(), 126);
    std::vector<uint8_t> bytes{static_cast<uint8_t>(2 + 2 * units), static_cast<uint8_t>(DescriptorType::String)};
    for (size_t k = 0; k < units; ++k)
        AppendWord(bytes, static_cast<uint16_t>(text[k]));
    return bytes;
}

std::optional<std::string> ValidateDescription(const DeviceDescription &description) {
    const auto &device = description.device;
    const auto string_exists = [&](uint8_t index) { return index == 0 || index <= description.strings.size(); };
    const uint8_t control_packet = device.bMaxPacketSize0;
    const bool control_packet_legal = description.speed == BusSpeed::High ? control_packet == 64
                                      : description.speed == BusSpeed::Low
                                          ? control_packet == 8
                                          : (control_packet == 8 || control_packet == 16 || control_packet == 32 ||
                                             control_packet == 64);
    if (!control_packet_legal)
        return Describe("control endpoint packet size not legal for the speed:", control_packet);
    if (device.configurations.empty())
        return "no configuration";
    for (const uint8_t index : {device.iManufacturer, device.iProduct, device.iSerialNumber})
        if (!string_exists(index))
            return Describe("device names missing string", index);

    std::set<uint8_t> configuration_values;
    for (const auto &configuration : device.configurations) {
        if (configuration.bConfigurationValue == 0)
            return "configuration value 0 means unconfigured";
        if (!configuration_values.insert(configuration.bConfigurationValue).second)
            return Describe("duplicate configuration value", configuration.bConfigurationValue);
        if (!string_exists(configuration.iConfiguration))
            return Describe("configuration names missing string", configuration.iConfiguration);
        if ((configuration.bmAttributes & 0x80) == 0)
            return "configuration attributes lack bit 7";

        std::set<std::pair<uint8_t, uint8_t>> settings;
        std::set<uint8_t> numbers;
        for (const auto &setting : configuration.interfaces) {
            numbers.insert(setting.bInterfaceNumber);
            if (!settings.insert({setting.bInterfaceNumber, setting.bAlternateSetting}).second)
                return Describe("duplicate alternate setting of interface", setting.bInterfaceNumber);
            if (!string_exists(setting.iInterface))
                return Describe("interface names missing string", setting.iInterface);
            std::set<uint8_t> addresses;
            for (const auto &endpoint : setting.endpoints) {
                if ((endpoint.bEndpointAddress & 0x0F) == 0)
                    return "endpoint 0 cannot be listed";
                if (endpoint.Type() == TransferType::Control)
                    return "only endpoint 0 is a control endpoint here";
                if (!addresses.insert(endpoint.bEndpointAddress).second)
                    return Describe("duplicate endpoint address", endpoint.bEndpointAddress);
                if (endpoint.MaxPacketBytes() == 0 || endpoint.MaxPacketBytes() > 1024)
                    return Describe("endpoint packet size out of range at", endpoint.bEndpointAddress);
            }
        }
        for (const uint8_t number : numbers)
            if (!settings.contains({number, 0}))
                return Describe("no alternate setting 0 for interface", number);
    }
    for (const auto &text : description.strings)
        if (text.size() > 126)
            return "string longer than a descriptor holds";
    return std::nullopt;
}

}  // namespace tm350::usb
