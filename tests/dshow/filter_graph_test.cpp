// The filter graph manager, driven as an application drives it, with the
// small test filters of graph_test_filters.h.
#include "dshow/graph_test_filters.h"
#include "runtime_test_support.h"

#include <gtest/gtest.h>

#include <thread>

namespace tm350::test {
namespace {

class FilterGraphBuilding : public RuntimeTest {};
class FilterGraphState : public RuntimeTest {};
class FilterGraphEvents : public RuntimeTest {};

template <class Interface>
ComPtr<Interface> Query(IUnknown *object, REFIID iid) {
    ComPtr<Interface> result;
    object->QueryInterface(iid, reinterpret_cast<void **>(result.Receive()));
    return result;
}

struct Graph {
    Graph() {
        EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph2,
                                   reinterpret_cast<void **>(builder.Receive())),
                  S_OK);
        control = Query<IMediaControl>(builder.Get(), IID_IMediaControl);
        events = Query<IMediaEventEx>(builder.Get(), IID_IMediaEventEx);
        sink = Query<IMediaEventSink>(builder.Get(), IID_IMediaEventSink);
        media_filter = Query<IMediaFilter>(builder.Get(), IID_IMediaFilter);
    }
    FILTER_STATE State(LONG timeout_ms, HRESULT *result = nullptr) {
        OAFilterState state = -1;
        HRESULT hr = control->GetState(timeout_ms, &state);
        if (result != nullptr) *result = hr;
        return static_cast<FILTER_STATE>(state);
    }
    ComPtr<IFilterGraph2> builder;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEventEx> events;
    ComPtr<IMediaEventSink> sink;
    ComPtr<IMediaFilter> media_filter;
};

std::u16string NameOf(IBaseFilter *filter) {
    FILTER_INFO info{};
    filter->QueryFilterInfo(&info);
    if (info.pGraph != nullptr) info.pGraph->Release();
    return std::u16string(reinterpret_cast<const char16_t *>(info.achName));
}

// A source delivering `samples` into a sink, connected in `graph`.
struct Chain {
    Chain(Graph &graph, std::shared_ptr<CallLog> log, SourceOptions options = {}, Cueing cueing = Cueing::Off)
        : source(Make<PushSource>("source", log, options)), sink(Make<TestSink>("sink", log, cueing)) {
        EXPECT_EQ(graph.builder->AddFilter(source.Get(), L"source"), S_OK);
        EXPECT_EQ(graph.builder->AddFilter(sink.Get(), L"sink"), S_OK);
        EXPECT_EQ(graph.builder->ConnectDirect(source->pin(0), sink->pin(0), nullptr), S_OK);
    }
    ComPtr<PushSource> source;
    ComPtr<TestSink> sink;
};

// --- building ------------------------------------------------------------

TEST_F(FilterGraphBuilding, NamesAreUniqueAndADuplicateGetsASuffix) {
    Graph graph;
    auto first = Make<TestSink>("first", nullptr);
    auto second = Make<TestSink>("second", nullptr);
    auto third = Make<TestSink>("third", nullptr);
    EXPECT_EQ(graph.builder->AddFilter(first.Get(), L"Renderer"), S_OK);
    EXPECT_EQ(graph.builder->AddFilter(second.Get(), L"Renderer"), VFW_S_DUPLICATE_NAME);
    EXPECT_EQ(graph.builder->AddFilter(third.Get(), L"Renderer"), VFW_S_DUPLICATE_NAME);
    EXPECT_EQ(first->joined_name(), u"Renderer");
    EXPECT_EQ(second->joined_name(), u"Renderer 0001");
    EXPECT_EQ(third->joined_name(), u"Renderer 0002");
    EXPECT_EQ(first->graph(), static_cast<IFilterGraph *>(graph.builder.Get()));

    IBaseFilter *found = nullptr;
    EXPECT_EQ(graph.builder->FindFilterByName(L"Renderer 0001", &found), S_OK);
    EXPECT_EQ(found, static_cast<IBaseFilter *>(second.Get()));
    found->Release();
    EXPECT_EQ(graph.builder->FindFilterByName(L"Renderer 0003", &found), VFW_E_NOT_FOUND);
    EXPECT_EQ(found, nullptr);

    EXPECT_EQ(graph.builder->AddFilter(first.Get(), L"Again"), E_INVALIDARG) << "one filter, one name";
    EXPECT_EQ(graph.builder->AddFilter(nullptr, L"x"), E_POINTER);
}

