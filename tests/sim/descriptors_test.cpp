// The camera's descriptors as a host reads and parses them: the layout a
// driver relies on (pipe index 1 is the bulk IN data endpoint of 512 bytes),
// lengths that agree with each other, strings, and cutting to wLength.
#include <gtest/gtest.h>

#include "sim/camera.h"
#include "tests/sim/test_host.h"
#include "usb/descriptors.h"

#include <string>

namespace {

using tm350::sim::Camera;
using tm350::test::TestHost;
using tm350::usb::ControlStatus;

uint16_t Word(const std::vector<uint8_t> &bytes, size_t offset) {
    return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

// A configuration descriptor walked the way a USB stack walks it: by each
// descriptor's own bLength.
struct ParsedEndpoint {
    uint8_t address;
    uint8_t attributes;
    uint16_t max_packet;
    uint8_t interval;
};
struct ParsedSetting {
    uint8_t number;
    uint8_t alternate;
    uint8_t declared_endpoints;
    uint8_t interface_class;
    uint8_t string_index;
    std::vector<ParsedEndpoint> endpoints;
};
struct ParsedConfiguration {
    uint16_t total_length;
    uint8_t interfaces;
    uint8_t value;
    uint8_t attributes;
    uint8_t max_power;
    std::vector<ParsedSetting> settings;
    bool well_formed = true;
};

ParsedConfiguration Parse(const std::vector<uint8_t> &bytes) {
    ParsedConfiguration parsed{Word(bytes, 2), bytes[4], bytes[5], bytes[7], bytes[8], {}};
    size_t offset = 0;
    while (offset < bytes.size()) {
        const uint8_t length = bytes[offset];
        if (length < 2 || offset + length > bytes.size()) {
            parsed.well_formed = false;
            break;
        }
        const uint8_t type = bytes[offset + 1];
        if (type == 4 && length == 9) {
            parsed.settings.push_back({bytes[offset + 2], bytes[offset + 3], bytes[offset + 4], bytes[offset + 5],
                                       bytes[offset + 8], {}});
        } else if (type == 5 && length == 7 && !parsed.settings.empty()) {
            parsed.settings.back().endpoints.push_back(
                {bytes[offset + 2], bytes[offset + 3], Word(bytes, offset + 4), bytes[offset + 6]});
        } else if (!(type == 2 && length == 9 && offset == 0)) {
            parsed.well_formed = false;
        }
        offset += length;
    }
    return parsed;
}

std::u16string Text(const std::vector<uint8_t> &descriptor) {
    std::u16string text;
    for (size_t k = 2; k + 1 < descriptor.size(); k += 2)
        text.push_back(static_cast<char16_t>(Word(descriptor, k)));
    return text;
}

}  // namespace

TEST(CameraDescriptors, DeviceDescriptorNamesAHighSpeedVendorDeviceWithOneConfiguration) {
    Camera camera;
    TestHost host(camera);
    const auto reply = host.GetDescriptor(1, 0, 0, 18);

    ASSERT_EQ(reply.status, ControlStatus::Ack);
    const auto &d = reply.data;
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(d[0], 18);
    EXPECT_EQ(d[1], 1);
    EXPECT_EQ(Word(d, 2), 0x0200);  // USB 2.0
    EXPECT_EQ(d[4], 0xFF);          // vendor-specific
    EXPECT_EQ(d[7], 64);            // endpoint 0 packets at high speed
    EXPECT_EQ(Word(d, 8), tm350::sim::kCameraVendorId);
    EXPECT_EQ(Word(d, 10), tm350::sim::kCameraProductId);
    EXPECT_EQ(d[14], 1);  // manufacturer
    EXPECT_EQ(d[15], 2);  // product
    EXPECT_EQ(d[16], 3);  // serial number
    EXPECT_EQ(d[17], 1);  // configurations
    EXPECT_EQ(camera.Speed(), tm350::usb::BusSpeed::High);
}

TEST(CameraDescriptors, PipeOneOfTheFirstSettingIsTheBulkInDataEndpointOf512Bytes) {
    Camera camera;
    TestHost host(camera);
    const auto parsed = Parse(host.GetDescriptor(2, 0, 0, 1024).data);

    ASSERT_TRUE(parsed.well_formed);
    ASSERT_GE(parsed.settings.size(), 1u);
    const auto &first = parsed.settings[0];
    EXPECT_EQ(first.number, 0);
    EXPECT_EQ(first.alternate, 0);
    ASSERT_EQ(first.endpoints.size(), 2u);
    EXPECT_EQ(first.declared_endpoints, 2);
    // Pipe 0: bulk OUT; pipe 1: bulk IN, 512 bytes.
    EXPECT_EQ(first.endpoints[0].address, 0x01);
    EXPECT_EQ(first.endpoints[0].attributes & 3, 2);
    EXPECT_EQ(first.endpoints[1].address, 0x82);
    EXPECT_EQ(first.endpoints[1].attributes & 3, 2);
    EXPECT_EQ(first.endpoints[1].max_packet, 512);
}

TEST(CameraDescriptors, SecondSettingOfInterfaceZeroOffersAHighBandwidthIsochronousInEndpoint) {
    Camera camera;
    TestHost host(camera);
    const auto parsed = Parse(host.GetDescriptor(2, 0, 0, 1024).data);

    ASSERT_EQ(parsed.settings.size(), 2u);
    const auto &second = parsed.settings[1];
    EXPECT_EQ(second.number, 0);
    EXPECT_EQ(second.alternate, 1);
    ASSERT_EQ(second.endpoints.size(), 2u);
    EXPECT_EQ(second.declared_endpoints, 2);
    const auto &iso = second.endpoints[1];
    EXPECT_EQ(iso.address, 0x83);
    EXPECT_EQ(iso.attributes & 3, 1);
    EXPECT_EQ(iso.max_packet & 0x7FF, 1024);
    EXPECT_EQ(iso.max_packet >> 11, 2);  // three transactions per microframe
    EXPECT_EQ(iso.interval, 1);
}

TEST(CameraDescriptors, TotalLengthCoversExactlyTheDescriptorsThatFollow) {
    Camera camera;
    TestHost host(camera);
    // A host reads the 9-byte header first, then asks for more than the
    // total and gets exactly the total.
    const auto header = host.GetDescriptor(2, 0, 0, 9);
    ASSERT_EQ(header.data.size(), 9u);
    const uint16_t total = Word(header.data, 2);
    EXPECT_EQ(total, 9 + 2 * (9 + 7 + 7));

    const auto whole = host.GetDescriptor(2, 0, 0, static_cast<uint16_t>(total + 16));
    ASSERT_EQ(whole.status, ControlStatus::Ack);
    EXPECT_EQ(whole.data.size(), total);
    const auto parsed = Parse(whole.data);
    EXPECT_TRUE(parsed.well_formed);
    EXPECT_EQ(parsed.interfaces, 1);  // two settings of one interface
    EXPECT_EQ(parsed.value, 1);
    EXPECT_EQ(parsed.attributes, 0xA0);
}

TEST(CameraDescriptors, DescriptorRepliesAreCutToWLength) {
    Camera camera;
    TestHost host(camera);
    const auto full = host.GetDescriptor(1, 0, 0, 18).data;

    const auto first_eight = host.GetDescriptor(1, 0, 0, 8);
    ASSERT_EQ(first_eight.status, ControlStatus::Ack);
    EXPECT_EQ(first_eight.data, std::vector<uint8_t>(full.begin(), full.begin() + 8));
    EXPECT_EQ(host.GetDescriptor(1, 0, 0, 255).data.size(), 18u);
    const auto none = host.GetDescriptor(1, 0, 0, 0);
    EXPECT_EQ(none.status, ControlStatus::Ack);
    EXPECT_TRUE(none.data.empty());
    EXPECT_EQ(host.GetDescriptor(3, 1, 0x0409, 2).data, (std::vector<uint8_t>{16, 3}));
}

TEST(CameraDescriptors, StringsAreInUsEnglishAndTheSerialNumberIsTheCamerasOwn) {
    Camera camera({.serial_number = u"LV-2"});
    TestHost host(camera);

    EXPECT_EQ(host.GetDescriptor(3, 0, 0, 255).data, (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
    const auto manufacturer = host.GetDescriptor(3, 1, 0x0409, 255).data;
    EXPECT_EQ(manufacturer[0], manufacturer.size());
    EXPECT_EQ(Text(manufacturer), u"LUMAVEX");
    EXPECT_FALSE(Text(host.GetDescriptor(3, 2, 0x0409, 255).data).empty());
    EXPECT_EQ(Text(host.GetDescriptor(3, 3, 0x0409, 255).data), u"LV-2");
}

TEST(CameraDescriptors, UnknownDescriptorsLanguagesAndIndicesStall) {
    Camera camera;
    TestHost host(camera);
    EXPECT_EQ(host.GetDescriptor(3, 1, 0x0407, 255).status, ControlStatus::Stall);  // German
    EXPECT_EQ(host.GetDescriptor(3, 6, 0x0409, 255).status, ControlStatus::Stall);  // past the last string
    EXPECT_EQ(host.GetDescriptor(2, 1, 0, 255).status, ControlStatus::Stall);       // second configuration
    EXPECT_EQ(host.GetDescriptor(1, 1, 0, 18).status, ControlStatus::Stall);
    EXPECT_EQ(host.GetDescriptor(6, 0, 0, 10).status, ControlStatus::Stall);  // device qualifier
    EXPECT_EQ(host.GetDescriptor(7, 0, 0, 9).status, ControlStatus::Stall);   // other speed
    EXPECT_EQ(host.GetDescriptor(0x21, 0, 0, 9).status, ControlStatus::Stall);
    // GET_DESCRIPTOR sent as host to device is not a GET_DESCRIPTOR.
    EXPECT_EQ(host.Out(0x00, 0x06, 0x0100, 0, {}), ControlStatus::Stall);
}

// --- the shared descriptor layer -----------------------------------------

namespace {

using namespace tm350::usb;

constexpr EndpointDescriptor kTwoEndpoints[] = {
    {.bEndpointAddress = 0x81, .bmAttributes = 2, .wMaxPacketSize = 512},
    {.bEndpointAddress = 0x02, .bmAttributes = 2, .wMaxPacketSize = 512},
};
constexpr EndpointDescriptor kSameAddressTwice[] = {
    {.bEndpointAddress = 0x81, .bmAttributes = 2, .wMaxPacketSize = 512},
    {.bEndpointAddress = 0x81, .bmAttributes = 3, .wMaxPacketSize = 64},
};

DeviceDescription DescriptionWith(std::span<const ConfigurationDescriptor> configurations) {
    DeviceDescription description;
    description.device.configurations = configurations;
    return description;
}

}  // namespace

TEST(DescriptorValidation, AcceptsAPlainDeviceAndNamesTheFirstProblemOfABrokenOne) {
    static constexpr InterfaceDescriptor good[] = {{.bInterfaceNumber = 0, .endpoints = kTwoEndpoints}};
    static constexpr ConfigurationDescriptor good_configuration[] = {{.interfaces = good}};
    EXPECT_EQ(ValidateDescription(DescriptionWith(good_configuration)), std::nullopt);

    static constexpr InterfaceDescriptor only_setting_one[] = {
        {.bInterfaceNumber = 0, .bAlternateSetting = 1, .endpoints = kTwoEndpoints}};
    static constexpr ConfigurationDescriptor no_setting_zero[] = {{.interfaces = only_setting_one}};
    EXPECT_NE(ValidateDescription(DescriptionWith(no_setting_zero)), std::nullopt);

    static constexpr InterfaceDescriptor duplicate[] = {{.bInterfaceNumber = 0, .endpoints = kSameAddressTwice}};
    static constexpr ConfigurationDescriptor duplicate_endpoint[] = {{.interfaces = duplicate}};
    EXPECT_NE(ValidateDescription(DescriptionWith(duplicate_endpoint)), std::nullopt);

    static constexpr InterfaceDescriptor named[] = {{.bInterfaceNumber = 0, .iInterface = 4}};
    static constexpr ConfigurationDescriptor missing_string[] = {{.interfaces = named}};
    EXPECT_NE(ValidateDescription(DescriptionWith(missing_string)), std::nullopt);

    auto wrong_packet = DescriptionWith(good_configuration);
    wrong_packet.device.bMaxPacketSize0 = 8;  // high speed needs 64
    EXPECT_NE(ValidateDescription(wrong_packet), std::nullopt);
}
