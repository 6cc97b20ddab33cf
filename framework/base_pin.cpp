#include "base_pin.h"

#include <new>

#include "enum_media_types.h"

namespace {

// Errors that mean only "not this type"; negotiation goes on after them and
// reports something more telling if it can.
bool IsTypeRefusal(HRESULT hr) { return hr == E_FAIL || hr == E_INVALIDARG || hr == VFW_E_TYPE_NOT_ACCEPTED; }

}  // namespace

CBasePin::CBasePin(LPCWSTR pObjectName, CBaseFilter *pFilter, CCritSec *pLock, HRESULT *phr, LPCWSTR pName,
                   PIN_DIRECTION dir)
    : CUnknown(pObjectName, NULL), m_pName(NULL), m_dir(dir), m_pLock(pLock), m_pFilter(pFilter) {
    if (pName != NULL) {
        int length = lstrlenW(pName) + 1;
        m_pName = new (std::nothrow) WCHAR[length];
        if (m_pName != NULL) {
            memcpy(m_pName, pName, length * sizeof(WCHAR));
        } else if (phr != NULL && SUCCEEDED(*phr)) {
            *phr = E_OUTOFMEMORY;
        }
    }
}

CBasePin::~CBasePin() {
    delete[] m_pName;
    if (m_Connected != NULL) m_Connected->Release();
}

