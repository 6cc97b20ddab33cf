// The source stream's worker thread: how the filter's state changes command
// it, how its buffer loop fills and delivers, and how a stream ends.
#include <gtest/gtest.h>

#include "framework/test_filter.h"

namespace framework_test {
namespace {

enum : DWORD { kInit = 0, kPause = 1, kRun = 2, kStop = 3, kExit = 4 };

class SourceStream : public ::testing::Test {
protected:
    SourceStream() {
        filter_ = new TestSourceFilter(NULL, &hr_);
        filter_->NonDelegatingAddRef();
        pin_ = filter_->stream(0);
        peer_ = new TestInputPin;
        allocator_ = new TestAllocator;
        peer_->own_allocator = allocator_;
        allocator_->AddRef();
        graph_ = new TestGraph;
        EXPECT_EQ(filter_->JoinFilterGraph(graph_, L"source"), S_OK);
    }
    ~SourceStream() override {
        // Stop always returns, whatever the stream is doing.
        EXPECT_EQ(filter_->Stop(), S_OK);
        EXPECT_FALSE(pin_->HasThread());
        pin_->Disconnect();
        filter_->JoinFilterGraph(NULL, NULL);
        graph_->Release();
        peer_->Release();
        allocator_->Release();
        filter_->NonDelegatingRelease();
    }
    void Connect() { ASSERT_EQ(pin_->Connect(peer_, NULL), S_OK); }

