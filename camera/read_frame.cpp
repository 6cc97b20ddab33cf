// Frame assembly from overlapped reads. The driver turns each read into one
// bulk transfer, and the camera ends a frame with a short packet, so every
// read but a frame's last returns a whole chunk and the last returns what is
// left of the frame: the length of each read is the only framing there is.
#include "camera/device_channel.h"

#include <cstring>

namespace {

enum class ReadEnd { Completed, Failed, Abandoned };

// The reads of one ReadFrame call: their events and OVERLAPPEDs live on the
// caller's stack, so register writes from other threads never share them.
class ReadSlots {
public:
    ReadSlots(HANDLE device, BYTE (*buffers)[READ_SLOT_BYTES], DWORD chunk)
        : m_device(device), m_buffers(buffers), m_chunk(chunk) {
        for (HANDLE &event : m_events) {
            event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            if (event == nullptr) m_ready = false;
        }
    }

    // Cancels what is still in flight and waits for it: nothing may land in
    // the buffers once the frame read has returned.
    ~ReadSlots() {
        for (DWORD slot = 0; slot < READ_SLOTS; ++slot) {
            if (m_inFlight[slot]) CancelIoEx(m_device, &m_overlapped[slot]);
        }
        for (DWORD slot = 0; slot < READ_SLOTS; ++slot) {
            if (!m_inFlight[slot]) continue;
            // Without a limit: a cancelled read ends when the driver gives
            // the request back, and until then the buffer is still its.
            // Each slot has an event of its own, so the wait ends only
            // with this read.
            DWORD length = 0;
            GetOverlappedResult(m_device, &m_overlapped[slot], &length, TRUE);
        }
        for (HANDLE event : m_events) {
            if (event != nullptr) CloseHandle(event);
        }
    }

    ReadSlots(const ReadSlots &) = delete;
    ReadSlots &operator=(const ReadSlots &) = delete;

    bool Ready() const { return m_ready; }

    bool Issue(DWORD slot) {
        slot %= READ_SLOTS;
        std::memset(&m_overlapped[slot], 0, sizeof m_overlapped[slot]);
        m_overlapped[slot].hEvent = m_events[slot];
        if (!ReadFile(m_device, m_buffers[slot], m_chunk, nullptr, &m_overlapped[slot]) &&
            GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        m_inFlight[slot] = true;
        return true;
    }

    // Waits up to `limit` ms for the slot's read, giving up at once when
    // `stop` is signalled. Only a Completed read has handed its buffer back;
    // a Failed one has ended without data.
    ReadEnd Await(DWORD slot, HANDLE stop, DWORD limit, DWORD *length) {
        // The stop event first: when both are signalled it must win, or a
        // stream that keeps coming would outrun EndReadFrame.
        HANDLE waits[2] = {stop, m_events[slot]};
        if (WaitForMultipleObjects(2, waits, FALSE, limit) != WAIT_OBJECT_0 + 1) return ReadEnd::Abandoned;
        *length = 0;
        if (GetOverlappedResult(m_device, &m_overlapped[slot], length, FALSE)) {
            m_inFlight[slot] = false;
            return ReadEnd::Completed;
        }
        if (GetLastError() == ERROR_IO_INCOMPLETE) return ReadEnd::Abandoned;
        m_inFlight[slot] = false;
        return ReadEnd::Failed;
    }

private:
    HANDLE m_device;
    BYTE (*m_buffers)[READ_SLOT_BYTES];
    DWORD m_chunk;
    HANDLE m_events[READ_SLOTS] = {};
    OVERLAPPED m_overlapped[READ_SLOTS] = {};
    bool m_inFlight[READ_SLOTS] = {};
    bool m_ready = true;
};

}  // namespace

// Every wait for a read is bounded by READ_WAIT_LIMIT_MS (1 s): a frame period
// is 133 ms at normal speed and 67 ms at high speed, and no single read waits
// longer than the rest of one frame plus the next one, so 1 s is more than
// seven normal-speed periods of slack. The bound also covers the first frame
// after streaming starts, when the reads were issued before the camera
// started reading out: streaming has to start within that second. A read
// that does not end in time is treated like a failed one, since a camera
// that stopped sending would otherwise hold the reading thread, and every
// stop that waits for that thread, for ever.
int CDeviceChannel::ReadFrame(BYTE *destination) {
    if (destination == nullptr || m_device == INVALID_HANDLE_VALUE || m_endReads == nullptr) return -1;
    if (m_readChunk == 0 || m_readChunk > READ_SLOT_BYTES || m_frameBytes < (READ_SLOTS - 1) * m_readChunk) {
        return -1;
    }
    if (WaitForSingleObject(m_endReads, 0) != WAIT_TIMEOUT) return -1;

    const DWORD readsPerFrame = m_frameBytes / m_readChunk + 1;
    const DWORD lastLength = m_frameBytes % m_readChunk;

    ReadSlots slots(m_device, m_readBuffers, m_readChunk);
    if (!slots.Ready()) return -1;
    for (DWORD slot = 0; slot < READ_SLOTS; ++slot) {
        if (!slots.Issue(slot)) return -1;
    }

    int result = -1;
    DWORD issued = READ_SLOTS;
    DWORD completed = 0;
    BYTE *output = destination;
    bool retried = false;
    DWORD k = 0;
    while (completed < issued) {
        completed += 1;
        const DWORD outstanding = issued - completed;
        DWORD length = 0;
        if (slots.Await(k, m_endReads, m_readWaitLimit, &length) != ReadEnd::Completed) break;

        if (completed == issued) {
            // The frame's last read: it must hold exactly the frame's tail.
            if (length == lastLength) {
                if (lastLength != 0) std::memcpy(output, m_readBuffers[k], lastLength);
                result = 1;
            } else {
                result = 0;
            }
            break;
        }
        if (length == m_readChunk) {
            std::memcpy(output, m_readBuffers[k], m_readChunk);
            output += m_readChunk;
            if (issued < readsPerFrame) {
                if (!slots.Issue(k)) break;
                issued += 1;
            }
        } else {
            // A short read in the middle ended another frame: the next read
            // starts a new one. Only one such restart per call.
            if (retried) {
                result = 0;
                break;
            }
            // Refill the slots that are free, oldest first, so that the
            // reads stay in the order the frame's bytes arrive.
            bool refilled = true;
            if (outstanding == 1) refilled = refilled && slots.Issue(k + READ_SLOTS - 2);
            if (outstanding == 1 || outstanding == 2) refilled = refilled && slots.Issue(k + READ_SLOTS - 1);
            refilled = refilled && slots.Issue(k);
            if (!refilled) break;
            issued = READ_SLOTS;
            completed = 0;
            output = destination;
            retried = true;
        }
        k = (k + 1) % READ_SLOTS;
    }
    return result;
}
