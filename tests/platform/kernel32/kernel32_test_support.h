// Helpers shared by the kernel32 tests.
#pragma once

#include <windows.h>

#include "platform/win32/kernel32/kernel_objects.h"
#include "support/eventually.h"

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <string>
#include <utility>
#include <vector>

namespace tm350::test {

// Closes a handle at scope end.
class Handle {
public:
    explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
    ~Handle() {
        if (handle_ != nullptr) CloseHandle(handle_);
    }
    Handle(Handle &&other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    Handle &operator=(Handle &&other) noexcept {
        std::swap(handle_, other.handle_);
        return *this;
    }

    HANDLE get() const { return handle_; }
    operator HANDLE() const { return handle_; }

private:
    HANDLE handle_;
};

// Runs `body` on a CreateThread thread; its return value is the exit code.
inline HANDLE StartThread(std::function<DWORD()> body, DWORD flags = 0, DWORD *thread_id = nullptr) {
    auto *owned = new std::function<DWORD()>(std::move(body));
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID parameter) -> DWORD {
            std::unique_ptr<std::function<DWORD()>> function(static_cast<std::function<DWORD()> *>(parameter));
            return (*function)();
        },
        owned, flags, thread_id);
    if (thread == nullptr) delete owned;
    return thread;
}

inline std::vector<HANDLE> Raw(const std::vector<Handle> &handles) {
    return std::vector<HANDLE>(handles.begin(), handles.end());
}

// Sets (or, with nullopt, removes) an environment variable for a scope.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char *name, std::optional<std::string> value) : name_(name) {
        if (const char *previous = std::getenv(name)) previous_ = previous;
        if (value) {
            setenv(name, value->c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnvironment() {
        if (previous_) {
            setenv(name_.c_str(), previous_->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }

private:
    std::string name_;
    std::optional<std::string> previous_;
};

#define EXPECT_LAST_ERROR(code) EXPECT_EQ(GetLastError(), static_cast<DWORD>(code))

// Waits until `count` threads are blocked waiting on `object`.
inline bool WaitersReach(HANDLE object, size_t count) {
    return EventuallyTrue([&] { return tm350::kernel::WaiterCount(object) >= count; });
}

// Generous bound for "this should happen promptly" on a loaded machine.
constexpr DWORD kPromptly = 10000;

}  // namespace tm350::test
