// A capture thread, as the output pin keeps one on a machine with several
// processors: it reads raw frames back to back into a few buffers of its
// own, so that a read is pending on the camera while the frame before is
// developed and written. Every outcome of a read, lost frames included,
// reaches the consumer in order.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "camera/device_channel.h"

namespace tm350::tool {

struct FrameEvent {
    enum Kind { Taken, Lost, Failed } kind;
    double seconds;  // when the read ended, since the reader was started
    BYTE *raw;       // Taken only: the frame, RAW_FRAME_SIZE bytes, until Release
};

class CFrameReader {
public:
    // Starts reading at once; `channel` must be streaming and outlive the reader.
    CFrameReader(CDeviceChannel &channel, std::chrono::steady_clock::time_point start);
    // Stop, if not done yet.
    ~CFrameReader();
    CFrameReader(const CFrameReader &) = delete;
    CFrameReader &operator=(const CFrameReader &) = delete;

    // The next outcome, waiting for it. After a Failed one the thread has
    // ended and every later call returns Failed again.
    FrameEvent Next();
    // Gives a Taken frame's buffer back for the reads to come. While every
    // buffer is out the thread waits, as the pin's does, and the camera
    // loses what it sends meanwhile.
    void Release(BYTE *raw);
    // Ends the reads (a read in progress ends at once) and the thread.
    void Stop();

private:
    void Run();

    CDeviceChannel &m_channel;
    const std::chrono::steady_clock::time_point m_start;
    std::vector<std::unique_ptr<BYTE[]>> m_buffers;
    std::mutex m_mutex;  // guards everything below
    std::condition_variable m_changed;
    std::deque<BYTE *> m_free;
    std::deque<FrameEvent> m_events;
    bool m_stopping = false;
    bool m_ended = false;
    std::thread m_thread;
};

}  // namespace tm350::tool
