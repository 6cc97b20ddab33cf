// The test driver testecho.so, loaded for the lifetime of the object, for
// tests written against the Win32 side only (no kernel headers).
#pragma once

#include <memory>

namespace tm350::test {

class EchoDriver {
public:
    EchoDriver();   // loads the driver; Loaded() says whether that worked
    ~EchoDriver();  // unloads it (every handle must be closed by then)
    bool Loaded() const;

    // Waits until the kernel's system worker has run what was queued,
    // such as the close of a file whose last request has just completed.
    static void FlushSystemWorker();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tm350::test
