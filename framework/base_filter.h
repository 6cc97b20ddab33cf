// The filter half of the framework: identity, the state machine (Stopped,
// Paused, Running) driven over the filter's pins, the reference clock, the
// filter graph the filter belongs to, and its pin list as derived classes
// define it.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <vfwmsgs.h>

#include "combase.h"
#include "reftime.h"
#include "setup.h"
#include "sync.h"

class CBasePin;

class CBaseFilter : public CUnknown, public IBaseFilter, public IAMovieSetup {
public:
    // pLock is the filter's state lock, owned by the derived class.
    CBaseFilter(LPCWSTR pName, LPUNKNOWN pUnk, CCritSec *pLock, REFCLSID clsid, HRESULT *phr = NULL);
    ~CBaseFilter() override;

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override;

    // IPersist
    STDMETHODIMP GetClassID(CLSID *pClsID) override;

    // IMediaFilter
    STDMETHODIMP GetState(DWORD dwMSecs, FILTER_STATE *State) override;
    STDMETHODIMP SetSyncSource(IReferenceClock *pClock) override;
    STDMETHODIMP GetSyncSource(IReferenceClock **pClock) override;
    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Run(REFERENCE_TIME tStart) override;

    // IBaseFilter
    STDMETHODIMP EnumPins(IEnumPins **ppEnum) override;
    // Id is a pin's 1-based position as a decimal string.
    STDMETHODIMP FindPin(LPCWSTR Id, IPin **ppPin) override;
    STDMETHODIMP QueryFilterInfo(FILTER_INFO *pInfo) override;
    STDMETHODIMP JoinFilterGraph(IFilterGraph *pGraph, LPCWSTR pName) override;
    STDMETHODIMP QueryVendorInfo(LPWSTR *pVendorInfo) override;

    // IAMovieSetup: the filter's entries with the filter mapper, from
    // GetSetupData; S_FALSE when the filter has none.
    STDMETHODIMP Register() override;
    STDMETHODIMP Unregister() override;
    virtual const AMOVIESETUP_FILTER *GetSetupData() { return NULL; }

    // The stream time: the clock's time minus the start time.
    virtual HRESULT StreamTime(CRefTime &rtStream);
    // Passes an event to the graph's event sink.
    HRESULT NotifyEvent(long EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2);

    // The pin list. GetPin gives null outside 0..GetPinCount()-1.
    virtual int GetPinCount() = 0;
    virtual CBasePin *GetPin(int n) = 0;
    // Changes whenever the pin list changes, so enumerators notice.
    virtual LONG GetPinVersion() { return m_PinVersion; }
    void IncrementPinVersion() { InterlockedIncrement(&m_PinVersion); }

    BOOL IsActive() {
        CAutoLock lock(m_pLock);
        return m_State != State_Stopped;
    }
    BOOL IsStopped() { return m_State == State_Stopped; }
    IFilterGraph *GetFilterGraph() { return m_pGraph; }

protected:
    CLSID m_clsid;
    FILTER_STATE m_State = State_Stopped;
    CRefTime m_tStart;
    IReferenceClock *m_pClock = NULL;  // referenced
    // Not referenced: the graph owns the filter, not the other way round.
    IFilterGraph *m_pGraph = NULL;
    IMediaEventSink *m_pSink = NULL;
    WCHAR *m_pName = NULL;
    CCritSec *m_pLock;
    volatile LONG m_PinVersion = 1;
};
