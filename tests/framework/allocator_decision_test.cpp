// Where the output pin's allocator comes from when the downstream pin has
// none of its own, or refuses its own: the platform's memory allocator,
// created through COM.
#include <gtest/gtest.h>

#include <string>

#include "framework/test_filter.h"
#include "support/temp_directory.h"

namespace framework_test {
namespace {

class AllocatorDecision : public ::testing::Test {
protected:
    AllocatorDecision() {
        EXPECT_TRUE(SUCCEEDED(CoInitializeEx(NULL, COINIT_MULTITHREADED)));
        RegisterMemoryAllocatorDouble();
        filter_ = new TestSourceFilter(NULL, &hr_);
        filter_->NonDelegatingAddRef();
        pin_ = filter_->stream(0);
        peer_ = new TestInputPin;
    }
    ~AllocatorDecision() override {
        pin_->Disconnect();
        peer_->Release();
        filter_->NonDelegatingRelease();
        CoUninitialize();
    }

    void RegisterMemoryAllocatorDouble() {
        std::string path = (tm350::test::LibDirectory() / "memory_allocator_double.so").string();
        WCHAR clsid[39];
        ASSERT_EQ(StringFromGUID2(CLSID_MemoryAllocator, clsid, 39), 39);
        std::string subkey = "CLSID\\";
        for (WCHAR c : clsid) {
            if (c != 0) subkey += static_cast<char>(c);
        }
        subkey += "\\InprocServer32";
        HKEY key = NULL;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, subkey.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, NULL, 0, REG_SZ, reinterpret_cast<const BYTE *>(path.c_str()),
                                 static_cast<DWORD>(path.size() + 1)),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    tm350::test::TempRegistry registry_;
    HRESULT hr_ = S_OK;
    TestSourceFilter *filter_;
    TestStream *pin_;
    TestInputPin *peer_;
};

TEST_F(AllocatorDecision, APeerWithoutAnAllocatorGetsTheMemoryAllocator) {
    peer_->requirements.cBuffers = 4;
    ASSERT_EQ(pin_->Connect(peer_, NULL), S_OK);
    ASSERT_NE(peer_->notified_allocator, nullptr);
    EXPECT_EQ(peer_->notified_allocator, pin_->allocator());
    // The peer had nothing to size, so the created allocator was sized once.
    ASSERT_EQ(pin_->decided_allocators.size(), 1u);
    EXPECT_EQ(pin_->decided_allocators[0], pin_->allocator());
    ALLOCATOR_PROPERTIES properties = {};
    ASSERT_EQ(pin_->allocator()->GetProperties(&properties), S_OK);
    EXPECT_EQ(properties.cBuffers, 4);
    EXPECT_EQ(properties.cbBuffer, 64);
    EXPECT_EQ(properties.cbAlign, 1);
}

TEST_F(AllocatorDecision, APeerThatRefusesItsOwnAllocatorIsSizedTwice) {
    auto *own = new TestAllocator;
    peer_->own_allocator = own;
    own->AddRef();
    // A committed allocator refuses new properties, so sizing the peer's
    // own fails and the pin turns to a memory allocator.
    ASSERT_EQ(own->Commit(), S_OK);
    ASSERT_EQ(pin_->Connect(peer_, NULL), S_OK);
    ASSERT_EQ(pin_->decided_allocators.size(), 2u);
    EXPECT_EQ(pin_->decided_allocators[0], own);
    EXPECT_NE(pin_->decided_allocators[1], own);
    EXPECT_EQ(pin_->allocator(), pin_->decided_allocators[1]);
    EXPECT_EQ(peer_->notified_allocator, pin_->allocator());
    // The refused allocator is not kept.
    EXPECT_EQ(own->references(), 2u);
    own->Release();
}

TEST_F(AllocatorDecision, AnAllocatorNobodyTakesFailsTheConnection) {
    peer_->notify_allocator_result = E_NOTIMPL;
    EXPECT_EQ(pin_->Connect(peer_, NULL), E_NOTIMPL);
    EXPECT_FALSE(pin_->IsConnected());
    EXPECT_EQ(pin_->allocator(), nullptr);
    EXPECT_EQ(peer_->disconnects, 1);
}

}  // namespace
}  // namespace framework_test
