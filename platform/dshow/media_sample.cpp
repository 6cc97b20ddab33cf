#include "dshow/media_sample.h"

#include "dshow/memory_allocator.h"

#include <cstddef>
#include <cstring>

namespace tm350::dshow {

MediaSample::MediaSample(MemoryAllocator &allocator, BYTE *buffer, LONG size)
    : allocator_(allocator), buffer_(buffer), size_(size) {
    references_ = 0;
}

void MediaSample::ResetForUse(bool sync_point) {
    actual_ = size_;
    flags_ = sync_point ? AM_SAMPLE_SPLICEPOINT : 0;
    media_time_valid_ = false;
    type_specific_flags_ = 0;
    stream_id_ = AM_STREAM_MEDIA;
    media_type_.Clear();
}

STDMETHODIMP MediaSample::QueryInterface(REFIID riid, void **object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IMediaSample || riid == IID_IMediaSample2) {
        return Give(static_cast<IMediaSample2 *>(this), object);
    }
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) MediaSample::Release() {
    ULONG left = --references_;
    if (left == 0) allocator_.ReturnSample(*this);
    return left;
}

STDMETHODIMP MediaSample::GetPointer(BYTE **buffer) {
    if (buffer == nullptr) return E_POINTER;
    *buffer = buffer_;
    return S_OK;
}

STDMETHODIMP_(LONG) MediaSample::GetSize() { return size_; }

// No start time: VFW_E_SAMPLE_TIME_NOT_SET. A start without a stop gives
// the stop as start + 1 and VFW_S_NO_STOP_TIME.
STDMETHODIMP MediaSample::GetTime(REFERENCE_TIME *start, REFERENCE_TIME *end) {
    if (start == nullptr || end == nullptr) return E_POINTER;
    if (!(flags_ & AM_SAMPLE_TIMEVALID)) return VFW_E_SAMPLE_TIME_NOT_SET;
    *start = start_;
    if (!(flags_ & AM_SAMPLE_STOPVALID)) {
        *end = start_ + 1;
        return VFW_S_NO_STOP_TIME;
    }
    *end = end_;
    return S_OK;
}

// A null start clears both times; a null end leaves only the start.
STDMETHODIMP MediaSample::SetTime(REFERENCE_TIME *start, REFERENCE_TIME *end) {
    flags_ &= ~(AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID);
    if (start == nullptr) return S_OK;
    start_ = *start;
    flags_ |= AM_SAMPLE_TIMEVALID;
    if (end != nullptr) {
        end_ = *end;
        flags_ |= AM_SAMPLE_STOPVALID;
    }
    return S_OK;
}

STDMETHODIMP MediaSample::IsSyncPoint() { return (flags_ & AM_SAMPLE_SPLICEPOINT) ? S_OK : S_FALSE; }
STDMETHODIMP MediaSample::SetSyncPoint(BOOL sync_point) {
    SetFlag(AM_SAMPLE_SPLICEPOINT, sync_point);
    return S_OK;
}
STDMETHODIMP MediaSample::IsPreroll() { return (flags_ & AM_SAMPLE_PREROLL) ? S_OK : S_FALSE; }
STDMETHODIMP MediaSample::SetPreroll(BOOL preroll) {
    SetFlag(AM_SAMPLE_PREROLL, preroll);
    return S_OK;
}
STDMETHODIMP MediaSample::IsDiscontinuity() { return (flags_ & AM_SAMPLE_DATADISCONTINUITY) ? S_OK : S_FALSE; }
STDMETHODIMP MediaSample::SetDiscontinuity(BOOL discontinuity) {
    SetFlag(AM_SAMPLE_DATADISCONTINUITY, discontinuity);
    return S_OK;
}

STDMETHODIMP_(LONG) MediaSample::GetActualDataLength() { return actual_; }

STDMETHODIMP MediaSample::SetActualDataLength(LONG length) {
    if (length < 0 || length > size_) return VFW_E_BUFFER_OVERFLOW;
    actual_ = length;
    return S_OK;
}

// S_FALSE and null when the type has not changed; otherwise a copy the
// caller frees (format block and structure) with CoTaskMemFree.
STDMETHODIMP MediaSample::GetMediaType(AM_MEDIA_TYPE **type) {
    if (type == nullptr) return E_POINTER;
    *type = nullptr;
    if (!media_type_.IsSet()) return S_FALSE;
    *type = CreateMediaTypeCopy(media_type_.Get());
    return *type != nullptr ? S_OK : E_OUTOFMEMORY;
}