TEST_F(FilterGraphBuilding, AFilterWithoutANameGetsOne) {
    Graph graph;
    auto first = Make<TestSink>("first", nullptr);
    auto second = Make<TestSink>("second", nullptr);
    EXPECT_EQ(graph.builder->AddFilter(first.Get(), nullptr), S_OK);
    EXPECT_EQ(graph.builder->AddFilter(second.Get(), nullptr), S_OK) << "the graph chose both names";
    EXPECT_FALSE(first->joined_name().empty());
    EXPECT_NE(first->joined_name(), second->joined_name());
    EXPECT_EQ(NameOf(second.Get()), second->joined_name());
}

TEST_F(FilterGraphBuilding, EnumerationListsFiltersInOrderAndNoticesChanges) {
    Graph graph;
    auto a = Make<TestSink>("a", nullptr);
    auto b = Make<TestSink>("b", nullptr);
    graph.builder->AddFilter(a.Get(), L"a");
    graph.builder->AddFilter(b.Get(), L"b");
    ComPtr<IEnumFilters> enumerator;
    ASSERT_EQ(graph.builder->EnumFilters(enumerator.Receive()), S_OK);
    IBaseFilter *filters[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(enumerator->Next(3, filters, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(filters[0], static_cast<IBaseFilter *>(a.Get()));
    EXPECT_EQ(filters[1], static_cast<IBaseFilter *>(b.Get()));
    filters[0]->Release();
    filters[1]->Release();

    auto c = Make<TestSink>("c", nullptr);
    graph.builder->AddFilter(c.Get(), L"c");
    EXPECT_EQ(enumerator->Reset(), S_OK);
    graph.builder->RemoveFilter(a.Get());
    EXPECT_EQ(enumerator->Next(1, filters, &fetched), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(enumerator->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(enumerator->Reset(), S_OK);
    EXPECT_EQ(enumerator->Skip(1), S_OK);
    EXPECT_EQ(enumerator->Next(1, filters, nullptr), S_OK);
    EXPECT_EQ(filters[0], static_cast<IBaseFilter *>(c.Get()));
    filters[0]->Release();
    EXPECT_EQ(enumerator->Next(2, filters, nullptr), E_INVALIDARG) << "more than one needs a count";
}

TEST_F(FilterGraphBuilding, RemovingAFilterDisconnectsBothEndsAndLetsItGo) {
    Graph graph;
    auto log = std::make_shared<CallLog>();
    Chain chain(graph, log);
    log->Take();
    EXPECT_EQ(graph.builder->RemoveFilter(chain.sink.Get()), S_OK);
    EXPECT_EQ(log->Take(), std::vector<std::string>{"sink:Leave"});
    IPin *peer = nullptr;
    EXPECT_EQ(chain.source->pin(0)->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(chain.sink->pin(0)->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(chain.sink->graph(), nullptr);
    IBaseFilter *found = nullptr;
    EXPECT_EQ(graph.builder->FindFilterByName(L"sink", &found), VFW_E_NOT_FOUND);
    EXPECT_EQ(graph.builder->RemoveFilter(chain.sink.Get()), E_FAIL) << "no longer in the graph";
}

TEST_F(FilterGraphBuilding, RemovingAFilterFromARunningGraphStopsIt) {
    Graph graph;
    auto log = std::make_shared<CallLog>();
    Chain chain(graph, log, {.samples = 1});
    ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
    EXPECT_EQ(graph.builder->RemoveFilter(chain.source.Get()), S_OK);
    EXPECT_EQ(chain.source->state(), State_Stopped);
    EXPECT_EQ(graph.control->Stop(), S_OK);
}

TEST_F(FilterGraphBuilding, ConnectDirectJoinsTwoPinsOfTheGraphAndDisconnectBreaksOneEnd) {
    Graph graph;
    auto source = Make<PushSource>("source", nullptr, SourceOptions{});
    auto sink = Make<TestSink>("sink", nullptr);
    auto stranger = Make<TestSink>("stranger", nullptr);
    graph.builder->AddFilter(source.Get(), L"source");
    graph.builder->AddFilter(sink.Get(), L"sink");
    EXPECT_EQ(graph.builder->ConnectDirect(source->pin(0), stranger->pin(0), nullptr), VFW_E_NOT_IN_GRAPH);
    EXPECT_EQ(graph.builder->ConnectDirect(nullptr, sink->pin(0), nullptr), E_POINTER);

    AM_MEDIA_TYPE audio{};
    audio.majortype = MEDIATYPE_Audio;
    EXPECT_EQ(graph.builder->ConnectDirect(source->pin(0), sink->pin(0), &audio), VFW_E_TYPE_NOT_ACCEPTED)
        << "the pins' own answer";
    AM_MEDIA_TYPE video{};
    video.majortype = MEDIATYPE_Video;
    ASSERT_EQ(graph.builder->ConnectDirect(source->pin(0), sink->pin(0), &video), S_OK);
    EXPECT_EQ(graph.builder->ConnectDirect(source->pin(0), sink->pin(0), nullptr), VFW_E_ALREADY_CONNECTED);

    EXPECT_EQ(graph.builder->Disconnect(sink->pin(0)), S_OK);
    IPin *peer = nullptr;
    EXPECT_EQ(sink->pin(0)->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
    ASSERT_EQ(source->pin(0)->ConnectedTo(&peer), S_OK) << "the other end stays until it is disconnected too";
    peer->Release();
    EXPECT_EQ(graph.builder->Disconnect(source->pin(0)), S_OK);
    EXPECT_EQ(graph.builder->Disconnect(source->pin(0)), S_FALSE);
}

TEST_F(FilterGraphBuilding, AConnectionThatWouldCloseACircleIsRefused) {
    Graph graph;
    auto first = Make<PassThroughFilter>("first", nullptr, MEDIATYPE_Video, MEDIATYPE_Video);
    auto second = Make<PassThroughFilter>("second", nullptr, MEDIATYPE_Video, MEDIATYPE_Video);
    graph.builder->AddFilter(first.Get(), L"first");
    graph.builder->AddFilter(second.Get(), L"second");
    EXPECT_EQ(graph.builder->ConnectDirect(first->pin(1), first->pin(0), nullptr), VFW_E_CIRCULAR_GRAPH);
    ASSERT_EQ(graph.builder->ConnectDirect(first->pin(1), second->pin(0), nullptr), S_OK);
    EXPECT_EQ(graph.builder->ConnectDirect(second->pin(1), first->pin(0), nullptr), VFW_E_CIRCULAR_GRAPH);
    IPin *peer = nullptr;
    EXPECT_EQ(second->pin(1)->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
}

TEST_F(FilterGraphBuilding, ConnectPutsAFilterOfTheGraphBetweenPinsThatDoNotMatch) {
    Graph graph;
    auto source = Make<PushSource>("source", nullptr, SourceOptions{}, MEDIATYPE_Video);
    auto sink = Make<TestSink>("sink", nullptr, Cueing::Off, MEDIATYPE_Audio);
    graph.builder->AddFilter(source.Get(), L"source");
    graph.builder->AddFilter(sink.Get(), L"sink");
    EXPECT_EQ(graph.builder->Connect(source->pin(0), sink->pin(0)), VFW_E_CANNOT_CONNECT);

    auto converter = Make<PassThroughFilter>("converter", nullptr, MEDIATYPE_Video, MEDIATYPE_Audio);
    graph.builder->AddFilter(converter.Get(), L"converter");
    ASSERT_EQ(graph.builder->Connect(source->pin(0), sink->pin(0)), S_OK);
    ComPtr<IPin> peer;
    ASSERT_EQ(source->pin(0)->ConnectedTo(peer.Receive()), S_OK);
    EXPECT_EQ(peer.Get(), converter->pin(0));
    ASSERT_EQ(sink->pin(0)->ConnectedTo(peer.Receive()), S_OK);
    EXPECT_EQ(peer.Get(), converter->pin(1));
}

TEST_F(FilterGraphBuilding, RenderConnectsAnOutputToARendererOfTheGraph) {
    Graph graph;
    auto source = Make<PushSource>("source", nullptr, SourceOptions{}, MEDIATYPE_Video);
    graph.builder->AddFilter(source.Get(), L"source");
    EXPECT_EQ(graph.builder->Render(source->pin(0)), VFW_E_CANNOT_RENDER) << "nothing to render with";

    auto audio_sink = Make<TestSink>("audio", nullptr, Cueing::Off, MEDIATYPE_Audio);
    auto converter = Make<PassThroughFilter>("converter", nullptr, MEDIATYPE_Video, MEDIATYPE_Audio);
    graph.builder->AddFilter(converter.Get(), L"converter");
    EXPECT_EQ(graph.builder->Render(source->pin(0)), VFW_E_CANNOT_RENDER) << "a branch with no end";
    IPin *peer = nullptr;
    EXPECT_EQ(source->pin(0)->ConnectedTo(&peer), VFW_E_NOT_CONNECTED) << "and it was taken apart";

    graph.builder->AddFilter(audio_sink.Get(), L"audio");
    ASSERT_EQ(graph.builder->Render(source->pin(0)), S_OK);
    ComPtr<IPin> connected;
    ASSERT_EQ(audio_sink->pin(0)->ConnectedTo(connected.Receive()), S_OK);
    EXPECT_EQ(connected.Get(), converter->pin(1));
    EXPECT_EQ(graph.builder->Render(source->pin(0)), VFW_E_ALREADY_CONNECTED);
}

// --- state changes -------------------------------------------------------

TEST_F(FilterGraphState, StateChangesReachFiltersDownstreamFirst) {
    Graph graph;
    auto log = std::make_shared<CallLog>();
    auto source = Make<PushSource>("source", log, SourceOptions{.samples = 0});
    auto middle = Make<PassThroughFilter>("middle", log, MEDIATYPE_Video, MEDIATYPE_Video);
    auto sink = Make<TestSink>("sink", log);
    // Added upstream first, so the order cannot come from the list alone.
    graph.builder->AddFilter(source.Get(), L"source");
    graph.builder->AddFilter(middle.Get(), L"middle");
    graph.builder->AddFilter(sink.Get(), L"sink");
    ASSERT_EQ(graph.builder->ConnectDirect(source->pin(0), middle->pin(0), nullptr), S_OK);
    ASSERT_EQ(graph.builder->ConnectDirect(middle->pin(1), sink->pin(0), nullptr), S_OK);
    log->Take();

    EXPECT_EQ(graph.control->Run(), S_OK);
    EXPECT_EQ(log->Take(), (std::vector<std::string>{"sink:Pause", "middle:Pause", "source:Pause", "sink:Run",
                                                     "middle:Run", "source:Run"}))
        << "run from stopped goes through pause";
    EXPECT_EQ(graph.control->Pause(), S_OK);
    EXPECT_EQ(log->Take(), (std::vector<std::string>{"sink:Pause", "middle:Pause", "source:Pause"}));
    EXPECT_EQ(graph.control->Stop(), S_OK);
    EXPECT_EQ(log->Take(), (std::vector<std::string>{"sink:Stop", "middle:Stop", "source:Stop"}));
    EXPECT_EQ(graph.control->Stop(), S_OK);
    EXPECT_TRUE(log->Take().empty()) << "stopping a stopped graph changes nothing";
}

TEST_F(FilterGraphState, GetStateReportsTheIntermediateStateUntilTheRendererHasCued) {
    Graph graph;
    Chain chain(graph, nullptr, {.samples = 1, .gated = true}, Cueing::On);
    EXPECT_EQ(graph.control->Pause(), S_FALSE) << "the renderer has no sample yet";
    HRESULT hr = E_FAIL;
    EXPECT_EQ(graph.State(0, &hr), State_Paused);
    EXPECT_EQ(hr, VFW_S_STATE_INTERMEDIATE);
    EXPECT_EQ(graph.State(20, &hr), State_Paused);
    EXPECT_EQ(hr, VFW_S_STATE_INTERMEDIATE) << "a time-out ends the wait";

    chain.source->Open();
    EXPECT_EQ(graph.State(INFINITE, &hr), State_Paused);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(graph.control->Stop(), S_OK);
    EXPECT_EQ(graph.State(0, &hr), State_Stopped);
    EXPECT_EQ(hr, S_OK);
    OAFilterState state;
    EXPECT_EQ(graph.control->GetState(0, nullptr), E_POINTER);
    (void)state;
}

TEST_F(FilterGraphState, StopReturnsWhileTheSourceIsBlockedDelivering) {
    Graph graph;
    Chain chain(graph, nullptr, {.samples = 5}, Cueing::On);
    EXPECT_TRUE(SUCCEEDED(graph.control->Pause()));
    HRESULT hr = E_FAIL;
    graph.State(INFINITE, &hr);
    ASSERT_EQ(hr, S_OK);
    ASSERT_TRUE(chain.sink->holding_sample() || chain.sink->received() == 1);
    EXPECT_EQ(graph.control->Stop(), S_OK);
    EXPECT_EQ(chain.source->state(), State_Stopped);
    EXPECT_LE(chain.source->delivered(), 1);
}

TEST_F(FilterGraphState, RunGivesFiltersAStartTimeJustAheadOfTheClock) {
    Graph graph;
    Chain chain(graph, nullptr, {.samples = 0});
    EXPECT_EQ(graph.control->Pause(), S_OK);
    ComPtr<IReferenceClock> clock;
    ASSERT_EQ(graph.media_filter->GetSyncSource(clock.Receive()), S_OK);
    ASSERT_TRUE(clock) << "the graph chose a clock at its first pause";
    EXPECT_EQ(chain.source->clock().Get(), clock.Get());
    EXPECT_EQ(chain.sink->clock().Get(), clock.Get());
    REFERENCE_TIME before = 0;
    clock->GetTime(&before);
    EXPECT_EQ(graph.control->Run(), S_OK);
    REFERENCE_TIME after = 0;
    clock->GetTime(&after);
    EXPECT_GT(chain.source->start_time(), before);
    EXPECT_EQ(chain.source->start_time(), chain.sink->start_time());
    EXPECT_LE(chain.source->start_time(), after + 1000 * 10000) << "a small latency, not a second";
    EXPECT_EQ(graph.media_filter->SetSyncSource(nullptr), VFW_E_NOT_STOPPED);
    EXPECT_EQ(graph.control->Stop(), S_OK);
}

TEST_F(FilterGraphState, AFilterClockIsPreferredAndNoClockMeansStartTimeZero) {
    Graph graph;
    auto log = std::make_shared<CallLog>();
    auto clock_filter = Make<ClockFilter>("clock", log);
    graph.builder->AddFilter(clock_filter.Get(), L"clock");
    EXPECT_EQ(graph.control->Pause(), S_OK);
    ComPtr<IReferenceClock> clock;
    graph.media_filter->GetSyncSource(clock.Receive());
    EXPECT_EQ(clock.Get(), static_cast<IReferenceClock *>(clock_filter.Get()));
    EXPECT_EQ(graph.control->Stop(), S_OK);

    Graph unclocked;
    Chain chain(unclocked, nullptr, {.samples = 0});
    EXPECT_EQ(unclocked.media_filter->SetSyncSource(nullptr), S_OK);
    EXPECT_EQ(unclocked.control->Run(), S_OK);
    unclocked.media_filter->GetSyncSource(clock.Receive());
    EXPECT_FALSE(clock) << "no default clock after the application chose none";
    EXPECT_EQ(chain.source->start_time(), 0);
    EXPECT_EQ(unclocked.control->Stop(), S_OK);
}

TEST_F(FilterGraphState, AFilterThatCannotPauseLeavesTheWholeGraphStopped) {
    Graph graph;
    auto log = std::make_shared<CallLog>();
    Chain chain(graph, log, {.samples = 0});
    chain.source->FailPause(E_OUTOFMEMORY);
    log->Take();
    EXPECT_EQ(graph.control->Run(), E_OUTOFMEMORY);
    EXPECT_EQ(log->Take(), (std::vector<std::string>{"sink:Pause", "source:Pause", "sink:Stop", "source:Stop"}));
    HRESULT hr = E_FAIL;
    EXPECT_EQ(graph.State(0, &hr), State_Stopped);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(chain.sink->state(), State_Stopped);
    chain.source->FailPause(S_OK);
    EXPECT_EQ(graph.control->Run(), S_OK) << "and it can run once the filter can";
    EXPECT_EQ(graph.control->Stop(), S_OK);
}

TEST_F(FilterGraphState, WhatNeedsAStoppedGraphFailsWhileItRunsAndChangesNothing) {
    Graph graph;
    Chain chain(graph, nullptr, {.samples = 1, .gated = true});
    auto spare = Make<TestSink>("spare", nullptr);
    graph.builder->AddFilter(spare.Get(), L"spare");
    ASSERT_EQ(graph.control->Run(), S_OK);
    ComPtr<IReferenceClock> clock;
    graph.media_filter->GetSyncSource(clock.Receive());

    EXPECT_EQ(graph.media_filter->SetSyncSource(nullptr), VFW_E_NOT_STOPPED);
    EXPECT_EQ(graph.builder->SetDefaultSyncSource(), VFW_E_NOT_STOPPED);
    EXPECT_EQ(graph.builder->Disconnect(chain.sink->pin(0)), VFW_E_NOT_STOPPED);
    EXPECT_EQ(graph.builder->ConnectDirect(chain.source->pin(0), spare->pin(0), nullptr), VFW_E_ALREADY_CONNECTED);
    LONG code = 0;
    EXPECT_EQ(graph.events->WaitForCompletion(0, &code), E_ABORT) << "running, but no end yet";

    ComPtr<IReferenceClock> unchanged;
    graph.media_filter->GetSyncSource(unchanged.Receive());
    EXPECT_EQ(unchanged.Get(), clock.Get());
    ComPtr<IPin> peer;
    EXPECT_EQ(chain.sink->pin(0)->ConnectedTo(peer.Receive()), S_OK);
    EXPECT_EQ(graph.State(0), State_Running);
    EXPECT_EQ(graph.control->Stop(), S_OK);
}

// --- events --------------------------------------------------------------

TEST_F(FilterGraphEvents, TheEventHandleIsSetExactlyWhileEventsWait) {
    Graph graph;
    OAEVENT handle_value = 0;
    ASSERT_EQ(graph.events->GetEventHandle(&handle_value), S_OK);
    HANDLE handle = reinterpret_cast<HANDLE>(handle_value);
    EXPECT_EQ(WaitForSingleObject(handle, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    LONG code = 0;
    LONG_PTR param1 = 0, param2 = 0;
    EXPECT_EQ(graph.events->GetEvent(&code, &param1, &param2, 0), E_ABORT);

    graph.sink->Notify(EC_USER + 1, 11, 12);
    graph.sink->Notify(EC_USER + 2, 21, 22);
    EXPECT_EQ(WaitForSingleObject(handle, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    ASSERT_EQ(graph.events->GetEvent(&code, &param1, &param2, 0), S_OK);
    EXPECT_EQ(code, EC_USER + 1);
    EXPECT_EQ(param1, 11);
    EXPECT_EQ(WaitForSingleObject(handle, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "one still waits";
    ASSERT_EQ(graph.events->GetEvent(&code, &param1, &param2, 0), S_OK);
    EXPECT_EQ(param2, 22);
    EXPECT_EQ(WaitForSingleObject(handle, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(graph.events->FreeEventParams(code, param1, param2), S_OK);
}

TEST_F(FilterGraphEvents, GetEventWaitsForAnEventFromAnotherThread) {
    Graph graph;
    std::thread notifier([&] { graph.sink->Notify(EC_USER, 1, 2); });
    LONG code = 0;
    LONG_PTR param1 = 0, param2 = 0;
    EXPECT_EQ(graph.events->GetEvent(&code, &param1, &param2, INFINITE), S_OK);
    EXPECT_EQ(code, EC_USER);
    notifier.join();
}

TEST_F(FilterGraphEvents, WaitForCompletionNeedsARunningGraph) {
    Graph graph;
    Chain chain(graph, nullptr, {.samples = 1, .gated = true});
    LONG code = -1;
    EXPECT_EQ(graph.events->WaitForCompletion(0, &code), VFW_E_WRONG_STATE);
    EXPECT_EQ(code, 0);
    ASSERT_EQ(graph.control->Run(), S_OK);
    EXPECT_EQ(graph.events->WaitForCompletion(10, &code), E_ABORT);
    EXPECT_EQ(code, 0);
    std::thread stopper([&] { graph.control->Stop(); });
    EXPECT_EQ(graph.events->WaitForCompletion(INFINITE, &code), VFW_E_WRONG_STATE) << "a stop ends the wait";
    stopper.join();
}

TEST_F(FilterGraphEvents, CompleteComesOnceEveryRendererHasSeenTheEndOfItsStream) {
    Graph graph;
    auto first_source = Make<PushSource>("first source", nullptr, SourceOptions{.samples = 2});
    auto second_source = Make<PushSource>("second source", nullptr, SourceOptions{.samples = 2, .gated = true});
    auto first_sink = Make<TestSink>("first sink", nullptr);
    auto second_sink = Make<TestSink>("second sink", nullptr);
    for (IBaseFilter *filter : std::initializer_list<IBaseFilter *>{first_source.Get(), second_source.Get(),
                                                                      first_sink.Get(), second_sink.Get()}) {
        graph.builder->AddFilter(filter, nullptr);
    }
    graph.builder->ConnectDirect(first_source->pin(0), first_sink->pin(0), nullptr);
    graph.builder->ConnectDirect(second_source->pin(0), second_sink->pin(0), nullptr);
    ASSERT_EQ(graph.control->Run(), S_OK);
    first_sink->WaitForEndOfStream();
    LONG code = 0;
    LONG_PTR param1 = 0, param2 = 0;
    EXPECT_EQ(graph.events->GetEvent(&code, &param1, &param2, 0), E_ABORT) << "one renderer is still going";

    second_source->Open();
    ASSERT_EQ(graph.events->WaitForCompletion(INFINITE, &code), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    EXPECT_EQ(first_sink->received() + second_sink->received(), 4);
    graph.sink->Notify(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter *>(first_sink.Get())));
    EXPECT_EQ(graph.events->GetEvent(&code, &param1, &param2, 0), E_ABORT) << "only one EC_COMPLETE";
    EXPECT_EQ(graph.control->Stop(), S_OK);
}

TEST_F(FilterGraphEvents, WithoutDefaultHandlingEachRendererCompletionArrives) {
    Graph graph;
    Chain chain(graph, nullptr, {.samples = 1});
    EXPECT_EQ(graph.events->CancelDefaultHandling(EC_COMPLETE), S_OK);
    EXPECT_EQ(graph.events->CancelDefaultHandling(EC_USER), E_INVALIDARG);
    ASSERT_EQ(graph.control->Run(), S_OK);
    LONG code = 0;
    LONG_PTR param1 = 0, param2 = 0;
    ASSERT_EQ(graph.events->GetEvent(&code, &param1, &param2, INFINITE), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    EXPECT_EQ(param2, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter *>(chain.sink.Get())));
    EXPECT_EQ(graph.control->Stop(), S_OK);
    EXPECT_EQ(graph.events->RestoreDefaultHandling(EC_COMPLETE), S_OK);
}

TEST_F(FilterGraphEvents, AFilterFailingMidStreamEndsTheGraphWithErrorAbort) {
    Graph graph;
    Chain chain(graph, nullptr, {.samples = 5, .fail_after = 2});
    ASSERT_EQ(graph.control->Run(), S_OK);
    LONG code = 0;
    ASSERT_EQ(graph.events->WaitForCompletion(INFINITE, &code), S_OK);
    EXPECT_EQ(code, EC_ERRORABORT);
    EXPECT_EQ(chain.sink->received(), 2);
    EXPECT_EQ(graph.control->Stop(), S_OK);
}

TEST_F(FilterGraphEvents, RunPauseStopAHundredTimesDeliversEverySample) {
    Graph graph;
    Chain chain(graph, nullptr, {.samples = 3}, Cueing::On);
    for (int round = 1; round <= 100; ++round) {
        HRESULT hr = graph.control->Pause();
        ASSERT_TRUE(SUCCEEDED(hr)) << round;
        graph.State(INFINITE, &hr);
        ASSERT_EQ(hr, S_OK) << round;
        ASSERT_EQ(graph.control->Run(), S_OK) << round;
        LONG code = 0;
        ASSERT_EQ(graph.events->WaitForCompletion(INFINITE, &code), S_OK) << round;
        ASSERT_EQ(code, EC_COMPLETE) << round;
        ASSERT_EQ(chain.sink->received(), 3 * round) << round;
        ASSERT_EQ(graph.control->Stop(), S_OK) << round;
    }
}

TEST_F(FilterGraphEvents, ReleasingTheGraphStopsAndReleasesItsFilters) {
    auto log = std::make_shared<CallLog>();
    auto source = Make<PushSource>("source", log, SourceOptions{.samples = 1, .gated = true});
    auto sink = Make<TestSink>("sink", log);
    {
        Graph graph;
        graph.builder->AddFilter(source.Get(), L"source");
        graph.builder->AddFilter(sink.Get(), L"sink");
        graph.builder->ConnectDirect(source->pin(0), sink->pin(0), nullptr);
        ASSERT_EQ(graph.control->Run(), S_OK);
        log->Take();
    }
    std::vector<std::string> calls = log->Take();
    EXPECT_EQ(calls, (std::vector<std::string>{"sink:Stop", "source:Stop", "sink:Leave", "source:Leave"}));
    IPin *peer = nullptr;
    EXPECT_EQ(source->pin(0)->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
}

// The runtime's own renderer in place of the test sink: Render finds it in
// the graph, and its end of stream completes the graph.
TEST_F(FilterGraphEvents, AGraphRenderedToTheNullRendererCompletes) {
    Graph graph;
    auto source = Make<PushSource>("source", nullptr, SourceOptions{.samples = 4});
    ComPtr<IBaseFilter> renderer;
    ASSERT_EQ(CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               reinterpret_cast<void **>(renderer.Receive())),
              S_OK);
    graph.builder->AddFilter(source.Get(), L"source");
    graph.builder->AddFilter(renderer.Get(), L"renderer");
    ASSERT_EQ(graph.builder->Render(source->pin(0)), S_OK);
    for (int round = 1; round <= 3; ++round) {
        ASSERT_EQ(graph.control->Run(), S_OK) << round;
        LONG code = 0;
        ASSERT_EQ(graph.events->WaitForCompletion(INFINITE, &code), S_OK) << round;
        EXPECT_EQ(code, EC_COMPLETE) << round;
        EXPECT_EQ(source->delivered(), 4 * round);
        ASSERT_EQ(graph.control->Stop(), S_OK) << round;
    }
}

// With nothing in the graph to render to, Render adds a registered renderer.
TEST_F(FilterGraphBuilding, RenderAddsARegisteredRendererWhenTheGraphHasNone) {
    ComPtr<IFilterMapper2> mapper;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                               reinterpret_cast<void **>(mapper.Receive())),
              S_OK);
    REGFILTERPINS2 input{};
    input.dwFlags = REG_PINFLAG_B_RENDERER;
    input.cInstances = 1;
    REGFILTER2 registration{};
    registration.dwVersion = 2;
    registration.dwMerit = MERIT_NORMAL;
    registration.cPins2 = 1;
    registration.rgPins2 = &input;
    ASSERT_EQ(mapper->RegisterFilter(CLSID_NullRenderer, L"Null Renderer", nullptr, nullptr, nullptr, &registration),
              S_OK);

    Graph graph;
    auto source = Make<PushSource>("source", nullptr, SourceOptions{.samples = 2});
    graph.builder->AddFilter(source.Get(), L"source");
    EXPECT_EQ(graph.builder->RenderEx(source->pin(0), AM_RENDEREX_RENDERTOEXISTINGRENDERERS, nullptr),
              VFW_E_CANNOT_RENDER);
    ASSERT_EQ(graph.builder->Render(source->pin(0)), S_OK);
    ComPtr<IBaseFilter> renderer;
    ASSERT_EQ(graph.builder->FindFilterByName(L"Null Renderer", renderer.Receive()), S_OK);
    CLSID clsid{};
    renderer->GetClassID(&clsid);
    EXPECT_TRUE(IsEqualGUID(clsid, CLSID_NullRenderer));
    ASSERT_EQ(graph.control->Run(), S_OK);
    LONG code = 0;
    ASSERT_EQ(graph.events->WaitForCompletion(INFINITE, &code), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    EXPECT_EQ(graph.control->Stop(), S_OK);
}

}  // namespace
}  // namespace tm350::test
