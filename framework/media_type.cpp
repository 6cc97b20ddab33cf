#include "media_type.h"

#include <uuids.h>

#include "combase.h"

#include <cstdlib>
#include <cstring>

namespace {

void ZeroRecord(AM_MEDIA_TYPE &mt) {
    memset(&mt, 0, sizeof(mt));
    mt.bFixedSizeSamples = TRUE;
    mt.lSampleSize = 1;
}

bool SameFormat(const AM_MEDIA_TYPE &a, const AM_MEDIA_TYPE &b) {
    if (!IsEqualGUID(a.formattype, b.formattype) || a.cbFormat != b.cbFormat) return false;
    if (a.cbFormat == 0) return true;
    return a.pbFormat != NULL && b.pbFormat != NULL && memcmp(a.pbFormat, b.pbFormat, a.cbFormat) == 0;
}

}  // namespace

CMediaType::CMediaType() { InitMediaType(); }

CMediaType::CMediaType(const GUID *type) {
    InitMediaType();
    majortype = *type;
}

CMediaType::CMediaType(const AM_MEDIA_TYPE &rt, HRESULT *phr) {
    HRESULT hr = CopyMediaType(this, &rt);
    if (FAILED(hr) && phr != NULL) *phr = hr;
}

CMediaType::CMediaType(const CMediaType &rt, HRESULT *phr) : CMediaType(static_cast<const AM_MEDIA_TYPE &>(rt), phr) {}

CMediaType::~CMediaType() { FreeMediaType(*this); }

CMediaType &CMediaType::operator=(const CMediaType &rt) {
    Set(rt);
    return *this;
}

CMediaType &CMediaType::operator=(const AM_MEDIA_TYPE &rt) {
    Set(rt);
    return *this;
}

BOOL CMediaType::operator==(const CMediaType &rt) const {
    return IsEqualGUID(majortype, rt.majortype) && IsEqualGUID(subtype, rt.subtype) && SameFormat(*this, rt);
}

HRESULT CMediaType::Set(const CMediaType &rt) { return Set(static_cast<const AM_MEDIA_TYPE &>(rt)); }

HRESULT CMediaType::Set(const AM_MEDIA_TYPE &rt) {
    if (&rt == this) return S_OK;
    FreeMediaType(*this);
    return CopyMediaType(this, &rt);
}

void CMediaType::SetSampleSize(ULONG sz) {
    if (sz == 0) {
        SetVariableSize();
    } else {
        bFixedSizeSamples = TRUE;
        lSampleSize = sz;
    }
}

BYTE *CMediaType::AllocFormatBuffer(ULONG length) {
    if (cbFormat == length && pbFormat != NULL) return pbFormat;
    BYTE *block = static_cast<BYTE *>(CoTaskMemAlloc(length));
    if (block == NULL) return cbFormat >= length ? pbFormat : NULL;
    if (pbFormat != NULL) CoTaskMemFree(pbFormat);
    cbFormat = length;
    pbFormat = block;
    return block;
}

BYTE *CMediaType::ReallocFormatBuffer(ULONG length) {
    if (cbFormat == length && pbFormat != NULL) return pbFormat;
    BYTE *block = static_cast<BYTE *>(CoTaskMemAlloc(length));
    if (block == NULL) return cbFormat >= length ? pbFormat : NULL;
    if (pbFormat != NULL) {
        memcpy(block, pbFormat, cbFormat < length ? cbFormat : length);
        CoTaskMemFree(pbFormat);
    }
    cbFormat = length;
    pbFormat = block;
    return block;
}

BOOL CMediaType::SetFormat(const BYTE *pformat, ULONG length) {
    if (length > 0 && AllocFormatBuffer(length) == NULL) return FALSE;
    if (length == 0) {
        ResetFormatBuffer();
        return TRUE;
    }
    memcpy(pbFormat, pformat, length);
    cbFormat = length;
    return TRUE;
}

void CMediaType::ResetFormatBuffer() {
    if (pbFormat != NULL) CoTaskMemFree(pbFormat);
    cbFormat = 0;
    pbFormat = NULL;
}

void CMediaType::InitMediaType() { ZeroRecord(*this); }

BOOL CMediaType::IsPartiallySpecified() const {
    return IsEqualGUID(majortype, GUID_NULL) || IsEqualGUID(formattype, GUID_NULL);
}

