// The memory allocator (CLSID_MemoryAllocator): a fixed pool of samples in
// process memory, handed out by GetBuffer and returned on their last
// Release.
#pragma once

#include "dshow/com_object.h"
#include "dshow/media_sample.h"

#include <windows.h>
#include <strmif.h>
#include <vfwmsgs.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace tm350::dshow {

class MemoryAllocator final : public ComObject<IMemAllocator> {
public:
    MemoryAllocator() = default;
    ~MemoryAllocator() override;

    STDMETHODIMP QueryInterface(REFIID riid, void **object) override;
    STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES *request, ALLOCATOR_PROPERTIES *actual) override;
    STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES *properties) override;
    STDMETHODIMP Commit() override;
    STDMETHODIMP Decommit() override;
    STDMETHODIMP GetBuffer(IMediaSample **sample, REFERENCE_TIME *start, REFERENCE_TIME *end, DWORD flags) override;
    STDMETHODIMP ReleaseBuffer(IMediaSample *sample) override;

    // A sample's last reference went away.
    void ReturnSample(MediaSample &sample);

private:
    void FreePoolLocked();

    std::mutex mutex_;
    std::condition_variable sample_returned_;  // also signalled by Decommit
    ALLOCATOR_PROPERTIES properties_{0, 0, 1, 0};
    bool properties_set_ = false;
    bool committed_ = false;
    // The pool: the memory and every sample in it, and the samples not out.
    // It exists from Commit until Decommit has all samples back.
    std::unique_ptr<BYTE[]> memory_;
    std::vector<std::unique_ptr<MediaSample>> samples_;
    std::vector<MediaSample *> free_;
};

}  // namespace tm350::dshow