STDMETHODIMP CBasePin::NonDelegatingQueryInterface(REFIID riid, void **ppv) {
    if (IsEqualIID(riid, IID_IPin)) return GetInterface(static_cast<IPin *>(this), ppv);
    if (IsEqualIID(riid, IID_IQualityControl)) return GetInterface(static_cast<IQualityControl *>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

// The filter owns and deletes its pins; a reference to a pin keeps the
// filter, and so the pin, alive.
STDMETHODIMP_(ULONG) CBasePin::NonDelegatingAddRef() { return m_pFilter->AddRef(); }

STDMETHODIMP_(ULONG) CBasePin::NonDelegatingRelease() { return m_pFilter->Release(); }

BOOL CBasePin::IsStopped() const { return m_pFilter->IsStopped(); }

STDMETHODIMP CBasePin::Connect(IPin *pReceivePin, const AM_MEDIA_TYPE *pmt) {
    CheckPointer(pReceivePin, E_POINTER);
    CAutoLock lock(m_pLock);
    if (m_Connected != NULL) return VFW_E_ALREADY_CONNECTED;
    if (!IsStopped() && !m_bCanReconnectWhenActive) return VFW_E_NOT_STOPPED;
    HRESULT hr = AgreeMediaType(pReceivePin, static_cast<const CMediaType *>(pmt));
    if (FAILED(hr)) {
        BreakConnect();
        return hr;
    }
    return S_OK;
}

HRESULT CBasePin::AgreeMediaType(IPin *pReceivePin, const CMediaType *pmt) {
    if (pmt != NULL && !pmt->IsPartiallySpecified()) return AttemptConnection(pReceivePin, pmt);

    HRESULT hrFailure = VFW_E_NO_ACCEPTABLE_TYPES;
    for (int pass = 0; pass < 2; pass++) {
        // The peer's types first, unless this pin prefers its own.
        bool peerTypes = (pass == 0) != m_bTryMyTypesFirst;
        IEnumMediaTypes *types = NULL;
        HRESULT hr = peerTypes ? pReceivePin->EnumMediaTypes(&types) : EnumMediaTypes(&types);
        if (FAILED(hr) || types == NULL) continue;
        hr = TryMediaTypes(pReceivePin, pmt, types);
        types->Release();
        if (SUCCEEDED(hr)) return S_OK;
        if (!IsTypeRefusal(hr) && hr != VFW_E_NO_ACCEPTABLE_TYPES && hrFailure == VFW_E_NO_ACCEPTABLE_TYPES) {
            hrFailure = hr;
        }
    }
    return hrFailure;
}

HRESULT CBasePin::TryMediaTypes(IPin *pReceivePin, const CMediaType *pmt, IEnumMediaTypes *pEnum) {
    HRESULT hr = pEnum->Reset();
    if (FAILED(hr)) return hr;
    HRESULT hrFailure = VFW_E_NO_ACCEPTABLE_TYPES;
    for (;;) {
        AM_MEDIA_TYPE *candidate = NULL;
        ULONG fetched = 0;
        hr = pEnum->Next(1, &candidate, &fetched);
        if (hr != S_OK || fetched != 1 || candidate == NULL) {
            if (candidate != NULL) DeleteMediaType(candidate);
            return hrFailure;
        }
        const CMediaType *type = static_cast<const CMediaType *>(candidate);
        if (pmt == NULL || type->MatchesPartial(pmt)) {
            hr = AttemptConnection(pReceivePin, type);
            if (SUCCEEDED(hr)) {
                DeleteMediaType(candidate);
                return S_OK;
            }
            if (!IsTypeRefusal(hr) && hrFailure == VFW_E_NO_ACCEPTABLE_TYPES) hrFailure = hr;
        }
        DeleteMediaType(candidate);
    }
}

HRESULT CBasePin::AttemptConnection(IPin *pReceivePin, const CMediaType *pmt) {
    HRESULT hr = CheckConnect(pReceivePin);
    if (SUCCEEDED(hr)) {
        hr = CheckMediaType(pmt);
        if (hr == S_OK) {
            m_Connected = pReceivePin;
            m_Connected->AddRef();
            hr = SetMediaType(pmt);
            if (SUCCEEDED(hr)) {
                hr = pReceivePin->ReceiveConnection(static_cast<IPin *>(this), pmt);
                if (SUCCEEDED(hr)) {
                    hr = CompleteConnect(pReceivePin);
                    if (SUCCEEDED(hr)) return hr;
                    // The peer took the connection; it must let go of it.
                    pReceivePin->Disconnect();
                }
            }
        } else if (SUCCEEDED(hr) || IsTypeRefusal(hr)) {
            hr = VFW_E_TYPE_NOT_ACCEPTED;
        }
    }
    BreakConnect();
    if (m_Connected != NULL) {
        m_Connected->Release();
        m_Connected = NULL;
    }
    return hr;
}

STDMETHODIMP CBasePin::ReceiveConnection(IPin *pConnector, const AM_MEDIA_TYPE *pmt) {
    CheckPointer(pConnector, E_POINTER);
    CheckPointer(pmt, E_POINTER);
    CAutoLock lock(m_pLock);
    if (m_Connected != NULL) return VFW_E_ALREADY_CONNECTED;
    if (!IsStopped() && !m_bCanReconnectWhenActive) return VFW_E_NOT_STOPPED;
    const CMediaType *type = static_cast<const CMediaType *>(pmt);
    HRESULT hr = CheckConnect(pConnector);
    if (SUCCEEDED(hr)) {
        hr = CheckMediaType(type);
        if (hr == S_OK) {
            m_Connected = pConnector;
            m_Connected->AddRef();
            hr = SetMediaType(type);
            if (SUCCEEDED(hr)) {
                hr = CompleteConnect(pConnector);
                if (SUCCEEDED(hr)) return S_OK;
            }
        } else if (SUCCEEDED(hr) || IsTypeRefusal(hr)) {
            hr = VFW_E_TYPE_NOT_ACCEPTED;
        }
    }
    BreakConnect();
    if (m_Connected != NULL) {
        m_Connected->Release();
        m_Connected = NULL;
    }
    return hr;
}

STDMETHODIMP CBasePin::Disconnect() {
    CAutoLock lock(m_pLock);
    if (!IsStopped()) return VFW_E_NOT_STOPPED;
    return DisconnectInternal();
}

HRESULT CBasePin::DisconnectInternal() {
    if (m_Connected == NULL) return S_FALSE;
    HRESULT hr = BreakConnect();
    if (FAILED(hr)) return hr;
    m_Connected->Release();
    m_Connected = NULL;
    return S_OK;
}

STDMETHODIMP CBasePin::ConnectedTo(IPin **pPin) {
    CheckPointer(pPin, E_POINTER);
    CAutoLock lock(m_pLock);
    *pPin = m_Connected;
    if (m_Connected == NULL) return VFW_E_NOT_CONNECTED;
    m_Connected->AddRef();
    return S_OK;
}

STDMETHODIMP CBasePin::ConnectionMediaType(AM_MEDIA_TYPE *pmt) {
    CheckPointer(pmt, E_POINTER);
    CAutoLock lock(m_pLock);
    if (m_Connected == NULL) {
        memset(pmt, 0, sizeof(*pmt));
        return VFW_E_NOT_CONNECTED;
    }
    return CopyMediaType(pmt, &m_mt);
}

STDMETHODIMP CBasePin::QueryPinInfo(PIN_INFO *pInfo) {
    CheckPointer(pInfo, E_POINTER);
    pInfo->pFilter = m_pFilter;
    if (m_pFilter != NULL) m_pFilter->AddRef();
    const int capacity = sizeof(pInfo->achName) / sizeof(pInfo->achName[0]);
    if (m_pName != NULL) {
        lstrcpynW(pInfo->achName, m_pName, capacity);
    } else {
        pInfo->achName[0] = L'\0';
    }
    pInfo->dir = m_dir;
    return S_OK;
}

STDMETHODIMP CBasePin::QueryDirection(PIN_DIRECTION *pPinDir) {
    CheckPointer(pPinDir, E_POINTER);
    *pPinDir = m_dir;
    return S_OK;
}

STDMETHODIMP CBasePin::QueryId(LPWSTR *Id) {
    CheckPointer(Id, E_POINTER);
    *Id = NULL;
    int length = (m_pName != NULL ? lstrlenW(m_pName) : 0) + 1;
    *Id = static_cast<LPWSTR>(CoTaskMemAlloc(length * sizeof(WCHAR)));
    if (*Id == NULL) return E_OUTOFMEMORY;
    if (m_pName != NULL) {
        memcpy(*Id, m_pName, length * sizeof(WCHAR));
    } else {
        (*Id)[0] = L'\0';
    }
    return S_OK;
}

STDMETHODIMP CBasePin::QueryAccept(const AM_MEDIA_TYPE *pmt) {
    CheckPointer(pmt, E_POINTER);
    HRESULT hr = CheckMediaType(static_cast<const CMediaType *>(pmt));
    return FAILED(hr) ? S_FALSE : hr;
}

STDMETHODIMP CBasePin::EnumMediaTypes(IEnumMediaTypes **ppEnum) {
    CheckPointer(ppEnum, E_POINTER);
    *ppEnum = new (std::nothrow) CEnumMediaTypes(this, NULL);
    return *ppEnum == NULL ? E_OUTOFMEMORY : S_OK;
}

STDMETHODIMP CBasePin::QueryInternalConnections(IPin **, ULONG *) { return E_NOTIMPL; }

STDMETHODIMP CBasePin::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) {
    m_tStart = tStart;
    m_tStop = tStop;
    m_dRate = dRate;
    return S_OK;
}

STDMETHODIMP CBasePin::Notify(IBaseFilter *, Quality) { return E_NOTIMPL; }

STDMETHODIMP CBasePin::SetSink(IQualityControl *piqc) {
    CAutoLock lock(m_pLock);
    m_pQSink = piqc;
    return S_OK;
}

HRESULT CBasePin::CheckConnect(IPin *pPin) {
    PIN_DIRECTION peerDirection;
    HRESULT hr = pPin->QueryDirection(&peerDirection);
    if (FAILED(hr)) return hr;
    if (peerDirection == m_dir) return VFW_E_INVALID_DIRECTION;
    return S_OK;
}

HRESULT CBasePin::SetMediaType(const CMediaType *pmt) {
    HRESULT hr = m_mt.Set(*pmt);
    return FAILED(hr) ? hr : S_OK;
}
