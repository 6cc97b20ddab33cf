// Ctrl-C (SIGINT) and SIGTERM for a command that holds a camera: instead of
// ending the process where it stands, the first signal runs an action on a
// thread of its own, and the command stops its camera cleanly. A second one
// ends the process at once with kExitInterrupted.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

namespace tm350::tool {

// What a shell reports for a command ended by Ctrl-C.
constexpr int kExitInterrupted = 130;

class CInterruptWatch {
public:
    // Blocks the two signals in this thread and so in every thread it starts
    // from now on, which is why a command makes this before it opens a
    // device (opening one starts the simulated machine's threads).
    CInterruptWatch();
    // Stops watching and unblocks the signals; one that arrived meanwhile
    // then ends the process as usual.
    ~CInterruptWatch();
    CInterruptWatch(const CInterruptWatch &) = delete;
    CInterruptWatch &operator=(const CInterruptWatch &) = delete;

    bool Interrupted() const { return m_interrupted.load(); }
    // The action for the next signal, run on the watching thread, or at once
    // when a signal came already. Replacing it (with nullptr, say) returns
    // only when a running action has finished, so what the action uses may
    // be destroyed right after.
    void OnInterrupt(std::function<void()> action);

private:
    void Watch();

    sigset_t m_previousMask;
    std::atomic<bool> m_interrupted{false};
    std::mutex m_mutex;  // guards m_action and its runs
    std::function<void()> m_action;
    std::thread m_thread;
};

}  // namespace tm350::tool
