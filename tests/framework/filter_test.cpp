// The filter: identity, its state machine over the pins, the clock, the
// graph it joins, finding and enumerating its pins.
#include <gtest/gtest.h>

#include "framework/test_filter.h"

namespace framework_test {
namespace {

class Filter : public ::testing::Test {
protected:
    explicit Filter(int pins = 2) {
        filter_ = new TestSourceFilter(NULL, &hr_, pins);
        filter_->NonDelegatingAddRef();
    }
    ~Filter() override {
        filter_->Stop();
        for (int n = 0; n < filter_->GetPinCount(); n++) filter_->stream(n)->Disconnect();
        for (TestInputPin *peer : peers_) peer->Release();
        filter_->NonDelegatingRelease();
    }
    TestInputPin *ConnectPin(int n) {
        auto *peer = new TestInputPin;
        peer->own_allocator = new TestAllocator;
        peers_.push_back(peer);
        EXPECT_EQ(filter_->stream(n)->Connect(peer, NULL), S_OK);
        return peer;
    }
    FILTER_STATE State() {
        FILTER_STATE state = State_Running;
        EXPECT_EQ(filter_->GetState(0, &state), S_OK);
        return state;
    }

    HRESULT hr_ = S_OK;
    TestSourceFilter *filter_;
    std::vector<TestInputPin *> peers_;
};

TEST_F(Filter, IdentityAndInterfaces) {
    CLSID clsid;
    EXPECT_EQ(filter_->GetClassID(&clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_TestSourceFilter));
    EXPECT_EQ(filter_->GetClassID(NULL), E_POINTER);
    EXPECT_EQ(filter_->GetState(0, NULL), E_POINTER);
    for (const IID *iid : {&IID_IBaseFilter, &IID_IMediaFilter, &IID_IPersist, &IID_IAMovieSetup}) {
        IUnknown *object = NULL;
        ASSERT_EQ(filter_->QueryInterface(*iid, reinterpret_cast<void **>(&object)), S_OK);
        object->Release();
    }
    void *none = NULL;
    EXPECT_EQ(filter_->QueryInterface(IID_IPin, &none), E_NOINTERFACE);
    LPWSTR vendor = NULL;
    EXPECT_EQ(filter_->QueryVendorInfo(&vendor), E_NOTIMPL);
    // The test filter has no setup data of its own.
    EXPECT_EQ(filter_->Register(), S_FALSE);
    EXPECT_EQ(filter_->Unregister(), S_FALSE);
}

TEST_F(Filter, RunFromStoppedPassesThroughPausedAndActivatesPinsOnce) {
    ConnectPin(0);
    TestStream *connected = filter_->stream(0);
    TestStream *unconnected = filter_->stream(1);
    EXPECT_EQ(State(), State_Stopped);
    ASSERT_EQ(filter_->Run(1000), S_OK);
    EXPECT_EQ(State(), State_Running);
    EXPECT_EQ(connected->actives, 1);
    EXPECT_EQ(unconnected->actives, 0);
    EXPECT_EQ(connected->thread_creates, 1);

    // Back to paused changes only the state.
    ASSERT_EQ(filter_->Pause(), S_OK);
    EXPECT_EQ(State(), State_Paused);
    EXPECT_EQ(connected->actives, 1);
    EXPECT_TRUE(connected->HasThread());
    ASSERT_EQ(filter_->Run(2000), S_OK);
    EXPECT_EQ(connected->actives, 1);

    ASSERT_EQ(filter_->Stop(), S_OK);
    EXPECT_EQ(State(), State_Stopped);
    EXPECT_FALSE(connected->HasThread());
    EXPECT_EQ(filter_->Stop(), S_OK);
}

TEST_F(Filter, APinThatCannotStartLeavesTheFilterStopped) {
    ConnectPin(0);
    ConnectPin(1);
    filter_->stream(1)->thread_create_result = E_OUTOFMEMORY;
    EXPECT_EQ(filter_->Run(0), E_OUTOFMEMORY);
    EXPECT_EQ(State(), State_Stopped);
    // The pin that had started is stopped again.
    EXPECT_FALSE(filter_->stream(0)->HasThread());
    EXPECT_EQ(filter_->stream(0)->thread_destroys, 1);
    EXPECT_EQ(filter_->Stop(), S_OK);
}

TEST_F(Filter, ClockAndStreamTime) {
    CRefTime now;
    EXPECT_EQ(filter_->StreamTime(now), VFW_E_NO_CLOCK);
    IReferenceClock *clock = reinterpret_cast<IReferenceClock *>(1);
    EXPECT_EQ(filter_->GetSyncSource(&clock), S_OK);
    EXPECT_EQ(clock, nullptr);
    EXPECT_EQ(filter_->GetSyncSource(NULL), E_POINTER);

    auto *test_clock = new TestClock(5000);
    ASSERT_EQ(filter_->SetSyncSource(test_clock), S_OK);
    EXPECT_EQ(test_clock->references(), 2u);
    ASSERT_EQ(filter_->Run(1200), S_OK);
    ASSERT_EQ(filter_->StreamTime(now), S_OK);
    EXPECT_EQ(now.GetUnits(), 3800);
    ASSERT_EQ(filter_->GetSyncSource(&clock), S_OK);
    EXPECT_EQ(clock, test_clock);
    clock->Release();
    ASSERT_EQ(filter_->SetSyncSource(NULL), S_OK);
    EXPECT_EQ(test_clock->references(), 1u);
    test_clock->Release();
}

TEST_F(Filter, JoiningAGraphNamesTheFilterAndFindsItsEventSink) {
    FILTER_INFO info;
    ASSERT_EQ(filter_->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(info.achName[0], 0);
    EXPECT_EQ(info.pGraph, nullptr);
    EXPECT_EQ(filter_->QueryFilterInfo(NULL), E_POINTER);
    EXPECT_EQ(filter_->NotifyEvent(EC_COMPLETE, 0, 0), E_NOTIMPL);

    auto *graph = new TestGraph;
    ASSERT_EQ(filter_->JoinFilterGraph(graph, L"Camera"), S_OK);
    // The graph is not referenced by the filter it owns.
    EXPECT_EQ(graph->references(), 1u);
    ASSERT_EQ(filter_->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(lstrcmpW(info.achName, L"Camera"), 0);
    EXPECT_EQ(info.pGraph, static_cast<IFilterGraph *>(graph));
    info.pGraph->Release();

    // A completion names the filter; other events pass as they are.
    ASSERT_EQ(filter_->NotifyEvent(EC_COMPLETE, 1, 2), S_OK);
    ASSERT_EQ(filter_->NotifyEvent(EC_ERRORABORT, 3, 4), S_OK);
    auto events = graph->events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].code, EC_COMPLETE);
    EXPECT_EQ(events[0].param1, 1);
    EXPECT_EQ(events[0].param2, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter *>(filter_)));
    EXPECT_EQ(events[1].param2, 4);

