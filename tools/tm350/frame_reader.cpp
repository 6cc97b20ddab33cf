#include "tools/tm350/frame_reader.h"

#include "camera/raw_frame.h"

namespace tm350::tool {

namespace {

// As many as the pin keeps: one being read, one waiting, one being developed.
constexpr int kRawBuffers = 3;

}  // namespace

CFrameReader::CFrameReader(CDeviceChannel &channel, std::chrono::steady_clock::time_point start)
    : m_channel(channel), m_start(start) {
    for (int i = 0; i < kRawBuffers; ++i) {
        m_buffers.emplace_back(new BYTE[RAW_FRAME_SIZE]);
        m_free.push_back(m_buffers.back().get());
    }
    m_thread = std::thread([this] { Run(); });
}

CFrameReader::~CFrameReader() { Stop(); }

void CFrameReader::Run() {
    for (;;) {
        BYTE *buffer;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return m_stopping || !m_free.empty(); });
            if (m_stopping) break;
            buffer = m_free.front();
            m_free.pop_front();
        }
        const int result = m_channel.ReadFrame(buffer);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (result == 1) {
            m_events.push_back({FrameEvent::Taken, seconds, buffer});
        } else {
            m_free.push_back(buffer);
            m_events.push_back({result == 0 ? FrameEvent::Lost : FrameEvent::Failed, seconds, nullptr});
        }
        m_changed.notify_all();
        if (result < 0) break;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ended = true;
    m_changed.notify_all();
}

FrameEvent CFrameReader::Next() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_ended || !m_events.empty(); });
    if (m_events.empty()) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
        return {FrameEvent::Failed, seconds, nullptr};
    }
    FrameEvent event = m_events.front();
    if (event.kind != FrameEvent::Failed) m_events.pop_front();
    return event;
}

void CFrameReader::Release(BYTE *raw) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_free.push_back(raw);
    m_changed.notify_all();
}

void CFrameReader::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) return;
        m_stopping = true;
        m_changed.notify_all();
    }
    m_channel.EndReadFrame();
    m_thread.join();
}

}  // namespace tm350::tool