BOOL CMediaType::MatchesPartial(const CMediaType *ppartial) const {
    if (!IsEqualGUID(ppartial->majortype, GUID_NULL) && !IsEqualGUID(majortype, ppartial->majortype)) return FALSE;
    if (!IsEqualGUID(ppartial->subtype, GUID_NULL) && !IsEqualGUID(subtype, ppartial->subtype)) return FALSE;
    if (!IsEqualGUID(ppartial->formattype, GUID_NULL) && !SameFormat(*this, *ppartial)) return FALSE;
    return TRUE;
}

AM_MEDIA_TYPE *WINAPI CreateMediaType(const AM_MEDIA_TYPE *pSrc) {
    AM_MEDIA_TYPE *pmt = static_cast<AM_MEDIA_TYPE *>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (pmt == NULL) return NULL;
    if (pSrc == NULL) {
        ZeroRecord(*pmt);
    } else if (FAILED(CopyMediaType(pmt, pSrc))) {
        CoTaskMemFree(pmt);
        return NULL;
    }
    return pmt;
}

void WINAPI DeleteMediaType(AM_MEDIA_TYPE *pmt) {
    if (pmt == NULL) return;
    FreeMediaType(*pmt);
    CoTaskMemFree(pmt);
}

HRESULT WINAPI CopyMediaType(AM_MEDIA_TYPE *pmtTarget, const AM_MEDIA_TYPE *pmtSource) {
    CheckPointer(pmtTarget, E_POINTER);
    CheckPointer(pmtSource, E_POINTER);
    *pmtTarget = *pmtSource;
    if (pmtSource->cbFormat != 0 && pmtSource->pbFormat != NULL) {
        pmtTarget->pbFormat = static_cast<BYTE *>(CoTaskMemAlloc(pmtSource->cbFormat));
        if (pmtTarget->pbFormat == NULL) {
            pmtTarget->cbFormat = 0;
            if (pmtTarget->pUnk != NULL) pmtTarget->pUnk->AddRef();
            return E_OUTOFMEMORY;
        }
        memcpy(pmtTarget->pbFormat, pmtSource->pbFormat, pmtSource->cbFormat);
    } else {
        pmtTarget->cbFormat = 0;
        pmtTarget->pbFormat = NULL;
    }
    if (pmtTarget->pUnk != NULL) pmtTarget->pUnk->AddRef();
    return S_OK;
}

void WINAPI FreeMediaType(AM_MEDIA_TYPE &mt) {
    if (mt.cbFormat != 0 || mt.pbFormat != NULL) {
        CoTaskMemFree(mt.pbFormat);
        mt.cbFormat = 0;
        mt.pbFormat = NULL;
    }
    if (mt.pUnk != NULL) {
        mt.pUnk->Release();
        mt.pUnk = NULL;
    }
}

DWORD GetBitmapSize(const BITMAPINFOHEADER *pHeader) {
    DWORD stride = ((static_cast<DWORD>(pHeader->biWidth) * pHeader->biBitCount + 31) / 32) * 4;
    LONG height = pHeader->biHeight < 0 ? -pHeader->biHeight : pHeader->biHeight;
    return stride * static_cast<DWORD>(height);
}

GUID GetBitmapSubtype(const BITMAPINFOHEADER *pbmiHeader) {
    if (pbmiHeader->biCompression != BI_RGB && pbmiHeader->biCompression != BI_BITFIELDS) {
        // A compressed format's subtype is its four-character code in the
        // common media subtype base.
        GUID fourcc = {0x00000000, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
        fourcc.Data1 = pbmiHeader->biCompression;
        return fourcc;
    }
    switch (pbmiHeader->biBitCount) {
    case 1:
        return MEDIASUBTYPE_RGB1;
    case 4:
        return MEDIASUBTYPE_RGB4;
    case 8:
        return MEDIASUBTYPE_RGB8;
    case 24:
        return MEDIASUBTYPE_RGB24;
    case 32:
        return MEDIASUBTYPE_RGB32;
    case 16: {
        if (pbmiHeader->biCompression == BI_RGB) return MEDIASUBTYPE_RGB555;
        // The three colour masks follow the header.
        const DWORD *masks = reinterpret_cast<const DWORD *>(reinterpret_cast<const BYTE *>(pbmiHeader) + pbmiHeader->biSize);
        if (masks[0] == 0x7C00 && masks[1] == 0x03E0 && masks[2] == 0x001F) return MEDIASUBTYPE_RGB555;
        if (masks[0] == 0xF800 && masks[1] == 0x07E0 && masks[2] == 0x001F) return MEDIASUBTYPE_RGB565;
        return GUID_NULL;
    }
    default:
        return GUID_NULL;
    }
}
