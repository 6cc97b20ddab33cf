// Configurations, interface settings and their pipes; pipe and port resets.
#include "usb/host_controller.h"

#include <usbdi.h>
#include <usbdlib.h>

namespace tm350::usb::host {

// The interface descriptor for (number, alternate) in the configuration.
const USB_INTERFACE_DESCRIPTOR *FindInterface(const std::vector<uint8_t> &configuration, uint8_t number,
                                              uint8_t alternate) {
    size_t offset = 0;
    while (offset + 2 <= configuration.size()) {
        const uint8_t length = configuration[offset];
        if (length < 2 || offset + length > configuration.size()) break;
        if (configuration[offset + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto *descriptor = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(&configuration[offset]);
            if (descriptor->bInterfaceNumber == number && descriptor->bAlternateSetting == alternate) return descriptor;
        }
        offset += length;
    }
    return nullptr;
}

// Rebuilds the host's pipes from the device's active endpoints, with new
// handles; what was queued on the old pipes is cancelled.
void RebuildPipes(Port &port, std::vector<Completion> &completions, BusCounters &counters) {
    for (Pipe &pipe : port.pipes) Drain(port, pipe.queue, USBD_STATUS_CANCELED, completions, counters);
    ++port.generation;
    port.pipes.clear();
    for (const EndpointInfo &endpoint : port.device->ActiveEndpoints()) port.pipes.emplace_back(endpoint);
}

// Fills one interface record of a selection from the host's pipes.
USBD_STATUS FillInterface(Port &port, PUSBD_INTERFACE_INFORMATION information) {
    const USB_INTERFACE_DESCRIPTOR *descriptor =
        FindInterface(port.configuration, information->InterfaceNumber, information->AlternateSetting);
    if (descriptor == nullptr) return USBD_STATUS_INTERFACE_NOT_FOUND;
    const ULONG room = information->Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)
                           ? 0
                           : (information->Length - FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) /
                                 sizeof(USBD_PIPE_INFORMATION);
    if (room < descriptor->bNumEndpoints) return USBD_STATUS_BUFFER_TOO_SMALL;
    information->Class = descriptor->bInterfaceClass;
    information->SubClass = descriptor->bInterfaceSubClass;
    information->Protocol = descriptor->bInterfaceProtocol;
    information->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(
        (static_cast<uintptr_t>(port.generation) << 8) | (0x80u | descriptor->bInterfaceNumber));
    ULONG count = 0;
    for (size_t i = 0; i < port.pipes.size(); ++i) {
        const EndpointInfo &endpoint = port.pipes[i].endpoint;
        if (endpoint.interface_number != descriptor->bInterfaceNumber) continue;
        USBD_PIPE_INFORMATION &pipe = information->Pipes[count++];
        pipe.MaximumPacketSize = static_cast<USHORT>(endpoint.max_packet_size * endpoint.transactions_per_microframe);
        pipe.EndpointAddress = endpoint.address;
        pipe.Interval = endpoint.interval;
        pipe.PipeType = static_cast<USBD_PIPE_TYPE>(endpoint.type);
        pipe.PipeHandle = EncodePipe(port, i);
        if (pipe.MaximumTransferSize == 0) pipe.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        if (count == room) break;
    }
    information->NumberOfPipes = count;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS SelectConfiguration(Port &port, PURB urb, std::vector<Completion> &completions, BusCounters &counters) {
    auto &select = urb->UrbSelectConfiguration;
    const USB_CONFIGURATION_DESCRIPTOR *wanted = select.ConfigurationDescriptor;
    const uint8_t value = wanted != nullptr ? wanted->bConfigurationValue : 0;
    // The interface records, checked before anything changes: the host
    // writes pipe information into each, so none may reach past the block.
    std::vector<PUSBD_INTERFACE_INFORMATION> interfaces;
    if (wanted != nullptr) {
        PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
        PUCHAR position = reinterpret_cast<PUCHAR>(&select.Interface);
        while (position + FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
            auto *information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
            if (information->Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) break;
            if (information->Length > static_cast<size_t>(end - position)) return USBD_STATUS_INVALID_PARAMETER;
            interfaces.push_back(information);
            position += information->Length;
        }
    }
    ULONG moved;
    USBD_STATUS status =
        RunControl(*port.device, {SetupPacket{0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, 0}, nullptr, true}, &moved);
    if (USBD_ERROR(status)) return status == USBD_STATUS_STALL_PID ? USBD_STATUS_SET_CONFIG_FAILED : status;
    port.configuration_value = value;
    port.alternate_settings.clear();
    if (wanted == nullptr) {
        RebuildPipes(port, completions, counters);
        select.ConfigurationHandle = nullptr;
        return USBD_STATUS_SUCCESS;
    }
    // Interfaces asked for in another alternate setting than 0 are switched first.
    for (PUSBD_INTERFACE_INFORMATION information : interfaces) {
        port.alternate_settings[information->InterfaceNumber] = 0;
        if (information->AlternateSetting == 0) continue;
        status = RunControl(*port.device,
                            {SetupPacket{0x01, USB_REQUEST_SET_INTERFACE, information->AlternateSetting,
                                         information->InterfaceNumber, 0},
                             nullptr, true},
                            &moved);
        if (USBD_ERROR(status)) return status;
        port.alternate_settings[information->InterfaceNumber] = information->AlternateSetting;
    }
    RebuildPipes(port, completions, counters);
    for (PUSBD_INTERFACE_INFORMATION information : interfaces) {
        status = FillInterface(port, information);
        if (USBD_ERROR(status)) return status;
    }
    select.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(
        (static_cast<uintptr_t>(port.generation) << 8) | value);
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS SelectInterface(Port &port, PURB urb, std::vector<Completion> &completions, BusCounters &counters) {
    auto &select = urb->UrbSelectInterface;
    if (port.configuration_value == 0) return USBD_STATUS_INVALID_PARAMETER;
    // The record gets the pipes' information: it has to lie within the block.
    const size_t room = urb->UrbHeader.Length - FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface);
    if (select.Interface.Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) || select.Interface.Length > room)
        return USBD_STATUS_INVALID_PARAMETER;
    ULONG moved;
    const USBD_STATUS status = RunControl(*port.device,
                                          {SetupPacket{0x01, USB_REQUEST_SET_INTERFACE, select.Interface.AlternateSetting,
                                                       select.Interface.InterfaceNumber, 0},
                                           nullptr, true},
                                          &moved);
    if (USBD_ERROR(status)) return status;
    port.alternate_settings[select.Interface.InterfaceNumber] = select.Interface.AlternateSetting;
    RebuildPipes(port, completions, counters);
    return FillInterface(port, &select.Interface);
}

// Clears the host's halt and, for the functions that do, the device's.
USBD_STATUS ResetPipe(Port &port, PURB urb) {
    Pipe *pipe = FindPipe(port, urb->UrbPipeRequest.PipeHandle);
    if (pipe == nullptr) return USBD_STATUS_INVALID_PIPE_HANDLE;
    const USHORT function = urb->UrbHeader.Function;
    if (function != URB_FUNCTION_SYNC_RESET_PIPE) {
        ULONG moved;
        const USBD_STATUS status = RunControl(
            *port.device,
            {SetupPacket{0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, pipe->endpoint.address, 0}, nullptr,
             true},
            &moved);
        if (USBD_ERROR(status)) return status;
    }
    if (function != URB_FUNCTION_SYNC_CLEAR_STALL) {
        pipe->halted = false;
        pipe->scheduled = false;  // the next ASAP transfer starts afresh
    }
    return USBD_STATUS_SUCCESS;
}

// A port reset: the device starts over and the host puts back its address,
// configuration and alternate settings, so pipe handles stay valid.
USBD_STATUS ResetPort(Port &port) {
    port.device->Reset();
    ULONG moved;
    USBD_STATUS status =
        RunControl(*port.device, {SetupPacket{0x00, USB_REQUEST_SET_ADDRESS, static_cast<uint16_t>(port.number), 0, 0},
                                  nullptr, true},
                   &moved);
    if (USBD_ERROR(status) || port.configuration_value == 0) return status;
    status = RunControl(*port.device,
                        {SetupPacket{0x00, USB_REQUEST_SET_CONFIGURATION, port.configuration_value, 0, 0}, nullptr, true},
                        &moved);
    for (const auto &[interface_number, alternate_setting] : port.alternate_settings) {
        if (USBD_ERROR(status) || alternate_setting == 0) continue;
        status = RunControl(
            *port.device,
            {SetupPacket{0x01, USB_REQUEST_SET_INTERFACE, alternate_setting, interface_number, 0}, nullptr, true},
            &moved);
    }
    for (Pipe &pipe : port.pipes) pipe.halted = false;
    return status;
}

}  // namespace tm350::usb::host
