// A buffer of a memory allocator's pool. The allocator owns the object; a
// sample handed out by GetBuffer goes back to its pool when its last
// reference is released.
#pragma once

#include "dshow/com_object.h"
#include "dshow/media_types.h"

#include <windows.h>
#include <strmif.h>
#include <vfwmsgs.h>

namespace tm350::dshow {

class MemoryAllocator;

class MediaSample final : public ComObject<IMediaSample2> {
public:
    MediaSample(MemoryAllocator &allocator, BYTE *buffer, LONG size);

    // Called by the allocator as it hands the sample out: a fresh sample,
    // whole buffer valid, no times, no media type, no flags.
    void ResetForUse(bool sync_point);

    STDMETHODIMP QueryInterface(REFIID riid, void **object) override;
    // The last release gives the sample back to its allocator instead of
    // destroying it.
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP GetPointer(BYTE **buffer) override;
    STDMETHODIMP_(LONG) GetSize() override;
    STDMETHODIMP GetTime(REFERENCE_TIME *start, REFERENCE_TIME *end) override;
    STDMETHODIMP SetTime(REFERENCE_TIME *start, REFERENCE_TIME *end) override;
    STDMETHODIMP IsSyncPoint() override;
    STDMETHODIMP SetSyncPoint(BOOL sync_point) override;
    STDMETHODIMP IsPreroll() override;
    STDMETHODIMP SetPreroll(BOOL preroll) override;
    STDMETHODIMP_(LONG) GetActualDataLength() override;
    STDMETHODIMP SetActualDataLength(LONG length) override;
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE **type) override;
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE *type) override;
    STDMETHODIMP IsDiscontinuity() override;
    STDMETHODIMP SetDiscontinuity(BOOL discontinuity) override;
    STDMETHODIMP GetMediaTime(LONGLONG *start, LONGLONG *end) override;
    STDMETHODIMP SetMediaTime(LONGLONG *start, LONGLONG *end) override;
    STDMETHODIMP GetProperties(DWORD size, BYTE *properties) override;
    STDMETHODIMP SetProperties(DWORD size, const BYTE *properties) override;

private:
    void SetFlag(DWORD flag, BOOL on);

    MemoryAllocator &allocator_;
    BYTE *const buffer_;
    const LONG size_;
    // The sample's fields belong to whoever holds it; like a Windows
    // sample it takes no lock of its own.
    LONG actual_ = 0;
    DWORD flags_ = 0;  // AM_SAMPLE_* including TIMEVALID, STOPVALID, TYPECHANGED
    REFERENCE_TIME start_ = 0;
    REFERENCE_TIME end_ = 0;
    bool media_time_valid_ = false;
    LONGLONG media_start_ = 0;
    LONGLONG media_end_ = 0;
    DWORD type_specific_flags_ = 0;
    DWORD stream_id_ = AM_STREAM_MEDIA;
    MediaType media_type_;
};

}  // namespace tm350::dshow
