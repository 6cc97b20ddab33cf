// Isochronous transfers: one packet per microframe, each with its own
// length and status.
#include "usb/host_controller.h"

#include <usbdi.h>
#include <usbdlib.h>

#include <algorithm>
#include <cstring>

namespace tm350::usb::host {

void RunIsochronous(Port &port, Pipe &pipe, std::vector<Completion> &completions, BusCounters &counters) {
    // One packet per microframe and transaction slot of this frame.
    unsigned slots = kMicroframesPerFrame;
    while (slots > 0 && !pipe.queue.empty()) {
        Transfer &transfer = pipe.queue.front();
        auto &request = transfer.urb->UrbIsochronousTransfer;
        PUCHAR data = TransferData(request.TransferBuffer, request.TransferBufferMDL);
        if (!transfer.started) {
            transfer.started = true;
            request.StartFrame = g_bus->frame;
            request.ErrorCount = 0;
        }
        while (slots > 0 && transfer.done < request.NumberOfPackets) {
            --slots;
            USBD_ISO_PACKET_DESCRIPTOR &packet = request.IsoPacket[transfer.done];
            // A packet's room runs to the next packet's offset (the buffer's
            // end for the last), never past the buffer.
            const ULONG next = std::min(transfer.done + 1 < request.NumberOfPackets
                                            ? request.IsoPacket[transfer.done + 1].Offset
                                            : request.TransferBufferLength,
                                        request.TransferBufferLength);
            const ULONG room = next > packet.Offset ? next - packet.Offset : 0;
            packet.Length = 0;
            packet.Status = USBD_STATUS_SUCCESS;
            // A high-bandwidth endpoint moves up to transactions_per_microframe
            // packets in one microframe, all into this packet; a short one ends it.
            const uint16_t max_packet = pipe.endpoint.max_packet_size;
            const unsigned transactions = std::max<unsigned>(1, pipe.endpoint.transactions_per_microframe);
            std::vector<uint8_t> &buffer = pipe.packet;
            for (unsigned transaction = 0; transaction < transactions; ++transaction) {
                const PacketResult result = port.device->InPacket(pipe.endpoint.address, buffer);
                if (result.handshake != Handshake::Ack) {
                    if (result.handshake == Handshake::NoResponse)
                        packet.Status = USBD_STATUS_DEVICE_GONE;
                    else if (transaction == 0)
                        packet.Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
                    break;
                }
                const ULONG length = std::min<ULONG>(result.length, room - packet.Length);
                if (length > 0) std::memcpy(data + packet.Offset + packet.Length, buffer.data(), length);
                packet.Length += length;
                if (result.length > length) {
                    packet.Status = USBD_STATUS_DATA_OVERRUN;
                    break;
                }
                if (result.length < max_packet) break;
            }
            if (USBD_ERROR(packet.Status)) ++request.ErrorCount;
            ++transfer.done;
        }
        if (transfer.done < request.NumberOfPackets) return;
        if (!Claim(pipe.queue)) return;
        const USBD_STATUS status =
            request.ErrorCount == request.NumberOfPackets ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS;
        Finish(transfer, status, completions, counters);
        pipe.queue.pop_front();
    }
}

// Each isochronous packet's room runs from its offset to the next packet's:
// the offsets have to ascend and stay within the buffer.
bool IsochronousLayoutValid(const struct _URB_ISOCH_TRANSFER &request) {
    ULONG previous = 0;
    for (ULONG i = 0; i < request.NumberOfPackets; ++i) {
        const ULONG offset = request.IsoPacket[i].Offset;
        if (offset < previous || offset > request.TransferBufferLength) return false;
        previous = offset;
    }
    return true;
}

}  // namespace tm350::usb::host
