// Polling for a state a program cannot be told of otherwise, such as a
// thread having started to wait. Everything else synchronises on events.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace tm350::test {

// Polls until `condition` holds, 10 s at most; false when it never did.
inline bool EventuallyTrue(const std::function<bool()> &condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

}  // namespace tm350::test
