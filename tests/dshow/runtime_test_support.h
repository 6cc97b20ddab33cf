// What every media runtime test needs: a registry of its own (fresh, so as
// a new machine has it) and COM on the test's thread.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <gtest/gtest.h>

#include "support/temp_directory.h"

// qedit.h leaves these to the program, as the Windows headers do.
EXTERN_C const CLSID CLSID_SampleGrabber;
EXTERN_C const CLSID CLSID_NullRenderer;

namespace tm350::test {

class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
    void TearDown() override { CoUninitialize(); }

    template <class Interface>
    Interface *Create(REFCLSID clsid, REFIID riid) {
        Interface *object = nullptr;
        EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, riid, reinterpret_cast<void **>(&object)),
                  S_OK);
        return object;
    }

    TempRegistry registry_;
};

// Releases at the end of a scope.
template <class Interface>
struct Held {
    Interface *pointer = nullptr;
    ~Held() {
        if (pointer) pointer->Release();
    }
    Interface *operator->() const { return pointer; }
    Interface **operator&() { return &pointer; }
};

}  // namespace tm350::test
