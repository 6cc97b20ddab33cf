// Bulk and interrupt transfers: packets up to the endpoint's maximum size,
// a budget of them per frame.
#include "usb/host_controller.h"

#include <usbdi.h>
#include <usbdlib.h>

#include <algorithm>
#include <cstring>

namespace tm350::usb::host {

namespace {

// The status of a transaction the device did not acknowledge. A device that
// does not answer at all (unplugged, not yet noticed by the hub) is a
// transaction error, as a host controller reports it after its retries.
USBD_STATUS HandshakeError(Handshake handshake) {
    return handshake == Handshake::Stall ? USBD_STATUS_STALL_PID : USBD_STATUS_XACT_ERROR;
}

}  // namespace

// Errors whose status has both top bits set (USBD_HALTED: stall, transaction
// error, babble ...) halt the endpoint, as the Windows stack does: the
// transfer fails, and every transfer after it fails with
// USBD_STATUS_ENDPOINT_HALTED until the client resets the pipe
// (URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL or URB_FUNCTION_SYNC_RESET_PIPE).
//
// A short packet ends an IN transfer. Without USBD_SHORT_TRANSFER_OK a
// transfer that ends short fails with USBD_STATUS_ERROR_SHORT_TRANSFER,
// reporting the bytes that arrived; that status is an error that does not
// halt (its top bits are 10), so the endpoint goes on without a reset.
void RunBulk(Port &port, Pipe &pipe, std::vector<Completion> &completions, BusCounters &counters) {
    for (unsigned budget = kBulkPacketsPerFrame; budget > 0 && !pipe.queue.empty();) {
        Transfer &transfer = pipe.queue.front();
        if (transfer.ended) return;  // its cancel routine completes it
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
            status = handshake == Handshake::Ack ? USBD_STATUS_SUCCESS : HandshakeError(handshake);
        } else if (length == 0) {
            status = USBD_STATUS_SUCCESS;
        }
        while (status == USBD_STATUS_PENDING && budget > 0) {
            // A cancelled transfer gets no more transactions; its cancel
            // routine (armed, since the transfer is not claimed) completes it
            // with the bytes moved so far.
            if (__atomic_load_n(&transfer.irp->Cancel, __ATOMIC_SEQ_CST)) return;
            --budget;
            const ULONG chunk = std::min<ULONG>(max_packet, length - transfer.done);
            if (pipe.endpoint.IsIn()) {
                std::vector<uint8_t> &room = pipe.packet;
                const PacketResult result = port.device->InPacket(pipe.endpoint.address, room);
                if (result.handshake == Handshake::Nak) return;  // try again next frame
                if (result.handshake != Handshake::Ack) {
                    status = HandshakeError(result.handshake);
                    break;
                }
                if (result.length > chunk) {
                    // More than the host asked for: the rest of the packet has nowhere to go.
                    std::memcpy(data + transfer.done, room.data(), chunk);
                    transfer.done += chunk;
                    status = USBD_STATUS_BABBLE_DETECTED;
                    break;
                }
                if (result.length > 0) std::memcpy(data + transfer.done, room.data(), result.length);
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
                if (handshake != Handshake::Ack) {
                    status = HandshakeError(handshake);
                    break;
                }
                transfer.done += chunk;
            }
            if (transfer.done == length) status = USBD_STATUS_SUCCESS;
        }
        if (status == USBD_STATUS_PENDING) return;
        if (USBD_HALTED(status)) pipe.halted = true;
        if (!Claim(pipe.queue)) {
            // Being cancelled: the cancel routine reports the bytes so far.
            transfer.ended = true;
            return;
        }
        request.TransferBufferLength = transfer.done;
        Finish(transfer, status, completions, counters);
        pipe.queue.pop_front();
    }
}

}  // namespace tm350::usb::host
