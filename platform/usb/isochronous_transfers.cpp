// Isochronous transfers: one packet per microframe, each with its own
// length and status.
#include "usb/host_controller.h"

#include <usbdi.h>
#include <usbdlib.h>

#include <algorithm>
#include <cstring>

namespace tm350::usb::host {

namespace {

// Frames a transfer of `packets` packets spans: one packet per microframe.
uint32_t FramesOf(ULONG packets) { return (packets + kMicroframesPerFrame - 1) / kMicroframesPerFrame; }

// Signed distance from frame `from` to frame `to`, across the counter's wrap.
int32_t FramesBetween(uint32_t from, uint32_t to) { return static_cast<int32_t>(to - from); }

}  // namespace

// The start frame, as the Windows stack takes it. The stack keeps each
// pipe's schedule: a USBD_START_ISO_TRANSFER_ASAP transfer starts in the
// frame after the pipe's previous transfer, whether that frame is still to
// come or has passed (the packets whose microframes have gone by are then
// late and not sent); only the first on a pipe since it was opened or reset,
// or one that comes USBD_ISO_START_FRAME_RANGE (1024) frames or more after
// the previous transfer's end, starts afresh in the next frame. StartFrame
// reports the frame. Without the flag, StartFrame says where the transfer
// starts and must lie within USBD_ISO_START_FRAME_RANGE frames of the
// current one (USBD_STATUS_BAD_START_FRAME otherwise); late packets are not
// sent (USBD_STATUS_ISO_NOT_ACCESSED_LATE) either way.
USBD_STATUS ScheduleIsochronous(Pipe &pipe, struct _URB_ISOCH_TRANSFER &request, uint32_t current_frame) {
    request.ErrorCount = 0;
    if ((request.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) == 0) {
        const int32_t distance = FramesBetween(current_frame, request.StartFrame);
        if (distance <= -static_cast<int32_t>(USBD_ISO_START_FRAME_RANGE) ||
            distance >= static_cast<int32_t>(USBD_ISO_START_FRAME_RANGE))
            return USBD_STATUS_BAD_START_FRAME;
    } else if (pipe.scheduled &&
               FramesBetween(pipe.next_frame, current_frame) < static_cast<int32_t>(USBD_ISO_START_FRAME_RANGE)) {
        request.StartFrame = pipe.next_frame;
    } else {
        request.StartFrame = current_frame + 1;
    }
    pipe.scheduled = true;
    pipe.next_frame = request.StartFrame + FramesOf(request.NumberOfPackets);
    return USBD_STATUS_SUCCESS;
}

// Packet i of a transfer belongs to microframe i % 8 of frame StartFrame + i / 8.
// In each frame the host sends the packets that belong to it, in order
// across the pipe's transfers; a packet whose microframe has passed, or that
// another transfer already used, is late.
void RunIsochronous(Port &port, Pipe &pipe, std::vector<Completion> &completions, BusCounters &counters) {
    const uint32_t frame = g_bus->frame;
    unsigned microframe = 0;  // the first microframe of this frame still free
    while (!pipe.queue.empty()) {
        Transfer &transfer = pipe.queue.front();
        auto &request = transfer.urb->UrbIsochronousTransfer;
        PUCHAR data = TransferData(request.TransferBuffer, request.TransferBufferMDL);
        while (transfer.done < request.NumberOfPackets) {
            const int32_t packet_frame = FramesBetween(frame, request.StartFrame + transfer.done / kMicroframesPerFrame);
            const unsigned packet_microframe = transfer.done % kMicroframesPerFrame;
            if (packet_frame > 0) return;  // its frame is still to come
            USBD_ISO_PACKET_DESCRIPTOR &packet = request.IsoPacket[transfer.done];
            packet.Length = 0;
            ++transfer.done;
            if (packet_frame < 0 || packet_microframe < microframe) {
                packet.Status = USBD_STATUS_ISO_NOT_ACCESSED_LATE;
                ++request.ErrorCount;
                continue;
            }
            microframe = packet_microframe + 1;
            packet.Status = USBD_STATUS_SUCCESS;
            // A packet's room runs to the next packet's offset (the buffer's
            // end for the last), never past the buffer.
            const ULONG next = std::min(transfer.done < request.NumberOfPackets ? request.IsoPacket[transfer.done].Offset
                                                                                 : request.TransferBufferLength,
                                        request.TransferBufferLength);
            const ULONG room = next > packet.Offset ? next - packet.Offset : 0;
            // A high-bandwidth endpoint moves up to transactions_per_microframe
            // packets in one microframe, all into this packet; a short one ends it.
            const uint16_t max_packet = pipe.endpoint.max_packet_size;
            const unsigned transactions = std::max<unsigned>(1, pipe.endpoint.transactions_per_microframe);
            std::vector<uint8_t> &buffer = pipe.packet;
            for (unsigned transaction = 0; transaction < transactions; ++transaction) {
                const PacketResult result = port.device->InPacket(pipe.endpoint.address, buffer);
                if (result.handshake != Handshake::Ack) {
                    // No answer at all is a transaction error; isochronous
                    // endpoints have no halt, so the stream goes on.
                    if (result.handshake == Handshake::NoResponse)
                        packet.Status = USBD_STATUS_XACT_ERROR;
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
        }
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
