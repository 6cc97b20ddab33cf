// A media type record that owns its format block, and the helpers for the
// plain records that travel through the pin interfaces. A record handed to a
// caller (CreateMediaType) is task memory and the caller frees it with
// DeleteMediaType.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <wingdi.h>

class CMediaType : public AM_MEDIA_TYPE {
public:
    CMediaType();
    explicit CMediaType(const GUID *majortype);
    CMediaType(const AM_MEDIA_TYPE &rt, HRESULT *phr = NULL);
    CMediaType(const CMediaType &rt, HRESULT *phr = NULL);
    ~CMediaType();

    CMediaType &operator=(const CMediaType &rt);
    CMediaType &operator=(const AM_MEDIA_TYPE &rt);
    // Major type, subtype, format type and format block; not the sample
    // flags or size.
    BOOL operator==(const CMediaType &rt) const;
    BOOL operator!=(const CMediaType &rt) const { return !(*this == rt); }

    // Replaces the content with a copy of rt; E_OUTOFMEMORY leaves no format.
    HRESULT Set(const CMediaType &rt);
    HRESULT Set(const AM_MEDIA_TYPE &rt);
    BOOL IsValid() const { return !IsEqualGUID(majortype, GUID_NULL); }

    const GUID *Type() const { return &majortype; }
    void SetType(const GUID *ptype) { majortype = *ptype; }
    const GUID *Subtype() const { return &subtype; }
    void SetSubtype(const GUID *ptype) { subtype = *ptype; }
    const GUID *FormatType() const { return &formattype; }
    void SetFormatType(const GUID *pformattype) { formattype = *pformattype; }
    BOOL IsFixedSize() const { return bFixedSizeSamples; }
    BOOL IsTemporalCompressed() const { return bTemporalCompression; }
    ULONG GetSampleSize() const { return IsFixedSize() ? lSampleSize : 0; }
    // 0 makes the samples variable-size.
    void SetSampleSize(ULONG sz);
    void SetVariableSize() { bFixedSizeSamples = FALSE; }
    void SetTemporalCompression(BOOL bCompressed) { bTemporalCompression = bCompressed; }

    ULONG FormatLength() const { return cbFormat; }
    BYTE *Format() const { return pbFormat; }
    // A format block of `length` bytes; if a new block cannot be had, the old
    // one when it is long enough, else null.
    BYTE *AllocFormatBuffer(ULONG length);
    BYTE *ReallocFormatBuffer(ULONG length);
    BOOL SetFormat(const BYTE *pFormat, ULONG length);
    void ResetFormatBuffer();

    void InitMediaType();
    // A type with a null major type or format type leaves part of itself open.
    BOOL IsPartiallySpecified() const;
    // Whether this type fits the partially specified ppartial.
    BOOL MatchesPartial(const CMediaType *ppartial) const;
};

// Task-memory records for callers.
AM_MEDIA_TYPE *WINAPI CreateMediaType(const AM_MEDIA_TYPE *pSrc);
void WINAPI DeleteMediaType(AM_MEDIA_TYPE *pmt);
HRESULT WINAPI CopyMediaType(AM_MEDIA_TYPE *pmtTarget, const AM_MEDIA_TYPE *pmtSource);
void WINAPI FreeMediaType(AM_MEDIA_TYPE &mt);

// Bytes of a picture with DWORD-aligned rows.
DWORD GetBitmapSize(const BITMAPINFOHEADER *pHeader);
// The media subtype a bitmap header describes; GUID_NULL when none fits.
GUID GetBitmapSubtype(const BITMAPINFOHEADER *pbmiHeader);
