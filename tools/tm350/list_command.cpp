// tm350 list: every camera that answers on this machine, by instance digit,
// with its USB identity, the driver's version and the defect table stored in
// its memory. Only reads: the camera is neither programmed nor started, so
// listing never disturbs a capture another program runs.
#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <memory>
#include <string>

#include "camera/device_binding.h"
#include "camera/device_channel.h"
#include "driver/vexusb_interface.h"
#include "tools/tm350/commands.h"

namespace tm350::tool {

namespace {

constexpr BYTE kStringDescriptorType = 3;
constexpr WORD kEnglishUnitedStates = 0x0409;
constexpr DWORD kDeviceDescriptorBytes = 18;
const char *const kSizeNames[] = {"1024x768", "800x600", "640x480", "320x240"};

WORD LittleEndianWord(const BYTE *bytes) { return static_cast<WORD>(bytes[0] | bytes[1] << 8); }

// A string descriptor's UTF-16 text as UTF-8; empty when the camera has none.
std::string ReadString(HANDLE device, BYTE index, WORD language) {
    if (index == 0) return {};
    BYTE request[4] = {index, 0, static_cast<BYTE>(language), static_cast<BYTE>(language >> 8)};
    BYTE descriptor[255] = {};
    DWORD bytes = 0;
    if (!DeviceIoControl(device, IOCTL_CAM_GET_STRING_DESCRIPTOR, request, sizeof(request), descriptor,
                         sizeof(descriptor), &bytes, nullptr) ||
        bytes < 2 || descriptor[1] != kStringDescriptorType)
        return {};
    const DWORD length = std::min<DWORD>(bytes, descriptor[0]);
    std::string text;
    for (DWORD i = 2; i + 1 < length; i += 2) {
        unsigned c = LittleEndianWord(descriptor + i);
        // Surrogates stand for characters outside the basic plane; a name
        // on a camera has none, so they show as '?'.
        if (c >= 0xD800 && c <= 0xDFFF) c = '?';
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else if (c < 0x800) {
            text += static_cast<char>(0xC0 | c >> 6);
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            text += static_cast<char>(0xE0 | c >> 12);
            text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return text;
}

// The first language the camera's strings come in.
WORD StringLanguage(HANDLE device) {
    BYTE request[4] = {0, 0, 0, 0};
    BYTE descriptor[255] = {};
    DWORD bytes = 0;
    if (DeviceIoControl(device, IOCTL_CAM_GET_STRING_DESCRIPTOR, request, sizeof(request), descriptor,
                        sizeof(descriptor), &bytes, nullptr) &&
        bytes >= 4 && descriptor[1] == kStringDescriptorType)
        return LittleEndianWord(descriptor + 2);
    return kEnglishUnitedStates;
}

std::string UsbIdentity(HANDLE device) {
    BYTE descriptor[kDeviceDescriptorBytes] = {};
    DWORD bytes = 0;
    // The driver reports success with 0 bytes when the camera did not answer.
    if (!DeviceIoControl(device, IOCTL_CAM_GET_DEVICE_DESCRIPTOR, nullptr, 0, descriptor, sizeof(descriptor), &bytes,
                         nullptr) ||
        bytes != kDeviceDescriptorBytes)
        return "USB descriptor unreadable";
    const WORD language = StringLanguage(device);
    char ids[32];
    snprintf(ids, sizeof(ids), "USB %04x:%04x", LittleEndianWord(descriptor + 8), LittleEndianWord(descriptor + 10));
    std::string identity = ids;
    const std::string manufacturer = ReadString(device, descriptor[14], language);
    const std::string product = ReadString(device, descriptor[15], language);
    const std::string serial = ReadString(device, descriptor[16], language);
    if (!manufacturer.empty() || !product.empty()) identity += " " + manufacturer + (manufacturer.empty() ? "" : " ") + product;
    identity += serial.empty() ? ", no serial number" : ", serial " + serial;
    return identity;
}

std::string DriverVersion(HANDLE device) {
    CAM_DRIVER_VERSION version{};
    DWORD bytes = 0;
    if (!DeviceIoControl(device, IOCTL_CAM_GET_DRIVER_VERSION, nullptr, 0, &version, sizeof(version), &bytes,
                         nullptr) ||
        bytes != sizeof(version))
        return "driver version unreadable";
    return "driver " + std::to_string(version.Major) + "." + std::to_string(version.Minor) + "." +
           std::to_string(version.Build);
}

// The channel is opened but never connected, so its end writes nothing to
// the sensor: reading the table leaves the camera as it was.
std::string DefectTables(CDeviceChannel &channel) {
    WORD marker = 0;
    if (!channel.ReadWord(DEFECT_TABLE_MARKER_ADDRESS, &marker)) return "defect table unreadable";
    if (marker != DEFECT_TABLE_MARKER) return "no defect table stored";
    std::string text = "defect table:";
    for (DWORD size = 0; size < 4; ++size) {
        CDefectList defects = {};
        text += size == 0 ? " " : ", ";
        text += kSizeNames[size];
        text += LoadDefectTable(&channel, size, defects) ? " " + std::to_string(defects.count) + (defects.count == 1 ? " entry" : " entries")
                                                         : " unusable";
    }
    return text;
}

}  // namespace

int RunList(const Arguments &arguments) {
    if (!arguments.empty()) {
        fprintf(stderr, "tm350 list: unexpected argument \"%s\"\n", arguments[0].c_str());
        return 2;
    }
    int cameras = 0;
    for (int instance = 0; instance < VEXUSB_MAX_INSTANCES; ++instance) {
        std::unique_ptr<CDeviceChannel> channel(new CDeviceChannel(instance));
        if (!channel->OpenDevice()) continue;
        if (cameras > 0) printf("\n");
        printf("%d: %s\n", instance, channel->DevicePath());
        printf("    %s\n", UsbIdentity(channel->m_device).c_str());
        printf("    %s\n", DriverVersion(channel->m_device).c_str());
        printf("    %s\n", DefectTables(*channel).c_str());
        ++cameras;
    }
    if (cameras == 0) printf("no cameras\n");
    return 0;
}

}  // namespace tm350::tool
