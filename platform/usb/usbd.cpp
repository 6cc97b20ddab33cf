// usbd.sys, the USB stack's library for function drivers: descriptor parsing
// and the select-configuration request block.
#include <ntddk.h>
#include <usbdi.h>
#include <usbdlib.h>

#include <atomic>

#include "usb/usbd_version.h"

namespace {

constexpr ULONG kUsbdTag = 'D' | ('B' << 8) | ('S' << 16) | ('U' << 24);  // "USBD" in a pool dump

std::atomic<ULONG> g_UsbdiVersion{0x600};

PUCHAR End(PUSB_CONFIGURATION_DESCRIPTOR configuration) {
    return reinterpret_cast<PUCHAR>(configuration) + configuration->wTotalLength;
}

}  // namespace

namespace tm350::usb {
void SetUsbdiVersion(ULONG version) { g_UsbdiVersion = version; }
}  // namespace tm350::usb

extern "C" VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    if (VersionInformation == NULL) return;
    VersionInformation->USBDI_Version = g_UsbdiVersion;
    VersionInformation->Supported_USB_Version = 0x200;
}

// A descriptor whose length is 0, or that runs past the buffer, ends the walk:
// nothing behind it can be trusted.
extern "C" PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                              PVOID StartPosition, LONG DescriptorType) {
    PUCHAR end = static_cast<PUCHAR>(DescriptorBuffer) + TotalLength;
    PUCHAR position = static_cast<PUCHAR>(StartPosition);
    while (position + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        PUSB_COMMON_DESCRIPTOR descriptor = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(position);
        if (descriptor->bLength < sizeof(USB_COMMON_DESCRIPTOR) || position + descriptor->bLength > end) return NULL;
        if (descriptor->bDescriptorType == DescriptorType) return descriptor;
        position += descriptor->bLength;
    }
    return NULL;
}

extern "C" PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
    if (ConfigurationDescriptor == NULL) return NULL;
    PVOID position = StartPosition;
    for (;;) {
        PUSB_COMMON_DESCRIPTOR found = USBD_ParseDescriptors(
            ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength, position, USB_INTERFACE_DESCRIPTOR_TYPE);
        if (found == NULL || found->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) return NULL;
        PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
        auto matches = [](LONG wanted, UCHAR value) { return wanted == -1 || wanted == value; };
        if (matches(InterfaceNumber, interfaceDescriptor->bInterfaceNumber) &&
            matches(AlternateSetting, interfaceDescriptor->bAlternateSetting) &&
            matches(InterfaceClass, interfaceDescriptor->bInterfaceClass) &&
            matches(InterfaceSubClass, interfaceDescriptor->bInterfaceSubClass) &&
            matches(InterfaceProtocol, interfaceDescriptor->bInterfaceProtocol))
            return interfaceDescriptor;
        position = reinterpret_cast<PUCHAR>(found) + found->bLength;
        if (static_cast<PUCHAR>(position) >= End(ConfigurationDescriptor)) return NULL;
    }
}

extern "C" PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                        PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    if (ConfigurationDescriptor == NULL || InterfaceList == NULL) return NULL;
    // Each interface gets room for at least one pipe, as the stack's own
    // layout does, so an interface without endpoints still has its record.
    SIZE_T size = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != NULL; ++entry) {
        const ULONG pipes = entry->InterfaceDescriptor->bNumEndpoints;
        size += GET_USBD_INTERFACE_SIZE(pipes > 0 ? pipes : 1);
    }
    if (size > 0xFFFF) return NULL;
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag));
    if (urb == NULL) return NULL;
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    PUCHAR position = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != NULL; ++entry) {
        const ULONG pipes = entry->InterfaceDescriptor->bNumEndpoints;
        const SIZE_T record = GET_USBD_INTERFACE_SIZE(pipes > 0 ? pipes : 1);
        PUSBD_INTERFACE_INFORMATION information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
        // Length spans the whole record: the stack steps to the next one by it.
        information->Length = static_cast<USHORT>(record);
        information->InterfaceNumber = entry->InterfaceDescriptor->bInterfaceNumber;
        information->AlternateSetting = entry->InterfaceDescriptor->bAlternateSetting;
        information->NumberOfPipes = pipes;
        for (ULONG i = 0; i < pipes; ++i) information->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        entry->Interface = information;
        position += record;
    }
    return urb;
}