    HRESULT hr_ = S_OK;
    TestSourceFilter *filter_;
    TestStream *pin_;
    TestInputPin *peer_;
    TestAllocator *allocator_;
    TestGraph *graph_;
};

TEST_F(SourceStream, PausingStartsTheThreadAndSamplesFlowAlreadyWhilePaused) {
    Connect();
    ASSERT_EQ(filter_->Pause(), S_OK);
    EXPECT_TRUE(pin_->HasThread());
    EXPECT_TRUE(allocator_->committed());
    peer_->received.WaitFor(5);
    EXPECT_EQ(pin_->thread_creates, 1);
    EXPECT_EQ(pin_->start_plays, 1);

    // Running sends nothing to the thread; the flow goes on.
    ASSERT_EQ(filter_->Run(0), S_OK);
    int received = peer_->received.value();
    peer_->received.WaitFor(received + 5);
    EXPECT_EQ(pin_->start_plays, 1);

    ASSERT_EQ(filter_->Stop(), S_OK);
    EXPECT_FALSE(pin_->HasThread());
    EXPECT_FALSE(allocator_->committed());
    EXPECT_EQ(pin_->thread_destroys, 1);
    EXPECT_EQ(peer_->end_of_stream.value(), 0);
    EXPECT_TRUE(graph_->events().empty());
}

TEST_F(SourceStream, ARunCommandWhileStreamingIsAnsweredWithoutInterruptingTheFlow) {
    Connect();
    ASSERT_EQ(filter_->Pause(), S_OK);
    peer_->received.WaitFor(1);
    EXPECT_EQ(pin_->Command(kRun), S_OK);
    EXPECT_EQ(pin_->Command(kPause), S_OK);
    EXPECT_EQ(pin_->Command(77), E_UNEXPECTED);
    int received = peer_->received.value();
    peer_->received.WaitFor(received + 3);
    // Still the first pass of the loop.
    EXPECT_EQ(pin_->start_plays, 1);
    EXPECT_EQ(peer_->end_of_stream.value(), 0);
}

TEST_F(SourceStream, EndOfStreamIsSentOnceAndTheThreadWaitsForTheNextCommand) {
    Connect();
    pin_->QueueFillResults({S_OK, S_OK, S_FALSE});
    ASSERT_EQ(filter_->Pause(), S_OK);
    peer_->end_of_stream.WaitFor(1);
    EXPECT_EQ(peer_->received.value(), 2);
    EXPECT_EQ(pin_->fills.value(), 3);
    EXPECT_TRUE(graph_->events().empty());

    // Idle: it answers commands, and a pause starts the loop again.
    EXPECT_EQ(pin_->Command(kStop), S_OK);
    EXPECT_EQ(pin_->Command(77), E_NOTIMPL);
    EXPECT_EQ(pin_->fills.value(), 3);
    EXPECT_EQ(peer_->end_of_stream.value(), 1);
    pin_->QueueFillResults({S_OK, S_FALSE});
    EXPECT_EQ(pin_->Command(kPause), S_OK);
    peer_->end_of_stream.WaitFor(2);
    EXPECT_EQ(pin_->start_plays, 2);
    EXPECT_EQ(peer_->received.value(), 3);
}

TEST_F(SourceStream, AFillErrorEndsTheStreamAndTellsTheGraph) {
    Connect();
    pin_->QueueFillResults({S_OK, E_ACCESSDENIED});
    ASSERT_EQ(filter_->Pause(), S_OK);
    graph_->notified.WaitFor(1);
    EXPECT_EQ(peer_->end_of_stream.value(), 1);
    EXPECT_EQ(peer_->received.value(), 1);
    auto events = graph_->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, EC_ERRORABORT);
    EXPECT_EQ(events[0].param1, static_cast<LONG_PTR>(E_ACCESSDENIED));
    EXPECT_EQ(events[0].param2, 0);
    EXPECT_EQ(pin_->fills.value(), 2);
}

TEST_F(SourceStream, ARefusedDeliveryStopsPushingWithoutEndingTheStream) {
    Connect();
    peer_->receive_result = S_FALSE;
    ASSERT_EQ(filter_->Pause(), S_OK);
    peer_->received.WaitFor(1);
    // The loop has ended: the next command is answered by the idle thread.
    EXPECT_EQ(pin_->Command(kStop), S_OK);
    EXPECT_EQ(peer_->received.value(), 1);
    EXPECT_EQ(peer_->end_of_stream.value(), 0);
    EXPECT_TRUE(graph_->events().empty());
}

TEST_F(SourceStream, StopReleasesAThreadWaitingForABuffer) {
    Connect();
    allocator_->LimitBuffers(2);
    ASSERT_EQ(filter_->Pause(), S_OK);
    allocator_->waiting_for_buffer.WaitFor(1);
    EXPECT_EQ(peer_->received.value(), 2);
    EXPECT_EQ(filter_->Stop(), S_OK);
    EXPECT_FALSE(pin_->HasThread());
    EXPECT_EQ(pin_->thread_destroys, 1);
}

TEST_F(SourceStream, AFailedThreadStartFailsThePauseAndTheNextPauseTriesAgain) {
    Connect();
    pin_->thread_create_result = E_ACCESSDENIED;
    EXPECT_EQ(filter_->Pause(), E_ACCESSDENIED);
    FILTER_STATE state;
    ASSERT_EQ(filter_->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Stopped);
    EXPECT_EQ(pin_->thread_destroys, 1);
    EXPECT_FALSE(pin_->HasThread());
    EXPECT_FALSE(allocator_->committed());
    EXPECT_EQ(pin_->fills.value(), 0);

    // Once the cause is gone, the same filter pauses.
    pin_->thread_create_result = S_OK;
    ASSERT_EQ(filter_->Pause(), S_OK);
    EXPECT_EQ(pin_->thread_creates, 2);
    peer_->received.WaitFor(1);
}

TEST_F(SourceStream, OnlyConnectedPinsStartAThread) {
    // An unconnected pin is left alone by the filter, and does nothing when
    // asked directly.
    ASSERT_EQ(filter_->Pause(), S_OK);
    EXPECT_EQ(pin_->actives, 0);
    EXPECT_EQ(pin_->Inactive(), S_OK);
    EXPECT_FALSE(pin_->HasThread());
    ASSERT_EQ(filter_->Stop(), S_OK);
    EXPECT_EQ(pin_->Active(), S_OK);
    EXPECT_FALSE(pin_->HasThread());
    EXPECT_EQ(allocator_->commits(), 0);
    EXPECT_EQ(pin_->thread_creates, 0);
}

TEST_F(SourceStream, ActivatingAnActiveFilterStartsNoSecondThread) {
    Connect();
    ASSERT_EQ(filter_->Pause(), S_OK);
    EXPECT_EQ(pin_->Active(), S_FALSE);
    EXPECT_EQ(filter_->Pause(), S_OK);
    EXPECT_EQ(filter_->Run(0), S_OK);
    EXPECT_EQ(pin_->thread_creates, 1);
    EXPECT_EQ(pin_->actives, 2);  // the filter's pause and this test's call
    EXPECT_EQ(allocator_->commits(), 1);
}

TEST_F(SourceStream, CommandsNeedAThread) { EXPECT_EQ(pin_->Command(kPause), E_FAIL); }

// A worker thread with no stream around it, to see its channel alone.
class EchoThread : public CAMThread {
public:
    // Answers each request with request + 100 until it gets 0.
    DWORD ThreadProc() override {
        for (;;) {
            DWORD request = GetRequest();
            DWORD pending = 0;
            EXPECT_TRUE(CheckRequest(&pending));
            EXPECT_EQ(pending, request);
            Reply(request + 100);
            if (request == 0) return 7;
        }
    }
};

TEST(WorkerThread, EachRequestGetsItsOwnReply) {
    EchoThread thread;
    EXPECT_EQ(thread.CallWorker(1), static_cast<DWORD>(E_FAIL));
    ASSERT_TRUE(thread.Create());
    EXPECT_FALSE(thread.Create());
    EXPECT_EQ(thread.CallWorker(1), 101u);
    EXPECT_EQ(thread.CallWorker(2), 102u);
    EXPECT_FALSE(thread.CheckRequest(NULL));
    EXPECT_EQ(thread.CallWorker(0), 100u);
    thread.Close();
    EXPECT_FALSE(thread.ThreadExists());
    EXPECT_EQ(thread.CallWorker(1), static_cast<DWORD>(E_FAIL));
    // A new thread after the old one was closed.
    ASSERT_TRUE(thread.Create());
    EXPECT_EQ(thread.CallWorker(5), 105u);
    EXPECT_EQ(thread.CallWorker(0), 100u);
}


TEST_F(SourceStream, CommandsBeforeInitAreRefused) {
    // Drive the thread by hand: start it without the filter's pause.
    Connect();
    ASSERT_EQ(allocator_->Commit(), S_OK);
    ASSERT_TRUE(pin_->Create());
    EXPECT_EQ(pin_->Command(kPause), E_UNEXPECTED);
    EXPECT_EQ(pin_->Command(kExit), E_UNEXPECTED);
    EXPECT_EQ(pin_->thread_creates, 0);
    EXPECT_EQ(pin_->Command(kInit), S_OK);
    EXPECT_EQ(pin_->thread_creates, 1);
    EXPECT_EQ(pin_->Command(kExit), S_OK);
    pin_->Close();
    EXPECT_EQ(pin_->thread_destroys, 1);
    allocator_->Decommit();
}

TEST(Events, WaitReportsOnlyASignal) {
    HRESULT hr = S_OK;
    CAMEvent automatic(FALSE, &hr);
    CAMEvent manual(TRUE, &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_FALSE(automatic.Wait(0));
    automatic.Set();
    EXPECT_TRUE(automatic.Wait(0));
    EXPECT_FALSE(automatic.Wait(0));
    manual.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Check());
    manual.Reset();
    EXPECT_FALSE(manual.Check());
}

TEST(Times, MillisecondsAreTenThousandUnits) {
    CRefTime time(static_cast<LONG>(133));
    EXPECT_EQ(static_cast<REFERENCE_TIME>(time), 1330000);
    EXPECT_EQ(time.Millisecs(), 133);
    time += CRefTime(static_cast<LONG>(67));
    EXPECT_EQ(time.GetUnits(), 2000000);
}

}  // namespace
}  // namespace framework_test
