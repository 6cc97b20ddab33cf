#include "base_filter.h"

#include <evcode.h>
#include <uuids.h>

#include <new>

#include "base_pin.h"
#include "enum_pins.h"
#include "registration.h"

namespace {

// A copy of name in a new array; null when name is null or memory is short.
WCHAR *CopyName(LPCWSTR name) {
    if (name == NULL) return NULL;
    int length = lstrlenW(name) + 1;
    WCHAR *copy = new (std::nothrow) WCHAR[length];
    if (copy != NULL) memcpy(copy, name, length * sizeof(WCHAR));
    return copy;
}

// Parses a pin id: decimal digits after optional blanks; anything else
// names no pin (0).
int PinNumberFromId(LPCWSTR id) {
    while (*id == L' ' || *id == L'\t') id++;
    long long value = 0;
    for (; *id >= L'0' && *id <= L'9'; id++) {
        value = value * 10 + (*id - L'0');
        if (value > 0x7FFFFFFF) return 0;
    }
    return static_cast<int>(value);
}

}  // namespace

CBaseFilter::CBaseFilter(LPCWSTR pName, LPUNKNOWN pUnk, CCritSec *pLock, REFCLSID clsid, HRESULT *)
    : CUnknown(pName, pUnk), m_clsid(clsid), m_pLock(pLock) {}

CBaseFilter::~CBaseFilter() {
    delete[] m_pName;
    if (m_pClock != NULL) m_pClock->Release();
}

