// How the output pin sizes the allocator of a downstream pin that states
// requirements of its own or grants less than it is asked for.
#include "capture_module_fixture.h"

#include "framework/test_doubles.h"

namespace filter_test {
namespace {

using framework_test::TestAllocator;
using framework_test::TestInputPin;

// Grants buffers one byte shorter than asked.
class ShortAllocator final : public TestAllocator {
public:
    STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES *pRequest, ALLOCATOR_PROPERTIES *pActual) override {
        HRESULT hr = TestAllocator::SetProperties(pRequest, pActual);
        pActual->cbBuffer -= 1;
        return hr;
    }
};

class AllocatorSizing : public CaptureModuleTest {
protected:
    void SetUp() override {
        CaptureModuleTest::SetUp();
        filter_ = CreateFilter();
        ASSERT_TRUE(filter_);
        pin_ = OutputPin(filter_.Get());
        ASSERT_TRUE(pin_);
        peer_ = new TestInputPin();
    }
    void TearDown() override {
        pin_->Disconnect();
        peer_->Disconnect();
        peer_->Release();
        pin_.Reset();
        filter_.Reset();
        CaptureModuleTest::TearDown();
    }

    Ref<IBaseFilter> filter_;
    Ref<IPin> pin_;
    TestInputPin *peer_ = nullptr;
};

TEST_F(AllocatorSizing, APeersBufferCountIsKeptAndEachBufferHoldsAPicture) {
    auto *allocator = new TestAllocator();
    peer_->own_allocator = allocator;
    peer_->requirements.cBuffers = 5;
    peer_->requirements.cbBuffer = 100;
    peer_->requirements.cbAlign = 16;
    ASSERT_EQ(pin_->Connect(peer_, nullptr), S_OK);
    ALLOCATOR_PROPERTIES asked = allocator->properties();
    EXPECT_EQ(asked.cBuffers, 5);
    EXPECT_EQ(asked.cbBuffer, 2359296);
    EXPECT_EQ(asked.cbAlign, 16);
    EXPECT_EQ(peer_->notified_allocator, allocator);
}

TEST_F(AllocatorSizing, AnAllocatorThatGrantsShorterBuffersIsNotUsed) {
    auto *allocator = new ShortAllocator();
    peer_->own_allocator = allocator;
    ASSERT_EQ(pin_->Connect(peer_, nullptr), S_OK);
    EXPECT_EQ(allocator->set_properties_calls(), 1);
    // The pin fell back to a memory allocator of its own, with full buffers.
    ASSERT_NE(peer_->notified_allocator, nullptr);
    EXPECT_NE(peer_->notified_allocator, allocator);
    ALLOCATOR_PROPERTIES granted = {};
    ASSERT_EQ(peer_->notified_allocator->GetProperties(&granted), S_OK);
    EXPECT_EQ(granted.cBuffers, 3);
    EXPECT_GE(granted.cbBuffer, 2359296);
}

}  // namespace
}  // namespace filter_test
