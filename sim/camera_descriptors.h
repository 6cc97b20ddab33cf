// What the camera tells a host about itself: a high-speed, vendor-specific
// USB 2.0 device with one configuration and one interface.
//
//   interface 0, alternate setting 0 ("bulk frame data"), the setting a
//   host selects first:
//     pipe 0: endpoint 0x01 bulk OUT, 512 bytes   accepted and discarded
//     pipe 1: endpoint 0x82 bulk IN,  512 bytes   the frame data
//   interface 0, alternate setting 1 ("isochronous frame data"):
//     pipe 0: endpoint 0x01 bulk OUT, 512 bytes
//     pipe 1: endpoint 0x83 isochronous IN, 3 x 1024 bytes per microframe,
//             every microframe (24 576 bytes per 1 ms frame), asynchronous:
//             the same frame data as 0x82, as fast as the sensor reads out
//
// Both settings carry the same byte stream; only the endpoint that drains
// the camera's FIFO differs. The isochronous endpoint reserves room for the
// high-speed readout (13 550 bytes per ms) with margin.
//
// A camera may also offer bandwidth settings (CameraOptions), as cameras do
// that share a bus with others:
//   alternate setting 2: pipe 0 only, the command endpoint (no frame data)
//   alternate settings 3 to 12: pipe 0, and pipe 1 on 0x83 isochronous IN
//             with one transaction per microframe of 1024, 896, 768, 640,
//             512, 384, 256, 192, 128 and 64 bytes
// Their descriptors take the configuration descriptor to 301 bytes.
#pragma once

#include "usb/descriptors.h"

#include <cstdint>
#include <string>

namespace tm350::sim {

constexpr uint16_t kCameraVendorId = 0x4C56;  // "LV"
constexpr uint16_t kCameraProductId = 0x0480;
constexpr uint16_t kCameraRelease = 0x0105;   // bcdDevice 1.05

constexpr uint8_t kCommandOutEndpoint = 0x01;      // pipe index 0 in both settings
constexpr uint8_t kDataInEndpoint = 0x82;          // pipe index 1 in alternate setting 0
constexpr uint8_t kIsochronousInEndpoint = 0x83;   // pipe index 1 in alternate setting 1
constexpr uint16_t kBulkPacketSize = 512;
constexpr uint16_t kIsochronousPacketSize = 1024;  // per transaction
constexpr uint8_t kIsochronousTransactions = 3;    // per microframe

constexpr uint8_t kCameraInterface = 0;
constexpr uint8_t kBulkSetting = 0;
constexpr uint8_t kIsochronousSetting = 1;

constexpr uint8_t kCommandOnlySetting = 2;
constexpr uint8_t kNarrowestSetting = 12;
constexpr uint16_t kNarrowestPacketSize = 64;
constexpr uint16_t kConfigurationLengthWithBandwidthSettings = 301;

enum class BandwidthSettings : uint8_t { None, Offered };

inline constexpr char16_t kDefaultSerialNumber[] = u"TM350-000001";

// The camera's descriptors and strings; only the serial number and the
// bandwidth settings vary between cameras.
usb::DeviceDescription CameraDescription(std::u16string serial_number,
                                         BandwidthSettings bandwidth_settings = BandwidthSettings::None);

}  // namespace tm350::sim
