// A source filter built on the framework, with one or more pins whose
// hooks do what the test tells them and count their calls.
#pragma once

#include <streams.h>

#include <atomic>
#include <deque>
#include <mutex>

#include "framework/test_doubles.h"

namespace framework_test {

// {3C1D8E60-5B7A-4C2E-9F10-6A2B4C8D0E01}
DEFINE_GUID(CLSID_TestSourceFilter, 0x3c1d8e60, 0x5b7a, 0x4c2e, 0x9f, 0x10, 0x6a, 0x2b, 0x4c, 0x8d, 0x0e, 0x01);

class TestStream : public CSourceStream {
public:
    TestStream(HRESULT *phr, CSource *filter, LPCWSTR name);

    HRESULT GetMediaType(CMediaType *pMediaType) override;
    using CSourceStream::GetMediaType;
    HRESULT DecideBufferSize(IMemAllocator *pAlloc, ALLOCATOR_PROPERTIES *ppropInputRequest) override;
    HRESULT FillBuffer(IMediaSample *pSample) override;
    HRESULT OnThreadCreate() override;
    HRESULT OnThreadDestroy() override;
    HRESULT OnThreadStartPlay() override;
    HRESULT Active() override;

    // Sends a command straight to the streaming thread.
    HRESULT Command(DWORD command) { return static_cast<HRESULT>(CallWorker(command)); }
    bool HasThread() const { return ThreadExists(); }
    IMemAllocator *allocator() const { return m_pAllocator; }

    // Scripted results: FillBuffer takes the next of fill_results, and
    // fill_result once they are used up.
    void QueueFillResults(std::initializer_list<HRESULT> results);
    std::atomic<HRESULT> fill_result{S_OK};
    std::atomic<HRESULT> thread_create_result{S_OK};
    HRESULT decide_buffer_size_result = S_OK;

    CMediaType offered_type;
    std::atomic<int> actives{0};
    std::atomic<int> thread_creates{0};
    std::atomic<int> thread_destroys{0};
    std::atomic<int> start_plays{0};
    Counter fills;
    std::vector<IMemAllocator *> decided_allocators;  // not referenced

private:
    std::mutex mutex_;
    std::deque<HRESULT> fill_results_;
};

class TestSourceFilter : public CSource {
public:
    // pins streams, each named "Out<n>".
    TestSourceFilter(LPUNKNOWN outer, HRESULT *phr, int pins = 1);
    static CUnknown *WINAPI CreateInstance(LPUNKNOWN outer, HRESULT *phr);

    TestStream *stream(int n) { return static_cast<TestStream *>(m_paStreams[n]); }
    LONG references() const { return m_cRef; }
    IMediaEventSink *sink() const { return m_pSink; }
};

}  // namespace framework_test
