// A reference to a COM object held for the lifetime of a scope or a member,
// as the graph tests hold filters, pins and the graph's interfaces.
#pragma once

#include <unknwn.h>

#include <utility>

namespace tm350::test {

template <class T>
class ComPtr {
public:
    ComPtr() = default;
    // Takes a new reference to `object`.
    ComPtr(T *object) : object_(object) {
        if (object_ != nullptr) object_->AddRef();
    }
    ComPtr(const ComPtr &other) : ComPtr(other.object_) {}
    ComPtr(ComPtr &&other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ~ComPtr() { Reset(); }

    ComPtr &operator=(ComPtr other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }

    // Adopts a reference the caller already owns (an interface a COM call
    // returned through an out parameter).
    static ComPtr Adopt(T *object) {
        ComPtr result;
        result.object_ = object;
        return result;
    }

    void Reset() {
        if (object_ != nullptr) std::exchange(object_, nullptr)->Release();
    }
    // For out parameters: drops the current reference first.
    T **Receive() {
        Reset();
        return &object_;
    }
    // Hands the reference to the caller.
    [[nodiscard]] T *Detach() { return std::exchange(object_, nullptr); }

    T *Get() const { return object_; }
    T *operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    T *object_ = nullptr;
};

}  // namespace tm350::test
