#include "tools/tm350/interrupt_watch.h"

namespace tm350::tool {

namespace {

// Not one a user sends: the watch's own signal to its thread to stop.
constexpr int kStopWatching = SIGUSR1;

sigset_t WatchedSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, kStopWatching);
    return signals;
}

}  // namespace

CInterruptWatch::CInterruptWatch() {
    sigset_t signals = WatchedSignals();
    pthread_sigmask(SIG_BLOCK, &signals, &m_previousMask);
    m_thread = std::thread([this] { Watch(); });
}

CInterruptWatch::~CInterruptWatch() {
    pthread_kill(m_thread.native_handle(), kStopWatching);
    m_thread.join();
    pthread_sigmask(SIG_SETMASK, &m_previousMask, nullptr);
}

void CInterruptWatch::OnInterrupt(std::function<void()> action) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_action = std::move(action);
    if (m_interrupted.load() && m_action) m_action();
}

void CInterruptWatch::Watch() {
    sigset_t signals = WatchedSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0 || signal == kStopWatching) return;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_interrupted.exchange(true)) continue;  // a second Ctrl-C changes nothing
        if (m_action) m_action();
    }
}

}  // namespace tm350::tool
