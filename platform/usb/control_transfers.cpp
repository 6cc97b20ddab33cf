// Control transfers on endpoint 0: the SETUP packet each control URB stands
// for, the transfer itself, and the queue of requests that need endpoint 0.
#include "usb/host_controller.h"

#include <usbdi.h>
#include <usbdlib.h>

#include <algorithm>
#include <cstring>

namespace tm350::usb::host {

bool ControlSetupOf(PURB urb, ControlSpec *spec) {
    const USHORT function = urb->UrbHeader.Function;
    auto vendorClass = [&](uint8_t type, uint8_t recipient) {
        auto &r = urb->UrbControlVendorClassRequest;
        const bool in = USBD_TRANSFER_DIRECTION_FLAG(r.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
        spec->setup.bmRequestType = static_cast<uint8_t>((in ? 0x80 : 0) | (type << 5) | recipient);
        spec->setup.bRequest = r.Request;
        spec->setup.wValue = r.Value;
        spec->setup.wIndex = r.Index;
        spec->setup.wLength = static_cast<uint16_t>(r.TransferBufferLength);
        spec->data = TransferData(r.TransferBuffer, r.TransferBufferMDL);
        spec->short_ok = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        spec->too_long = r.TransferBufferLength > 0xFFFF;
        return true;
    };
    auto descriptor = [&](uint8_t recipient) {
        auto &r = urb->UrbControlDescriptorRequest;
        spec->setup = {static_cast<uint8_t>(0x80 | recipient), USB_REQUEST_GET_DESCRIPTOR,
                       static_cast<uint16_t>(r.DescriptorType << 8 | r.Index), r.LanguageId,
                       static_cast<uint16_t>(r.TransferBufferLength)};
        spec->data = TransferData(r.TransferBuffer, r.TransferBufferMDL);
        spec->too_long = r.TransferBufferLength > 0xFFFF;
        return true;
    };
    auto feature = [&](uint8_t recipient, uint8_t request) {
        auto &r = urb->UrbControlFeatureRequest;
        spec->setup = {recipient, request, r.FeatureSelector, r.Index, 0};
        return true;
    };
    switch (function) {
    case URB_FUNCTION_VENDOR_DEVICE: return vendorClass(2, 0);
    case URB_FUNCTION_VENDOR_INTERFACE: return vendorClass(2, 1);
    case URB_FUNCTION_VENDOR_ENDPOINT: return vendorClass(2, 2);
    case URB_FUNCTION_VENDOR_OTHER: return vendorClass(2, 3);
    case URB_FUNCTION_CLASS_DEVICE: return vendorClass(1, 0);
    case URB_FUNCTION_CLASS_INTERFACE: return vendorClass(1, 1);
    case URB_FUNCTION_CLASS_ENDPOINT: return vendorClass(1, 2);
    case URB_FUNCTION_CLASS_OTHER: return vendorClass(1, 3);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return descriptor(0);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE: return descriptor(1);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: return descriptor(2);
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE: return feature(0, USB_REQUEST_SET_FEATURE);
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE: return feature(1, USB_REQUEST_SET_FEATURE);
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT: return feature(2, USB_REQUEST_SET_FEATURE);
    case URB_FUNCTION_SET_FEATURE_TO_OTHER: return feature(3, USB_REQUEST_SET_FEATURE);
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE: return feature(0, USB_REQUEST_CLEAR_FEATURE);
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE: return feature(1, USB_REQUEST_CLEAR_FEATURE);
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: return feature(2, USB_REQUEST_CLEAR_FEATURE);
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER: return feature(3, USB_REQUEST_CLEAR_FEATURE);
    case URB_FUNCTION_CONTROL_TRANSFER: {
        auto &r = urb->UrbControlTransfer;
        spec->setup = SetupPacket::FromBytes(std::span<const uint8_t, 8>(r.SetupPacket, 8));
        spec->setup.wLength = static_cast<uint16_t>(std::min<ULONG>(r.TransferBufferLength, spec->setup.wLength));
        spec->data = TransferData(r.TransferBuffer, r.TransferBufferMDL);
        spec->short_ok = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        return true;
    }
    default: return false;
    }
}

// Runs one control transfer on the device; the data stage goes through a
// buffer of exactly wLength bytes. Returns the USB status and the bytes moved.
// An empty data stage has no storage at all, so nothing is copied for it
// (memcpy must not see a null pointer, even for no bytes).
USBD_STATUS RunControl(UsbDevice &device, const ControlSpec &spec, ULONG *moved) {
    std::vector<uint8_t> stage(spec.setup.wLength);
    const bool in = spec.setup.Direction() == TransferDirection::DeviceToHost;
    if (!in && spec.data != nullptr && !stage.empty()) std::memcpy(stage.data(), spec.data, stage.size());
    const ControlResult result = device.ControlTransfer(spec.setup, stage);
    *moved = 0;
    // No answer at all is a transaction error, as a host controller reports
    // it; endpoint 0 is not left halted (the next SETUP starts afresh).
    if (result.status == ControlStatus::NoResponse) return USBD_STATUS_XACT_ERROR;
    if (result.status == ControlStatus::Stall) return USBD_STATUS_STALL_PID;
    // A device never replies more than wLength; the copy trusts only the stage.
    const size_t length = std::min<size_t>(result.length, stage.size());
    *moved = static_cast<ULONG>(length);
    if (in && spec.data != nullptr && length > 0) std::memcpy(spec.data, stage.data(), length);
    if (in && !spec.short_ok && result.length < spec.setup.wLength) return USBD_STATUS_ERROR_SHORT_TRANSFER;
    return USBD_STATUS_SUCCESS;
}

ULONG *TransferLengthOf(PURB urb) {
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_CONTROL_TRANSFER: return &urb->UrbControlTransfer.TransferBufferLength;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: return &urb->UrbControlDescriptorRequest.TransferBufferLength;
    default: return &urb->UrbControlVendorClassRequest.TransferBufferLength;
    }
}

void RunControlQueue(Port &port, std::vector<Completion> &completions, BusCounters &counters) {
    while (!port.control.empty()) {
        if (!Claim(port.control)) return;  // its cancel routine completes it
        Transfer transfer = port.control.front();
        port.control.pop_front();
        if (!port.plugged) {
            Abandon(transfer, USBD_STATUS_DEVICE_GONE, completions, counters);
            continue;
        }
        USBD_STATUS status;
        if (transfer.urb == nullptr) {
            status = ResetPort(port);
        } else {
            switch (transfer.urb->UrbHeader.Function) {
            case URB_FUNCTION_SELECT_CONFIGURATION: status = SelectConfiguration(port, transfer.urb, completions, counters); break;
            case URB_FUNCTION_SELECT_INTERFACE: status = SelectInterface(port, transfer.urb, completions, counters); break;
            case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            case URB_FUNCTION_SYNC_RESET_PIPE:
            case URB_FUNCTION_SYNC_CLEAR_STALL: status = ResetPipe(port, transfer.urb); break;
            default: {
                ControlSpec spec;
                ControlSetupOf(transfer.urb, &spec);
                ULONG moved;
                status = RunControl(*port.device, spec, &moved);
                if (spec.setup.wLength != 0 || moved != 0) *TransferLengthOf(transfer.urb) = moved;
                break;
            }
            }
        }
        Finish(transfer, status, completions, counters);
    }
}

}  // namespace tm350::usb::host
