// The COM plumbing every runtime object shares: reference counting that
// keeps the module loaded while objects live, and a holder for interface
// references.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <utility>

namespace tm350::dshow {

// Objects and server locks alive in this module; DllCanUnloadNow answers
// S_OK only at zero. Each runtime module has its own count.
void AddModuleReference();
void ReleaseModuleReference();
bool ModuleInUse();

// Implements AddRef and Release for every interface the object derives
// from; the object answers QueryInterface itself. Objects start with one
// reference, owned by whoever created them. No aggregation.
template <class... Interfaces>
class ComObject : public Interfaces... {
public:
    ComObject() { AddModuleReference(); }
    ComObject(const ComObject &) = delete;
    ComObject &operator=(const ComObject &) = delete;
    virtual ~ComObject() { ReleaseModuleReference(); }

    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

protected:
    // Hands out `pointer` with a reference, as QueryInterface does.
    template <class Interface>
    HRESULT Give(Interface *pointer, void **object) {
        pointer->AddRef();
        *object = pointer;
        return S_OK;
    }

    std::atomic<ULONG> references_{1};
};

// One counted reference to an interface.
template <class Interface>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(Interface *pointer) : held_(pointer) {  // adds a reference
        if (held_) held_->AddRef();
    }
    ComPtr(const ComPtr &other) : ComPtr(other.held_) {}
    ComPtr(ComPtr &&other) noexcept : held_(std::exchange(other.held_, nullptr)) {}
    ComPtr &operator=(ComPtr other) {
        std::swap(held_, other.held_);
        return *this;
    }
    ~ComPtr() { Reset(); }

    // Takes over a reference the caller owns.
    static ComPtr Adopt(Interface *pointer) {
        ComPtr adopted;
        adopted.held_ = pointer;
        return adopted;
    }
    void Reset() {
        if (held_) std::exchange(held_, nullptr)->Release();
    }
    // For out parameters: releases what is held and gives the slot.
    Interface **Receive() {
        Reset();
        return &held_;
    }
    [[nodiscard]] Interface *Detach() { return std::exchange(held_, nullptr); }

    Interface *Get() const { return held_; }
    Interface *operator->() const { return held_; }
    explicit operator bool() const { return held_ != nullptr; }

private:
    Interface *held_ = nullptr;
};

}  // namespace tm350::dshow
