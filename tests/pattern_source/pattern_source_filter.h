// The pattern source's classes: a source filter with one output pin.
#pragma once

#include <streams.h>
#include <ocidl.h>

#include "pattern_source.h"

class CPatternSource;

class CPatternStream : public CSourceStream {
public:
    CPatternStream(HRESULT *phr, CPatternSource *filter);

    HRESULT GetMediaType(CMediaType *pMediaType) override;
    using CSourceStream::GetMediaType;
    HRESULT DecideBufferSize(IMemAllocator *pAlloc, ALLOCATOR_PROPERTIES *pRequest) override;

protected:
    HRESULT OnThreadCreate() override;
    HRESULT FillBuffer(IMediaSample *pSample) override;

private:
    CPatternSource *const m_pPatternSource;
    // The streaming thread's own.
    LONG m_lNextSample = 0;
    LONG m_lStreamLength = 0;
    HRESULT m_hrStreamEnd = S_FALSE;
};

class CPatternSource : public CSource, public IPersistPropertyBag {
public:
    CPatternSource(LPUNKNOWN pUnk, HRESULT *phr);
    static CUnknown *WINAPI CreateInstance(LPUNKNOWN pUnk, HRESULT *phr);

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override;
    // One class id for both IPersist bases.
    STDMETHODIMP GetClassID(CLSID *pClsID) override;

    // The device entry's Samples and Failure values.
    STDMETHODIMP InitNew() override;
    STDMETHODIMP Load(IPropertyBag *pPropBag, IErrorLog *pErrorLog) override;
    STDMETHODIMP Save(IPropertyBag *pPropBag, BOOL fClearDirty, BOOL fSaveAllProperties) override;

    // How a stream ends: after *plLength samples (0: never) with *phrEnd.
    void GetStreamEnd(LONG *plLength, HRESULT *phrEnd);

private:
    // Under the state lock.
    LONG m_lStreamLength = 0;
    HRESULT m_hrStreamEnd = S_FALSE;
};