STDMETHODIMP CBaseFilter::NonDelegatingQueryInterface(REFIID riid, void **ppv) {
    if (IsEqualIID(riid, IID_IBaseFilter) || IsEqualIID(riid, IID_IMediaFilter) || IsEqualIID(riid, IID_IPersist)) {
        return GetInterface(static_cast<IBaseFilter *>(this), ppv);
    }
    if (IsEqualIID(riid, IID_IAMovieSetup)) return GetInterface(static_cast<IAMovieSetup *>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CBaseFilter::GetClassID(CLSID *pClsID) {
    CheckPointer(pClsID, E_POINTER);
    *pClsID = m_clsid;
    return S_OK;
}

STDMETHODIMP CBaseFilter::GetState(DWORD, FILTER_STATE *State) {
    CheckPointer(State, E_POINTER);
    *State = m_State;
    return S_OK;
}

STDMETHODIMP CBaseFilter::SetSyncSource(IReferenceClock *pClock) {
    CAutoLock lock(m_pLock);
    if (pClock != NULL) pClock->AddRef();
    if (m_pClock != NULL) m_pClock->Release();
    m_pClock = pClock;
    return S_OK;
}

STDMETHODIMP CBaseFilter::GetSyncSource(IReferenceClock **pClock) {
    CheckPointer(pClock, E_POINTER);
    CAutoLock lock(m_pLock);
    *pClock = m_pClock;
    if (m_pClock != NULL) m_pClock->AddRef();
    return S_OK;
}

HRESULT CBaseFilter::StreamTime(CRefTime &rtStream) {
    CAutoLock lock(m_pLock);
    if (m_pClock == NULL) return VFW_E_NO_CLOCK;
    REFERENCE_TIME now = 0;
    HRESULT hr = m_pClock->GetTime(&now);
    if (FAILED(hr)) return hr;
    rtStream = now - m_tStart.m_time;
    return S_OK;
}

STDMETHODIMP CBaseFilter::Stop() {
    CAutoLock lock(m_pLock);
    HRESULT hr = S_OK;
    if (m_State != State_Stopped) {
        int count = GetPinCount();
        for (int c = 0; c < count; c++) {
            CBasePin *pin = GetPin(c);
            if (pin == NULL || !pin->IsConnected()) continue;
            HRESULT hrTmp = pin->Inactive();
            if (FAILED(hrTmp) && SUCCEEDED(hr)) hr = hrTmp;
        }
    }
    m_State = State_Stopped;
    return hr;
}

STDMETHODIMP CBaseFilter::Pause() {
    CAutoLock lock(m_pLock);
    if (m_State == State_Stopped) {
        int count = GetPinCount();
        for (int c = 0; c < count; c++) {
            CBasePin *pin = GetPin(c);
            if (pin == NULL || !pin->IsConnected()) continue;
            HRESULT hr = pin->Active();
            if (FAILED(hr)) {
                // The filter stays Stopped, so a later Stop would not visit
                // the pins started so far: stop them now.
                for (int started = 0; started < c; started++) {
                    CBasePin *other = GetPin(started);
                    if (other != NULL && other->IsConnected()) other->Inactive();
                }
                return hr;
            }
        }
    }
    m_State = State_Paused;
    return S_OK;
}

STDMETHODIMP CBaseFilter::Run(REFERENCE_TIME tStart) {
    CAutoLock lock(m_pLock);
    m_tStart = tStart;
    if (m_State == State_Stopped) {
        HRESULT hr = Pause();
        if (FAILED(hr)) return hr;
    }
    if (m_State != State_Running) {
        int count = GetPinCount();
        for (int c = 0; c < count; c++) {
            CBasePin *pin = GetPin(c);
            if (pin == NULL || !pin->IsConnected()) continue;
            HRESULT hr = pin->Run(tStart);
            if (FAILED(hr)) return hr;
        }
    }
    m_State = State_Running;
    return S_OK;
}

STDMETHODIMP CBaseFilter::EnumPins(IEnumPins **ppEnum) {
    CheckPointer(ppEnum, E_POINTER);
    *ppEnum = new (std::nothrow) CEnumPins(this, NULL);
    return *ppEnum == NULL ? E_OUTOFMEMORY : S_OK;
}

STDMETHODIMP CBaseFilter::FindPin(LPCWSTR Id, IPin **ppPin) {
    CheckPointer(ppPin, E_POINTER);
    *ppPin = NULL;
    CheckPointer(Id, E_POINTER);
    CAutoLock lock(m_pLock);
    CBasePin *pin = GetPin(PinNumberFromId(Id) - 1);
    if (pin == NULL) return VFW_E_NOT_FOUND;
    *ppPin = pin;
    pin->AddRef();
    return S_OK;
}

STDMETHODIMP CBaseFilter::QueryFilterInfo(FILTER_INFO *pInfo) {
    CheckPointer(pInfo, E_POINTER);
    const size_t capacity = sizeof(pInfo->achName) / sizeof(pInfo->achName[0]);
    if (m_pName != NULL) {
        lstrcpynW(pInfo->achName, m_pName, static_cast<int>(capacity));
    } else {
        pInfo->achName[0] = L'\0';
    }
    pInfo->pGraph = m_pGraph;
    if (m_pGraph != NULL) m_pGraph->AddRef();
    return S_OK;
}

STDMETHODIMP CBaseFilter::JoinFilterGraph(IFilterGraph *pGraph, LPCWSTR pName) {
    CAutoLock lock(m_pLock);
    m_pGraph = pGraph;
    m_pSink = NULL;
    if (pGraph != NULL) {
        // Kept without a reference, as the graph itself is.
        IMediaEventSink *sink = NULL;
        if (SUCCEEDED(pGraph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void **>(&sink))) && sink != NULL) {
            m_pSink = sink;
            sink->Release();
        }
    }
    delete[] m_pName;
    m_pName = NULL;
    if (pName != NULL) {
        m_pName = CopyName(pName);
        if (m_pName == NULL) return E_OUTOFMEMORY;
    }
    return S_OK;
}

STDMETHODIMP CBaseFilter::QueryVendorInfo(LPWSTR *) { return E_NOTIMPL; }

HRESULT CBaseFilter::NotifyEvent(long EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) {
    IMediaEventSink *sink = m_pSink;
    if (sink == NULL) return E_NOTIMPL;
    // The graph learns which filter completed.
    if (EventCode == EC_COMPLETE) EventParam2 = reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter *>(this));
    return sink->Notify(EventCode, EventParam1, EventParam2);
}

namespace {

// Runs one filter's registration with the old filter mapper, inside a COM
// initialisation of its own.
HRESULT RegisterWithMapper(const AMOVIESETUP_FILTER *setup, BOOL bRegister) {
    HRESULT hrInit = CoInitialize(NULL);
    IFilterMapper *mapper = NULL;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper, NULL, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                                  reinterpret_cast<void **>(&mapper));
    if (SUCCEEDED(hr)) {
        hr = AMovieSetupRegisterFilter(setup, mapper, bRegister);
        mapper->Release();
    }
    CoFreeUnusedLibraries();
    if (SUCCEEDED(hrInit)) CoUninitialize();
    return hr;
}

}  // namespace

STDMETHODIMP CBaseFilter::Register() {
    const AMOVIESETUP_FILTER *setup = GetSetupData();
    if (setup == NULL) return S_FALSE;
    HRESULT hr = RegisterWithMapper(setup, TRUE);
    return FAILED(hr) ? hr : S_OK;
}

STDMETHODIMP CBaseFilter::Unregister() {
    const AMOVIESETUP_FILTER *setup = GetSetupData();
    if (setup == NULL) return S_FALSE;
    return RegisterWithMapper(setup, FALSE);
}
