// The pattern source's filter and output pin, written with the framework.
#include "pattern_source_filter.h"

namespace {

const WCHAR kSamplesValue[] = L"Samples";
const WCHAR kFailureValue[] = L"Failure";

// A DWORD of the device entry, which the property bag gives as VT_I4.
bool ReadDword(IPropertyBag *bag, LPCOLESTR name, LONG *value) {
    VARIANT variant;
    VariantInit(&variant);
    if (FAILED(bag->Read(name, &variant, NULL))) return false;
    bool found = variant.vt == VT_I4;
    if (found) *value = variant.lVal;
    VariantClear(&variant);
    return found;
}

}  // namespace

CPatternStream::CPatternStream(HRESULT *phr, CPatternSource *filter)
    : CSourceStream(L"pattern stream", phr, filter, L"Out"), m_pPatternSource(filter) {}

HRESULT CPatternStream::GetMediaType(CMediaType *pMediaType) {
    CheckPointer(pMediaType, E_POINTER);
    pMediaType->InitMediaType();
    pMediaType->SetType(&MEDIATYPE_Video);
    pMediaType->SetSubtype(&MEDIASUBTYPE_RGB24);
    pMediaType->SetFormatType(&FORMAT_VideoInfo);
    pMediaType->SetTemporalCompression(FALSE);
    pMediaType->SetSampleSize(kTestPatternSampleSize);
    auto *format = reinterpret_cast<VIDEOINFOHEADER *>(pMediaType->AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
    if (format == NULL) return E_OUTOFMEMORY;
    ZeroMemory(format, sizeof(VIDEOINFOHEADER));
    format->AvgTimePerFrame = kTestPatternFramePeriod;
    format->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    format->bmiHeader.biWidth = kTestPatternWidth;
    format->bmiHeader.biHeight = kTestPatternHeight;
    format->bmiHeader.biPlanes = 1;
    format->bmiHeader.biBitCount = 24;
    format->bmiHeader.biCompression = BI_RGB;
    format->bmiHeader.biSizeImage = kTestPatternSampleSize;
    return S_OK;
}

HRESULT CPatternStream::DecideBufferSize(IMemAllocator *pAlloc, ALLOCATOR_PROPERTIES *pRequest) {
    CheckPointer(pAlloc, E_POINTER);
    CheckPointer(pRequest, E_POINTER);
    ALLOCATOR_PROPERTIES wanted = *pRequest;
    if (wanted.cBuffers < 2) wanted.cBuffers = 2;
    if (wanted.cbBuffer < kTestPatternSampleSize) wanted.cbBuffer = kTestPatternSampleSize;
    ALLOCATOR_PROPERTIES actual = {};
    HRESULT hr = pAlloc->SetProperties(&wanted, &actual);
    if (FAILED(hr)) return hr;
    return actual.cbBuffer < kTestPatternSampleSize ? E_FAIL : S_OK;
}

HRESULT CPatternStream::OnThreadCreate() {
    // Every run of the streaming thread starts a new stream at time 0.
    m_lNextSample = 0;
    m_pPatternSource->GetStreamEnd(&m_lStreamLength, &m_hrStreamEnd);
    return S_OK;
}

HRESULT CPatternStream::FillBuffer(IMediaSample *pSample) {
    if (m_lStreamLength > 0 && m_lNextSample >= m_lStreamLength) return m_hrStreamEnd;
    BYTE *data = NULL;
    HRESULT hr = pSample->GetPointer(&data);
    if (FAILED(hr)) return hr;
    if (pSample->GetSize() < kTestPatternSampleSize) return E_UNEXPECTED;
    for (LONG i = 0; i < kTestPatternSampleSize; i++) data[i] = static_cast<BYTE>(m_lNextSample + i);
    REFERENCE_TIME start = m_lNextSample * kTestPatternFramePeriod;
    REFERENCE_TIME stop = start + kTestPatternFramePeriod;
    pSample->SetTime(&start, &stop);
    pSample->SetActualDataLength(kTestPatternSampleSize);
    pSample->SetSyncPoint(TRUE);
    m_lNextSample++;
    return S_OK;
}

CPatternSource::CPatternSource(LPUNKNOWN pUnk, HRESULT *phr)
    : CSource(TEST_PATTERN_SOURCE_NAME, pUnk, CLSID_TestPatternSource, phr) {
    // The pin enters the filter's pin list itself; the filter deletes it.
    new CPatternStream(phr, this);
}

CUnknown *WINAPI CPatternSource::CreateInstance(LPUNKNOWN pUnk, HRESULT *phr) {
    auto *filter = new CPatternSource(pUnk, phr);
    if (filter->GetPinCount() != 1 && SUCCEEDED(*phr)) *phr = E_OUTOFMEMORY;
    return filter;
}

STDMETHODIMP CPatternSource::NonDelegatingQueryInterface(REFIID riid, void **ppv) {
    CheckPointer(ppv, E_POINTER);
    if (riid == IID_IPersistPropertyBag) return GetInterface(static_cast<IPersistPropertyBag *>(this), ppv);
    return CSource::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CPatternSource::GetClassID(CLSID *pClsID) { return CSource::GetClassID(pClsID); }

STDMETHODIMP CPatternSource::InitNew() { return S_OK; }

STDMETHODIMP CPatternSource::Load(IPropertyBag *pPropBag, IErrorLog *) {
    CheckPointer(pPropBag, E_POINTER);
    LONG samples = 0;
    LONG failure = S_FALSE;
    ReadDword(pPropBag, kSamplesValue, &samples);
    ReadDword(pPropBag, kFailureValue, &failure);
    CAutoLock lock(pStateLock());
    m_lStreamLength = samples < 0 ? 0 : samples;
    // Only S_FALSE or a failure ends a stream; anything else would deliver
    // an unfilled sample.
    m_hrStreamEnd = FAILED(failure) ? static_cast<HRESULT>(failure) : S_FALSE;
    return S_OK;
}

STDMETHODIMP CPatternSource::Save(IPropertyBag *, BOOL, BOOL) { return E_NOTIMPL; }

void CPatternSource::GetStreamEnd(LONG *plLength, HRESULT *phrEnd) {
    // Called on the streaming thread while the pausing thread holds the
    // state lock and waits for it; Load's writes happened before that pause.
    *plLength = m_lStreamLength;
    *phrEnd = m_hrStreamEnd;
}
