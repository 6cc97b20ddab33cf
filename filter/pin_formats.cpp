// The output pin's formats: the RGB24 picture it offers, how it checks and
// stores what a peer proposes, how it sizes the allocator, and what it tells
// capture applications about its stream and its category.
#include "output_pin.h"

#include <cstdlib>

#include "nvc480_identity.h"

namespace {

struct CVideoSize {
    LONG width;
    LONG height;
};

// By size index eNVC480Size.
const CVideoSize kVideoSizes[] = {{1024, 768}, {800, 600}, {640, 480}, {320, 240}};
const int kVideoSizeCount = sizeof(kVideoSizes) / sizeof(kVideoSizes[0]);

LONG ImageBytes(const CVideoSize &size) { return ((size.width * 24 + 31) / 32) * 4 * size.height; }

// The size index whose width and height are exactly these, or -1.
int SizeIndexOf(LONG width, LONG height) {
    for (int index = 0; index < kVideoSizeCount; index++) {
        if (kVideoSizes[index].width == width && kVideoSizes[index].height == height) return index;
    }
    return -1;
}

// The video header of a type, or null when the type carries none. A block
// shorter than the header cannot be read as one, whatever its format type.
const VIDEOINFOHEADER *VideoHeaderOf(const AM_MEDIA_TYPE *type) {
    if (type->pbFormat == NULL || type->cbFormat < sizeof(VIDEOINFOHEADER)) return nullptr;
    return reinterpret_cast<const VIDEOINFOHEADER *>(type->pbFormat);
}

// Video, fixed-size samples, RGB24, with a video header.
bool IsRgb24Video(const AM_MEDIA_TYPE *type) {
    return IsEqualGUID(type->majortype, MEDIATYPE_Video) && type->bFixedSizeSamples &&
           IsEqualGUID(type->subtype, MEDIASUBTYPE_RGB24) && VideoHeaderOf(type) != nullptr;
}

// The bottom-up RGB24 type of one size; the caller holds the state lock.
HRESULT BuildSizeType(int index, CMediaType *type) {
    const CVideoSize &size = kVideoSizes[index];
    auto *format = reinterpret_cast<VIDEOINFOHEADER *>(type->AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
    if (format == NULL) return E_OUTOFMEMORY;
    ZeroMemory(format, sizeof(VIDEOINFOHEADER));
    format->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    format->bmiHeader.biWidth = size.width;
    format->bmiHeader.biHeight = size.height;
    format->bmiHeader.biPlanes = 1;
    format->bmiHeader.biBitCount = 24;
    format->bmiHeader.biCompression = BI_RGB;
    format->bmiHeader.biSizeImage = static_cast<DWORD>(ImageBytes(size));

    type->SetType(&MEDIATYPE_Video);
    type->SetFormatType(&FORMAT_VideoInfo);
    type->SetTemporalCompression(FALSE);
    GUID subtype = GetBitmapSubtype(&format->bmiHeader);
    type->SetSubtype(&subtype);
    type->SetSampleSize(format->bmiHeader.biSizeImage);
    return S_OK;
}

}  // namespace

HRESULT CPushPinNVC480::CheckMediaType(const CMediaType *pMediaType) {
    CheckPointer(pMediaType, E_POINTER);
    if (!IsRgb24Video(pMediaType)) return E_INVALIDARG;
    DWORD index = m_settings.eNVC480Size;
    if (index >= static_cast<DWORD>(kVideoSizeCount)) return E_INVALIDARG;
    const BITMAPINFOHEADER &header = VideoHeaderOf(pMediaType)->bmiHeader;
    if (header.biWidth != kVideoSizes[index].width || std::labs(header.biHeight) != kVideoSizes[index].height) {
        return E_INVALIDARG;
    }
    return S_OK;
}

HRESULT CPushPinNVC480::SetMediaType(const CMediaType *pMediaType) {
    CheckPointer(pMediaType, E_POINTER);
    CAutoLock lock(m_pLock);
    const VIDEOINFOHEADER *format = VideoHeaderOf(pMediaType);
    if (format == nullptr) return E_UNEXPECTED;
    if (format->bmiHeader.biBitCount != 24) return E_INVALIDARG;
    int index = SizeIndexOf(format->bmiHeader.biWidth, format->bmiHeader.biHeight);
    if (index < 0) return E_INVALIDARG;
    // A size chosen through the stream configuration holds for every later connection.
    if (m_bFormatSet && static_cast<DWORD>(index) != m_settings.eNVC480Size) return E_INVALIDARG;
    HRESULT hr = CSourceStream::SetMediaType(pMediaType);
    if (SUCCEEDED(hr)) m_settings.eNVC480Size = static_cast<DWORD>(index);
    return hr;
}

HRESULT CPushPinNVC480::GetMediaType(int iPosition, CMediaType *pMediaType) {
    CheckPointer(pMediaType, E_POINTER);
    if (iPosition < 0) return E_INVALIDARG;
    return BuildVideoType(iPosition, pMediaType);
}

HRESULT CPushPinNVC480::BuildVideoType(int index, CMediaType *pMediaType) {
    if (index < 0) return E_INVALIDARG;
    // The picture pipeline is laid out for the full size only.
    if (index > 0) return VFW_S_NO_MORE_ITEMS;
    CAutoLock lock(m_pLock);
    return BuildSizeType(index, pMediaType);
}

HRESULT CPushPinNVC480::DecideBufferSize(IMemAllocator *pAlloc, ALLOCATOR_PROPERTIES *pRequest) {
    CheckPointer(pAlloc, E_POINTER);
    CheckPointer(pRequest, E_POINTER);
    CAutoLock lock(m_pLock);
    const VIDEOINFOHEADER *format = VideoHeaderOf(&m_mt);
    if (format == nullptr) return E_UNEXPECTED;
    if (pRequest->cBuffers == 0) pRequest->cBuffers = 3;
    pRequest->cbBuffer = static_cast<LONG>(format->bmiHeader.biSizeImage);
    ALLOCATOR_PROPERTIES actual = {};
    HRESULT hr = pAlloc->SetProperties(pRequest, &actual);
    if (FAILED(hr)) return hr;
    return actual.cbBuffer < pRequest->cbBuffer ? E_FAIL : S_OK;
}

STDMETHODIMP CPushPinNVC480::Notify(IBaseFilter *, Quality) { return E_FAIL; }

STDMETHODIMP CPushPinNVC480::SetFormat(AM_MEDIA_TYPE *pmt) {
    CheckPointer(pmt, E_POINTER);
    if (!IsRgb24Video(pmt)) return E_INVALIDARG;
    const BITMAPINFOHEADER &header = VideoHeaderOf(pmt)->bmiHeader;
    int index = SizeIndexOf(header.biWidth, header.biHeight);
    if (index < 0) return E_INVALIDARG;
    if (!IsConnected()) {
        m_settings.eNVC480Size = static_cast<DWORD>(index);
    } else {
        if (!IsStopped()) return VFW_E_NOT_STOPPED;
        if (static_cast<DWORD>(index) != m_settings.eNVC480Size) return VFW_E_ALREADY_CONNECTED;
    }
    m_bFormatSet = TRUE;
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::GetFormat(AM_MEDIA_TYPE **ppmt) {
    CheckPointer(ppmt, E_POINTER);
    CMediaType type;
    {
        CAutoLock lock(m_pLock);
        DWORD index = m_settings.eNVC480Size;
        if (index >= static_cast<DWORD>(kVideoSizeCount)) return E_UNEXPECTED;
        // Every size has its type here, not only the one offered for connection.
        HRESULT hr = BuildSizeType(static_cast<int>(index), &type);
        if (FAILED(hr)) return hr;
    }
    *ppmt = CreateMediaType(&type);
    return *ppmt == NULL ? E_OUTOFMEMORY : S_OK;
}

STDMETHODIMP CPushPinNVC480::GetNumberOfCapabilities(int *piCount, int *piSize) {
    if (piCount != NULL) *piCount = kVideoSizeCount;
    if (piSize != NULL) *piSize = sizeof(VIDEO_STREAM_CONFIG_CAPS);
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::GetStreamCaps(int iIndex, AM_MEDIA_TYPE **ppmt, BYTE *pSCC) {
    if (iIndex < 0) return E_INVALIDARG;
    if (iIndex >= kVideoSizeCount) return S_FALSE;
    CMediaType type;
    HRESULT hr = BuildVideoType(iIndex, &type);
    if (FAILED(hr)) return hr;
    if (type.Format() == NULL) return E_UNEXPECTED;
    if (ppmt != NULL) {
        *ppmt = CreateMediaType(&type);
        if (*ppmt == NULL) return E_OUTOFMEMORY;
    }
    if (pSCC != NULL) {
        auto *caps = reinterpret_cast<VIDEO_STREAM_CONFIG_CAPS *>(pSCC);
        ZeroMemory(caps, sizeof(VIDEO_STREAM_CONFIG_CAPS));
        const CVideoSize &size = kVideoSizes[iIndex];
        const SIZE picture = {size.width, size.height};
        caps->guid = FORMAT_VideoInfo;
        caps->VideoStandard = 0;
        caps->InputSize = picture;
        caps->MinCroppingSize = picture;
        caps->MaxCroppingSize = picture;
        caps->MinOutputSize = picture;
        caps->MaxOutputSize = picture;
        caps->MinFrameInterval = 333333;    // 30 frames per second
        caps->MaxFrameInterval = 10000000;  // 1 frame per second
        LONG bitsPerFrame = static_cast<LONG>(type.GetSampleSize()) * 8;
        caps->MinBitsPerSecond = bitsPerFrame;
        caps->MaxBitsPerSecond = bitsPerFrame * 30;
    }
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::Set(REFGUID, DWORD, LPVOID, DWORD, LPVOID, DWORD) { return E_NOTIMPL; }

STDMETHODIMP CPushPinNVC480::Get(REFGUID guidPropSet, DWORD dwPropID, LPVOID, DWORD, LPVOID pPropData,
                                 DWORD cbPropData, DWORD *pcbReturned) {
    if (!IsEqualGUID(guidPropSet, AMPROPSETID_Pin)) return E_PROP_SET_UNSUPPORTED;
    if (dwPropID != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
    if (pPropData == NULL && pcbReturned == NULL) return E_POINTER;
    if (pcbReturned != NULL) *pcbReturned = sizeof(GUID);
    if (pPropData == NULL) return S_OK;
    if (cbPropData < sizeof(GUID)) return E_UNEXPECTED;
    *static_cast<GUID *>(pPropData) = PIN_CATEGORY_CAPTURE;
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::QuerySupported(REFGUID guidPropSet, DWORD dwPropID, DWORD *pTypeSupport) {
    if (!IsEqualGUID(guidPropSet, AMPROPSETID_Pin)) return E_PROP_SET_UNSUPPORTED;
    if (dwPropID != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
    if (pTypeSupport != NULL) *pTypeSupport = KSPROPERTY_SUPPORT_GET;
    return S_OK;
}

STDMETHODIMP CPushPinNVC480::GetPages(CAUUID *pPages) {
    CheckPointer(pPages, E_POINTER);
    pPages->cElems = 1;
    pPages->pElems = static_cast<GUID *>(CoTaskMemAlloc(sizeof(GUID)));
    if (pPages->pElems == NULL) return E_OUTOFMEMORY;
    pPages->pElems[0] = CLSID_NVC480SizePage;
    return S_OK;
}