    // A name longer than the record holds is cut, terminated.
    WCHAR long_name[200];
    for (int i = 0; i < 199; i++) long_name[i] = L'a';
    long_name[199] = 0;
    ASSERT_EQ(filter_->JoinFilterGraph(graph, long_name), S_OK);
    ASSERT_EQ(filter_->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(lstrlenW(info.achName), 127);
    info.pGraph->Release();

    ASSERT_EQ(filter_->JoinFilterGraph(NULL, NULL), S_OK);
    EXPECT_EQ(filter_->NotifyEvent(EC_COMPLETE, 0, 0), E_NOTIMPL);
    graph->Release();
}

TEST_F(Filter, FindPinTakesThePinsPosition) {
    IPin *pin = NULL;
    ASSERT_EQ(filter_->FindPin(L"1", &pin), S_OK);
    EXPECT_EQ(pin, static_cast<IPin *>(filter_->stream(0)));
    pin->Release();
    ASSERT_EQ(filter_->FindPin(L"2", &pin), S_OK);
    EXPECT_EQ(pin, static_cast<IPin *>(filter_->stream(1)));
    pin->Release();
    for (LPCWSTR id : {L"3", L"0", L"", L"Out1", L"-1", L"99999999999"}) {
        pin = reinterpret_cast<IPin *>(1);
        EXPECT_EQ(filter_->FindPin(id, &pin), VFW_E_NOT_FOUND);
        EXPECT_EQ(pin, nullptr);
    }
    EXPECT_EQ(filter_->FindPin(NULL, &pin), E_POINTER);
    EXPECT_EQ(filter_->FindPin(L"1", NULL), E_POINTER);
}

TEST_F(Filter, APinHeldByACallerKeepsTheFilterAlive) {
    IPin *pin = NULL;
    ASSERT_EQ(filter_->FindPin(L"1", &pin), S_OK);
    EXPECT_EQ(filter_->references(), 2);
    pin->Release();
    EXPECT_EQ(filter_->references(), 1);
}

TEST_F(Filter, PinEnumeratorReturnsEachPinOnce) {
    IEnumPins *pins = NULL;
    ASSERT_EQ(filter_->EnumPins(&pins), S_OK);
    EXPECT_EQ(filter_->EnumPins(NULL), E_POINTER);
    IPin *got[3] = {};
    ULONG fetched = 9;
    EXPECT_EQ(pins->Next(2, got, NULL), E_INVALIDARG);
    EXPECT_EQ(pins->Next(1, NULL, NULL), E_POINTER);
    EXPECT_EQ(pins->Next(3, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(got[0], static_cast<IPin *>(filter_->stream(0)));
    EXPECT_EQ(got[1], static_cast<IPin *>(filter_->stream(1)));
    got[0]->Release();
    got[1]->Release();
    EXPECT_EQ(pins->Next(1, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(pins->Reset(), S_OK);
    EXPECT_EQ(pins->Skip(3), S_FALSE);
    EXPECT_EQ(pins->Skip(1), S_OK);
    IEnumPins *clone = NULL;
    ASSERT_EQ(pins->Clone(&clone), S_OK);
    ASSERT_EQ(clone->Next(1, got, NULL), S_OK);
    EXPECT_EQ(got[0], static_cast<IPin *>(filter_->stream(1)));
    got[0]->Release();
    clone->Release();
    pins->Release();
}

TEST_F(Filter, APinEnumeratorNoticesAPinLeaving) {
    IEnumPins *pins = NULL;
    ASSERT_EQ(filter_->EnumPins(&pins), S_OK);
    IPin *first = NULL;
    ASSERT_EQ(pins->Next(1, &first, NULL), S_OK);
    EXPECT_EQ(first, static_cast<IPin *>(filter_->stream(0)));
    first->Release();

    delete filter_->stream(1);
    EXPECT_EQ(filter_->GetPinCount(), 1);
    EXPECT_EQ(pins->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
    IEnumPins *clone = reinterpret_cast<IEnumPins *>(1);
    EXPECT_EQ(pins->Clone(&clone), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(clone, nullptr);
    // Next reads the list again and does not return the first pin twice.
    IPin *got[2] = {};
    ULONG fetched = 9;
    EXPECT_EQ(pins->Next(2, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(pins->Skip(1), S_FALSE);  // in sync again, at the end
    EXPECT_EQ(pins->Reset(), S_OK);
    EXPECT_EQ(pins->Next(2, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);
    got[0]->Release();
    pins->Release();
}

}  // namespace
}  // namespace framework_test
