// What the capture module's tests share: a registry of their own with the
// module registered in it, COM on the test's thread, and the module's
// objects created as an application creates them, by class identifier.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "filter/invc480.h"
#include "filter/nvc480_identity.h"
#include "support/temp_directory.h"

// qedit.h leaves these to the program, as the Windows headers do.
EXTERN_C const CLSID CLSID_NullRenderer;

namespace filter_test {

// A reference released at the end of its scope.
template <class T>
class Ref {
public:
    Ref() = default;
    ~Ref() { Reset(); }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept {
        if (this != &other) {
            Reset();
            object_ = other.object_;
            other.object_ = nullptr;
        }
        return *this;
    }
    void Reset() {
        if (object_ != nullptr) object_->Release();
        object_ = nullptr;
    }
    T **Receive() {
        Reset();
        return &object_;
    }
    void **ReceiveVoid() { return reinterpret_cast<void **>(Receive()); }
    T *Get() const { return object_; }
    T *operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    T *object_ = nullptr;
};

// The native module of a build instance (0 or 2), in the build tree.
std::filesystem::path ModulePath(int instance);

// Loads the module and calls one of its exported entry points without
// arguments (DllRegisterServer, DllUnregisterServer).
HRESULT CallModuleEntry(const std::filesystem::path &module, const char *entry);

std::u16string Text(LPCWSTR text);

class CaptureModuleTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A new filter of instance 0 (or 2) through CoCreateInstance.
    Ref<IBaseFilter> CreateFilter(int instance = 0);
    // The filter's only pin.
    static Ref<IPin> OutputPin(IBaseFilter *filter);
    template <class T>
    static Ref<T> Query(IUnknown *object, REFIID iid) {
        Ref<T> result;
        object->QueryInterface(iid, result.ReceiveVoid());
        return result;
    }

    tm350::test::TempRegistry registry_;
};

// A graph with the filter connected straight to a null renderer.
class ConnectedGraph {
public:
    explicit ConnectedGraph(IBaseFilter *filter);
    HRESULT connect_result() const { return connect_result_; }
    IGraphBuilder *graph() const { return graph_.Get(); }
    IMediaControl *control() const { return control_.Get(); }
    IPin *renderer_input() const { return renderer_input_.Get(); }

private:
    Ref<IGraphBuilder> graph_;
    Ref<IMediaControl> control_;
    Ref<IBaseFilter> renderer_;
    Ref<IPin> renderer_input_;
    HRESULT connect_result_ = E_FAIL;
};

}  // namespace filter_test
