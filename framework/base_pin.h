// A pin of a filter: connection to a peer pin with media type negotiation,
// the current media type, the segment, and the per-pin hooks the filter's
// state changes call. A pin lives as long as its filter: its references are
// the filter's.
#pragma once

#include <windows.h>
#include <strmif.h>

#include "base_filter.h"
#include "combase.h"
#include "media_type.h"
#include "reftime.h"
#include "sync.h"

class CBasePin : public CUnknown, public IPin, public IQualityControl {
public:
    // pLock is the filter's state lock; pName is copied.
    CBasePin(LPCWSTR pObjectName, CBaseFilter *pFilter, CCritSec *pLock, HRESULT *phr, LPCWSTR pName,
             PIN_DIRECTION dir);
    ~CBasePin() override;

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
    STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

    // IPin
    STDMETHODIMP Connect(IPin *pReceivePin, const AM_MEDIA_TYPE *pmt) override;
    STDMETHODIMP ReceiveConnection(IPin *pConnector, const AM_MEDIA_TYPE *pmt) override;
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP ConnectedTo(IPin **pPin) override;
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE *pmt) override;
    STDMETHODIMP QueryPinInfo(PIN_INFO *pInfo) override;
    STDMETHODIMP QueryDirection(PIN_DIRECTION *pPinDir) override;
    STDMETHODIMP QueryId(LPWSTR *Id) override;
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE *pmt) override;
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes **ppEnum) override;
    STDMETHODIMP QueryInternalConnections(IPin **apPin, ULONG *nPin) override;
    STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

    // IQualityControl
    STDMETHODIMP Notify(IBaseFilter *pSender, Quality q) override;
    STDMETHODIMP SetSink(IQualityControl *piqc) override;

    // Called by the filter, under its state lock, on connected pins.
    virtual HRESULT Active() { return S_OK; }
    virtual HRESULT Inactive() { return S_OK; }
    virtual HRESULT Run(REFERENCE_TIME) { return S_OK; }

    // Connection steps a derived pin may extend.
    virtual HRESULT CheckConnect(IPin *pPin);
    virtual HRESULT BreakConnect() { return S_OK; }
    virtual HRESULT CompleteConnect(IPin *) { return S_OK; }
    // Exactly S_OK accepts the type.
    virtual HRESULT CheckMediaType(const CMediaType *pmt) = 0;
    virtual HRESULT SetMediaType(const CMediaType *pmt);
    // The pin's preferred types by position; anything but S_OK ends the list.
    virtual HRESULT GetMediaType(int iPosition, CMediaType *pMediaType) { return E_UNEXPECTED; }
    // Changes whenever the pin's preferred types change, so enumerators notice.
    virtual LONG GetMediaTypeVersion() { return m_TypeVersion; }
    void IncrementTypeVersion() { InterlockedIncrement(&m_TypeVersion); }

    BOOL IsConnected() const { return m_Connected != NULL; }
    IPin *GetConnected() const { return m_Connected; }
    BOOL IsStopped() const;
    CMediaType &CurrentMediaType() { return m_mt; }
    LPCWSTR Name() const { return m_pName; }
    REFERENCE_TIME CurrentStartTime() const { return m_tStart; }
    REFERENCE_TIME CurrentStopTime() const { return m_tStop; }
    double CurrentRate() const { return m_dRate; }

protected:
    virtual HRESULT AgreeMediaType(IPin *pReceivePin, const CMediaType *pmt);
    HRESULT TryMediaTypes(IPin *pReceivePin, const CMediaType *pmt, IEnumMediaTypes *pEnum);
    HRESULT AttemptConnection(IPin *pReceivePin, const CMediaType *pmt);
    // Ends the connection; S_FALSE when there was none.
    HRESULT DisconnectInternal();

    WCHAR *m_pName;
    IPin *m_Connected = NULL;  // referenced
    PIN_DIRECTION m_dir;
    CCritSec *m_pLock;
    bool m_bRunTimeError = false;
    bool m_bCanReconnectWhenActive = false;
    bool m_bTryMyTypesFirst = false;
    CBaseFilter *m_pFilter;
    IQualityControl *m_pQSink = NULL;
    volatile LONG m_TypeVersion = 1;
    CMediaType m_mt;
    CRefTime m_tStart;
    CRefTime m_tStop = MAX_TIME;
    double m_dRate = 1.0;
};
