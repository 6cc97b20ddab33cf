// The filter graph's event queue: what filters report through
// IMediaEventSink::Notify, in order, for the application to take with
// IMediaEvent::GetEvent. It keeps its own lock, apart from the graph's, so a
// filter's streaming thread can report while the application's thread holds
// the graph in a state change that waits for that very thread.
#pragma once

#include <dshow.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

namespace tm350::dshow {

class GraphEvents {
public:
    GraphEvents();
    ~GraphEvents();
    GraphEvents(const GraphEvents &) = delete;
    GraphEvents &operator=(const GraphEvents &) = delete;

    // A manual-reset event, signalled exactly while the queue holds an event.
    // It belongs to the queue: callers wait on it but never close it.
    HANDLE handle() const { return handle_; }

    // From filters, on any thread.
    HRESULT Notify(LONG code, LONG_PTR param1, LONG_PTR param2);

    HRESULT GetEvent(LONG *code, LONG_PTR *param1, LONG_PTR *param2, LONG timeout_ms);
    HRESULT WaitForCompletion(LONG timeout_ms, LONG *code);
    HRESULT CancelDefaultHandling(LONG code);
    HRESULT RestoreDefaultHandling(LONG code);
    HRESULT SetNotifyFlags(LONG flags);
    LONG notify_flags();
    static HRESULT FreeEventParams(LONG code, LONG_PTR param1, LONG_PTR param2);

    // The graph's state as the queue needs it. `BeginStreaming` when the
    // graph leaves Stopped, with the number of renderers whose end of stream
    // makes the graph complete; `EndStreaming` when it stops.
    void BeginStreaming(int renderers);
    void EndStreaming();
    // Whether WaitForCompletion may wait: only while the graph runs.
    void SetRunning(bool running);

private:
    struct Event {
        LONG code;
        LONG_PTR param1;
        LONG_PTR param2;
    };

    void Post(const Event &event, std::unique_lock<std::mutex> &lock);
    bool TakeLocked(Event &event);
    void CountCompletion(LONG_PTR status, LONG_PTR renderer, std::unique_lock<std::mutex> &lock);

    HANDLE handle_;
    std::mutex lock_;  // guards everything below
    std::condition_variable changed_;
    std::deque<Event> queue_;
    bool complete_by_default_ = true;
    LONG notify_flags_ = 0;
    bool running_ = false;
    // End-of-stream accounting between BeginStreaming and EndStreaming.
    bool streaming_ = false;
    int renderers_ = 0;
    std::vector<LONG_PTR> completed_renderers_;
    int anonymous_completions_ = 0;
    HRESULT completion_status_ = S_OK;
    bool complete_posted_ = false;
};

}  // namespace tm350::dshow