// The sample keeps its own copy; null says the type has not changed.
STDMETHODIMP MediaSample::SetMediaType(AM_MEDIA_TYPE *type) {
    if (type == nullptr) {
        media_type_.Clear();
        flags_ &= ~AM_SAMPLE_TYPECHANGED;
        return S_OK;
    }
    media_type_.Set(*type);
    flags_ |= AM_SAMPLE_TYPECHANGED;
    return S_OK;
}

STDMETHODIMP MediaSample::GetMediaTime(LONGLONG *start, LONGLONG *end) {
    if (start == nullptr || end == nullptr) return E_POINTER;
    if (!media_time_valid_) return VFW_E_MEDIA_TIME_NOT_SET;
    *start = media_start_;
    *end = media_end_;
    return S_OK;
}

// Null for either clears the media times.
STDMETHODIMP MediaSample::SetMediaTime(LONGLONG *start, LONGLONG *end) {
    if (start == nullptr || end == nullptr) {
        media_time_valid_ = false;
        return S_OK;
    }
    media_start_ = *start;
    media_end_ = *end;
    media_time_valid_ = true;
    return S_OK;
}

// Fills the first `size` bytes of AM_SAMPLE2_PROPERTIES; the media type
// pointer is the sample's own, valid while the caller holds the sample.
STDMETHODIMP MediaSample::GetProperties(DWORD size, BYTE *properties) {
    if (properties == nullptr) return E_POINTER;
    if (size > sizeof(AM_SAMPLE2_PROPERTIES)) size = sizeof(AM_SAMPLE2_PROPERTIES);
    AM_SAMPLE2_PROPERTIES all{};
    all.cbData = size;
    all.dwTypeSpecificFlags = type_specific_flags_;
    all.dwSampleFlags = flags_;
    all.lActual = actual_;
    all.tStart = start_;
    all.tStop = end_;
    all.dwStreamId = stream_id_;
    all.pMediaType = media_type_.IsSet() ? const_cast<AM_MEDIA_TYPE *>(&media_type_.Get()) : nullptr;
    all.pbBuffer = buffer_;
    all.cbBuffer = size_;
    std::memcpy(properties, &all, size);
    return S_OK;
}

// Sets the fields up to and including lActual..dwStreamId as far as `size`
// reaches; the buffer pointer and size cannot be changed.
STDMETHODIMP MediaSample::SetProperties(DWORD size, const BYTE *properties) {
    if (properties == nullptr) return E_POINTER;
    AM_SAMPLE2_PROPERTIES given{};
    std::memcpy(&given, properties, size < sizeof given ? size : sizeof given);
    if (size > sizeof given || given.cbData != size) return E_INVALIDARG;
    auto covers = [size](size_t end) { return size >= end; };
    if (covers(offsetof(AM_SAMPLE2_PROPERTIES, lActual) + sizeof(LONG))) {
        if (given.lActual < 0 || given.lActual > size_) return VFW_E_BUFFER_OVERFLOW;
    }
    if (covers(offsetof(AM_SAMPLE2_PROPERTIES, pbBuffer) + sizeof(BYTE *)) && given.pbBuffer != nullptr &&
        given.pbBuffer != buffer_) {
        return E_INVALIDARG;
    }
    if (covers(offsetof(AM_SAMPLE2_PROPERTIES, dwTypeSpecificFlags) + sizeof(DWORD)))
        type_specific_flags_ = given.dwTypeSpecificFlags;
    if (covers(offsetof(AM_SAMPLE2_PROPERTIES, dwSampleFlags) + sizeof(DWORD))) flags_ = given.dwSampleFlags;
    if (covers(offsetof(AM_SAMPLE2_PROPERTIES, lActual) + sizeof(LONG))) actual_ = given.lActual;
    if (covers(offsetof(AM_SAMPLE2_PROPERTIES, tStop) + sizeof(REFERENCE_TIME))) {
        start_ = given.tStart;
        end_ = given.tStop;
    }
    if (covers(offsetof(AM_SAMPLE2_PROPERTIES, dwStreamId) + sizeof(DWORD))) stream_id_ = given.dwStreamId;
    if (covers(offsetof(AM_SAMPLE2_PROPERTIES, pMediaType) + sizeof(AM_MEDIA_TYPE *))) {
        if (given.pMediaType != nullptr) {
            media_type_.Set(*given.pMediaType);
        } else if (!(flags_ & AM_SAMPLE_TYPECHANGED)) {
            media_type_.Clear();
        }
    }
    return S_OK;
}

void MediaSample::SetFlag(DWORD flag, BOOL on) {
    if (on) {
        flags_ |= flag;
    } else {
        flags_ &= ~flag;
    }
}

}  // namespace tm350::dshow
