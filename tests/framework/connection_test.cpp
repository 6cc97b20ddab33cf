// Connecting the output pin: the checks that refuse a connection, media type
// negotiation, and the allocator the pin ends up with.
#include <gtest/gtest.h>

#include "framework/test_filter.h"
#include "support/temp_directory.h"

namespace framework_test {
namespace {

class Connection : public ::testing::Test {
protected:
    Connection() {
        filter_ = new TestSourceFilter(NULL, &hr_);
        filter_->NonDelegatingAddRef();
        pin_ = filter_->stream(0);
        peer_ = new TestInputPin;
        allocator_ = new TestAllocator;
        peer_->own_allocator = allocator_;
        allocator_->AddRef();
    }
    ~Connection() override {
        filter_->Stop();
        pin_->Disconnect();
        peer_->Release();
        allocator_->Release();
        filter_->NonDelegatingRelease();
    }

    HRESULT hr_ = S_OK;
    TestSourceFilter *filter_;
    TestStream *pin_;
    TestInputPin *peer_;
    TestAllocator *allocator_;
};

TEST_F(Connection, WithTheOfferedTypeUsesThePeersAllocator) {
    ASSERT_EQ(hr_, S_OK);
    peer_->requirements.cBuffers = 5;
    ASSERT_EQ(pin_->Connect(peer_, NULL), S_OK);
    EXPECT_TRUE(pin_->IsConnected());
    EXPECT_EQ(peer_->connector, static_cast<IPin *>(pin_));
    EXPECT_TRUE(peer_->connection_type == pin_->offered_type);
    EXPECT_EQ(peer_->notified_allocator, allocator_);
    EXPECT_EQ(pin_->allocator(), allocator_);
    ASSERT_EQ(pin_->decided_allocators.size(), 1u);
    // The downstream pin's requirements reach the sizing, alignment made 1.
    EXPECT_EQ(allocator_->properties().cBuffers, 5);
    EXPECT_EQ(allocator_->properties().cbAlign, 1);

    IPin *connected = NULL;
    ASSERT_EQ(pin_->ConnectedTo(&connected), S_OK);
    EXPECT_EQ(connected, peer_);
    connected->Release();
    AM_MEDIA_TYPE type;
    ASSERT_EQ(pin_->ConnectionMediaType(&type), S_OK);
    EXPECT_TRUE(static_cast<CMediaType &>(type) == pin_->offered_type);
    FreeMediaType(type);

    EXPECT_EQ(pin_->Disconnect(), S_OK);
    EXPECT_FALSE(pin_->IsConnected());
    // The allocator was decommitted and let go.
    EXPECT_EQ(allocator_->decommits(), 1);
    EXPECT_EQ(pin_->allocator(), nullptr);
    EXPECT_EQ(pin_->Disconnect(), S_FALSE);
}

TEST_F(Connection, RefusalsChangeNothing) {
    EXPECT_EQ(pin_->Connect(NULL, NULL), E_POINTER);

    auto *output = new TestInputPin;
    output->direction = PINDIR_OUTPUT;
    // The direction error says more than "no type fitted".
    EXPECT_EQ(pin_->Connect(output, NULL), VFW_E_INVALID_DIRECTION);
    EXPECT_EQ(pin_->Connect(output, &pin_->offered_type), VFW_E_INVALID_DIRECTION);
    EXPECT_EQ(output->receive_connection_calls, 0);
    output->Release();

    auto *no_memory_input = new TestInputPin;
    no_memory_input->has_memory_input = false;
    EXPECT_EQ(pin_->Connect(no_memory_input, &pin_->offered_type), E_NOINTERFACE);
    no_memory_input->Release();

    // A fully specified type the pin does not offer.
    CMediaType other = VideoType(MEDIASUBTYPE_RGB32, 1);
    EXPECT_EQ(pin_->Connect(peer_, &other), VFW_E_TYPE_NOT_ACCEPTED);
    EXPECT_EQ(peer_->receive_connection_calls, 0);

    // A partial type nothing matches.
    CMediaType audio(&MEDIATYPE_Audio);
    EXPECT_EQ(pin_->Connect(peer_, &audio), VFW_E_NO_ACCEPTABLE_TYPES);

    EXPECT_FALSE(pin_->IsConnected());
    IPin *connected = reinterpret_cast<IPin *>(1);
    EXPECT_EQ(pin_->ConnectedTo(&connected), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(connected, nullptr);
    AM_MEDIA_TYPE type;
    memset(&type, 0xAB, sizeof(type));
    EXPECT_EQ(pin_->ConnectionMediaType(&type), VFW_E_NOT_CONNECTED);
    EXPECT_TRUE(IsEqualGUID(type.majortype, GUID_NULL));
    EXPECT_EQ(type.pbFormat, nullptr);
    EXPECT_EQ(pin_->ConnectedTo(NULL), E_POINTER);
}

TEST_F(Connection, TwiceOrWhileRunningIsRefused) {
    ASSERT_EQ(pin_->Connect(peer_, NULL), S_OK);
    auto *second = new TestInputPin;
    EXPECT_EQ(pin_->Connect(second, NULL), VFW_E_ALREADY_CONNECTED);
    EXPECT_EQ(pin_->ReceiveConnection(second, &pin_->offered_type), VFW_E_ALREADY_CONNECTED);
    ASSERT_EQ(filter_->Run(0), S_OK);
    EXPECT_EQ(pin_->Disconnect(), VFW_E_NOT_STOPPED);
    EXPECT_TRUE(pin_->IsConnected());
    ASSERT_EQ(filter_->Stop(), S_OK);
    ASSERT_EQ(pin_->Disconnect(), S_OK);
    peer_->Disconnect();

    // A filter with a second, connected pin runs; the first may not connect.
    HRESULT hr = S_OK;
    auto *two = new TestSourceFilter(NULL, &hr, 2);
    two->NonDelegatingAddRef();
    ASSERT_EQ(two->stream(1)->Connect(peer_, NULL), S_OK);
    ASSERT_EQ(two->Pause(), S_OK);
    EXPECT_EQ(two->stream(0)->Connect(second, NULL), VFW_E_NOT_STOPPED);
    EXPECT_EQ(second->receive_connection_calls, 0);
    EXPECT_EQ(two->Stop(), S_OK);
    EXPECT_EQ(two->stream(1)->Disconnect(), S_OK);
    two->NonDelegatingRelease();
    second->Release();
}

TEST_F(Connection, NegotiationTakesThePeersFirstAcceptableTypeThenItsOwn) {
    CMediaType rgb32 = VideoType(MEDIASUBTYPE_RGB32, 7);
    CMediaType wanted = pin_->offered_type;
    peer_->offered_types = {rgb32, wanted};
    ASSERT_EQ(pin_->Connect(peer_, NULL), S_OK);
    EXPECT_TRUE(peer_->connection_type == wanted);
    ASSERT_EQ(pin_->Disconnect(), S_OK);
    peer_->Disconnect();

    // The peer lists nothing acceptable: the pin's own type is tried.
    peer_->offered_types = {rgb32};
    CMediaType video_only(&MEDIATYPE_Video);
    ASSERT_EQ(pin_->Connect(peer_, &video_only), S_OK);
    EXPECT_TRUE(peer_->connection_type == wanted);
}

TEST_F(Connection, APeerErrorOtherThanARefusalIsReported) {
    peer_->receive_connection_result = E_ACCESSDENIED;
    EXPECT_EQ(pin_->Connect(peer_, NULL), E_ACCESSDENIED);
    EXPECT_FALSE(pin_->IsConnected());
    peer_->receive_connection_result = VFW_E_TYPE_NOT_ACCEPTED;
    EXPECT_EQ(pin_->Connect(peer_, NULL), VFW_E_NO_ACCEPTABLE_TYPES);
    EXPECT_FALSE(pin_->IsConnected());
}

TEST_F(Connection, AFailedAllocatorDecisionUndoesTheConnectionOnBothSides) {
    pin_->decide_buffer_size_result = E_OUTOFMEMORY;
    {
        // A new machine's registry: the platform's memory allocator is
        // there, and the pin's buffer sizing refuses it.
        tm350::test::TempRegistry registry;
        EXPECT_TRUE(SUCCEEDED(CoInitializeEx(NULL, COINIT_MULTITHREADED)));
        EXPECT_EQ(pin_->Connect(peer_, NULL), E_OUTOFMEMORY);
        CoUninitialize();
    }
    EXPECT_FALSE(pin_->IsConnected());
    EXPECT_EQ(peer_->receive_connection_calls, 1);
    EXPECT_EQ(peer_->disconnects, 1);
    EXPECT_EQ(peer_->connector, nullptr);
    EXPECT_EQ(pin_->allocator(), nullptr);
}

TEST_F(Connection, ReceiveConnectionOnAnOutputPinNeedsAnInput) {
    auto *output = new TestInputPin;
    output->direction = PINDIR_OUTPUT;
    EXPECT_EQ(pin_->ReceiveConnection(NULL, &pin_->offered_type), E_POINTER);
    EXPECT_EQ(pin_->ReceiveConnection(output, NULL), E_POINTER);
    EXPECT_EQ(pin_->ReceiveConnection(output, &pin_->offered_type), VFW_E_INVALID_DIRECTION);
    EXPECT_FALSE(pin_->IsConnected());
    output->Release();
}

TEST_F(Connection, PinQueries) {
    PIN_INFO info;
    ASSERT_EQ(pin_->QueryPinInfo(&info), S_OK);
    EXPECT_EQ(info.pFilter, static_cast<IBaseFilter *>(filter_));
    EXPECT_EQ(info.dir, PINDIR_OUTPUT);
    EXPECT_EQ(lstrcmpW(info.achName, L"Out1"), 0);
    info.pFilter->Release();
    EXPECT_EQ(pin_->QueryPinInfo(NULL), E_POINTER);
    PIN_DIRECTION direction;
    EXPECT_EQ(pin_->QueryDirection(&direction), S_OK);
    EXPECT_EQ(direction, PINDIR_OUTPUT);
    EXPECT_EQ(pin_->QueryDirection(NULL), E_POINTER);

    EXPECT_EQ(pin_->QueryAccept(&pin_->offered_type), S_OK);
    CMediaType other = VideoType(MEDIASUBTYPE_RGB24, 2);
    EXPECT_EQ(pin_->QueryAccept(&other), S_FALSE);
    EXPECT_EQ(pin_->QueryAccept(NULL), E_POINTER);
    EXPECT_EQ(pin_->QueryInternalConnections(NULL, NULL), E_NOTIMPL);
    EXPECT_EQ(pin_->EndOfStream(), E_UNEXPECTED);
    EXPECT_EQ(pin_->BeginFlush(), E_UNEXPECTED);
    EXPECT_EQ(pin_->EndFlush(), E_UNEXPECTED);
    EXPECT_EQ(pin_->NewSegment(10, 20, 2.0), S_OK);
    EXPECT_EQ(pin_->CurrentStartTime(), 10);
    EXPECT_EQ(pin_->CurrentStopTime(), 20);
    EXPECT_EQ(pin_->CurrentRate(), 2.0);

    // Unconnected, nothing can be delivered.
    EXPECT_EQ(pin_->DeliverEndOfStream(), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(pin_->DeliverBeginFlush(), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(pin_->DeliverNewSegment(0, 1, 1.0), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(pin_->Deliver(NULL), VFW_E_NOT_CONNECTED);
    IMediaSample *sample = NULL;
    EXPECT_EQ(pin_->GetDeliveryBuffer(&sample, NULL, NULL, 0), E_NOINTERFACE);
}

TEST_F(Connection, QueryIdIsThePositionThatFindPinTakes) {
    HRESULT hr = S_OK;
    auto *three = new TestSourceFilter(NULL, &hr, 3);
    three->NonDelegatingAddRef();
    for (int n = 0; n < 3; n++) {
        LPWSTR id = NULL;
        ASSERT_EQ(three->stream(n)->QueryId(&id), S_OK);
        WCHAR expected[] = L"0";
        expected[0] = static_cast<WCHAR>(L'1' + n);
        EXPECT_EQ(lstrcmpW(id, expected), 0);
        IPin *found = NULL;
        ASSERT_EQ(three->FindPin(id, &found), S_OK);
        EXPECT_EQ(found, static_cast<IPin *>(three->stream(n)));
        found->Release();
        CoTaskMemFree(id);
    }
    EXPECT_EQ(three->stream(0)->QueryId(NULL), E_POINTER);
    three->NonDelegatingRelease();
}

TEST_F(Connection, MediaTypeEnumeratorListsTheSingleType) {
    IEnumMediaTypes *types = NULL;
    ASSERT_EQ(pin_->EnumMediaTypes(&types), S_OK);
    AM_MEDIA_TYPE *got[2] = {};
    ULONG fetched = 9;
    EXPECT_EQ(types->Next(2, got, NULL), E_INVALIDARG);
    EXPECT_EQ(types->Next(1, NULL, &fetched), E_POINTER);
    EXPECT_EQ(types->Next(2, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);
    EXPECT_TRUE(*static_cast<CMediaType *>(got[0]) == pin_->offered_type);
    DeleteMediaType(got[0]);
    EXPECT_EQ(types->Skip(0), S_OK);
    EXPECT_EQ(types->Reset(), S_OK);
    EXPECT_EQ(types->Skip(1), S_OK);
    EXPECT_EQ(types->Skip(1), S_FALSE);

    // A change of the pin's types puts the enumerator out of sync until reset.
    pin_->IncrementTypeVersion();
    EXPECT_EQ(types->Next(1, got, &fetched), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(types->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
    IEnumMediaTypes *clone = reinterpret_cast<IEnumMediaTypes *>(1);
    EXPECT_EQ(types->Clone(&clone), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(clone, nullptr);
    EXPECT_EQ(types->Reset(), S_OK);
    ASSERT_EQ(types->Clone(&clone), S_OK);
    EXPECT_EQ(clone->Next(1, got, NULL), S_OK);
    DeleteMediaType(got[0]);
    clone->Release();
    types->Release();
}

}  // namespace
}  // namespace framework_test
