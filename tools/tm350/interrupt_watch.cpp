#include "tools/tm350/interrupt_watch.h"

#include <unistd.h>

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
        if (m_interrupted.exchange(true)) {
            // The clean stop waits on the camera, and a camera that never
            // answers a control transfer holds it for ever: a second Ctrl-C
            // is the way out, as it would be without the watch.
            static const char kMessage[] = "tm350: interrupted again, ending without stopping the camera\n";
            ssize_t ignored = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
            (void)ignored;
            _exit(kExitInterrupted);
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_action) m_action();
    }
}

}  // namespace tm350::tool
