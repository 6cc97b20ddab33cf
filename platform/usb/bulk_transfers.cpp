// Bulk and interrupt transfers: packets up to the endpoint's maximum size,
// a budget of them per frame.
#include "usb/host_controller.h"

#include <usbdi.h>
#include <usbdlib.h>

#include <algorithm>
#include <cstring>

namespace tm350::usb::host {

void RunBulk(Port &port, Pipe &pipe, std::vector<Completion> &completions, BusCounters &counters) {
    for (unsigned budget = kBulkPacketsPerFrame; budget > 0 && !pipe.queue.empty();) {
        Transfer &transfer = pipe.queue.front();
        auto &request = transfer.urb->UrbBulkOrInterruptTransfer;
        const ULONG length = request.TransferBufferLength;
        PUCHAR data = TransferData(request.TransferBuffer, request.TransferBufferMDL);
        const uint16_t max_packet = pipe.endpoint.max_packet_size;
        USBD_STATUS status = USBD_STATUS_PENDING;
        if (pipe.halted) {
            status = USBD_STATUS_ENDPOINT_HALTED;
        } else if (length == 0 && !pipe.endpoint.IsIn()) {
            // A zero-length OUT transfer is one zero-length packet.
            const Handshake handshake = port.device->OutPacket(pipe.endpoint.address, {});
            --budget;
            if (handshake == Handshake::Nak) return;
            status = handshake == Handshake::Ack ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID;
        } else if (length == 0) {
            status = USBD_STATUS_SUCCESS;
        }
        while (status == USBD_STATUS_PENDING && budget > 0) {
            --budget;
            const ULONG chunk = std::min<ULONG>(max_packet, length - transfer.done);
            if (pipe.endpoint.IsIn()) {
                std::vector<uint8_t> &room = pipe.packet;
                const PacketResult result = port.device->InPacket(pipe.endpoint.address, room);
                if (result.handshake == Handshake::Nak) return;  // try again next frame
                if (result.handshake == Handshake::NoResponse) {
                    status = USBD_STATUS_DEVICE_GONE;
                    break;
                }
                if (result.handshake == Handshake::Stall) {
                    pipe.halted = true;
                    status = USBD_STATUS_STALL_PID;
                    break;
                }
                if (result.length > chunk) {
                    // More than the host asked for: the rest of the packet has nowhere to go.
                    std::memcpy(data + transfer.done, room.data(), chunk);
                    transfer.done += chunk;
                    status = USBD_STATUS_BABBLE_DETECTED;
                    break;
                }
                std::memcpy(data + transfer.done, room.data(), result.length);
                transfer.done += result.length;
                if (result.length < max_packet) {
                    const bool short_ok = (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
                    status = transfer.done == length || short_ok ? USBD_STATUS_SUCCESS : USBD_STATUS_ERROR_SHORT_TRANSFER;
                    break;
                }
            } else {
                const Handshake handshake =
                    port.device->OutPacket(pipe.endpoint.address, std::span<const uint8_t>(data + transfer.done, chunk));
                if (handshake == Handshake::Nak) return;
                if (handshake == Handshake::NoResponse) {
                    status = USBD_STATUS_DEVICE_GONE;
                    break;
                }
                if (handshake == Handshake::Stall) {
                    pipe.halted = true;
                    status = USBD_STATUS_STALL_PID;
                    break;
                }
                transfer.done += chunk;
            }
            if (transfer.done == length) status = USBD_STATUS_SUCCESS;
        }
        if (status == USBD_STATUS_PENDING) return;
        if (!Claim(pipe.queue)) return;  // being cancelled: the cancel routine reports the bytes so far
        request.TransferBufferLength = transfer.done;
        Finish(transfer, status, completions, counters);
        pipe.queue.pop_front();
    }
}

}  // namespace tm350::usb::host
