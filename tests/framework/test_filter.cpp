#include "framework/test_filter.h"

namespace framework_test {

TestStream::TestStream(HRESULT *phr, CSource *filter, LPCWSTR name)
    : CSourceStream(L"test stream", phr, filter, name), offered_type(VideoType(MEDIASUBTYPE_RGB24, 1)) {}

HRESULT TestStream::GetMediaType(CMediaType *pMediaType) {
    *pMediaType = offered_type;
    return S_OK;
}

HRESULT TestStream::DecideBufferSize(IMemAllocator *pAlloc, ALLOCATOR_PROPERTIES *request) {
    decided_allocators.push_back(pAlloc);
    if (FAILED(decide_buffer_size_result)) return decide_buffer_size_result;
    ALLOCATOR_PROPERTIES wanted = *request;
    if (wanted.cBuffers == 0) wanted.cBuffers = 2;
    wanted.cbBuffer = 64;
    ALLOCATOR_PROPERTIES actual = {};
    return pAlloc->SetProperties(&wanted, &actual);
}

void TestStream::QueueFillResults(std::initializer_list<HRESULT> results) {
    std::lock_guard lock(mutex_);
    fill_results_.insert(fill_results_.end(), results);
}

HRESULT TestStream::FillBuffer(IMediaSample *) {
    HRESULT hr = fill_result;
    {
        std::lock_guard lock(mutex_);
        if (!fill_results_.empty()) {
            hr = fill_results_.front();
            fill_results_.pop_front();
        }
    }
    fills.Add();
    return hr;
}

HRESULT TestStream::OnThreadCreate() {
    ++thread_creates;
    return thread_create_result;
}

HRESULT TestStream::OnThreadDestroy() {
    ++thread_destroys;
    return S_OK;
}

HRESULT TestStream::OnThreadStartPlay() {
    ++start_plays;
    return S_OK;
}

HRESULT TestStream::Active() {
    ++actives;
    return CSourceStream::Active();
}

TestSourceFilter::TestSourceFilter(LPUNKNOWN outer, HRESULT *phr, int pins)
    : CSource(L"test source filter", outer, CLSID_TestSourceFilter, phr) {
    for (int n = 1; n <= pins && n <= 9; n++) {
        WCHAR name[] = L"Out0";
        name[3] = static_cast<WCHAR>(L'0' + n);
        new TestStream(phr, this, name);
    }
}

CUnknown *WINAPI TestSourceFilter::CreateInstance(LPUNKNOWN outer, HRESULT *phr) {
    return new TestSourceFilter(outer, phr);
}

}  // namespace framework_test
