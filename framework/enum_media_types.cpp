#include "enum_media_types.h"

#include <new>

#include "base_pin.h"

CEnumMediaTypes::CEnumMediaTypes(CBasePin *pPin, CEnumMediaTypes *pEnumMediaTypes) : m_pPin(pPin) {
    m_pPin->AddRef();
    if (pEnumMediaTypes == NULL) {
        m_Position = 0;
        m_Version = m_pPin->GetMediaTypeVersion();
    } else {
        m_Position = pEnumMediaTypes->m_Position;
        m_Version = pEnumMediaTypes->m_Version;
    }
}

CEnumMediaTypes::~CEnumMediaTypes() { m_pPin->Release(); }

STDMETHODIMP CEnumMediaTypes::QueryInterface(REFIID riid, void **ppv) {
    CheckPointer(ppv, E_POINTER);
    if (IsEqualIID(riid, IID_IEnumMediaTypes) || IsEqualIID(riid, IID_IUnknown)) {
        return GetInterface(static_cast<IEnumMediaTypes *>(this), ppv);
    }
    *ppv = NULL;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CEnumMediaTypes::AddRef() { return InterlockedIncrement(&m_cRef); }

STDMETHODIMP_(ULONG) CEnumMediaTypes::Release() {
    LONG count = InterlockedDecrement(&m_cRef);
    if (count == 0) delete this;
    return count;
}

BOOL CEnumMediaTypes::AreWeOutOfSync() const { return m_pPin->GetMediaTypeVersion() != m_Version; }

STDMETHODIMP CEnumMediaTypes::Next(ULONG cMediaTypes, AM_MEDIA_TYPE **ppMediaTypes, ULONG *pcFetched) {
    CheckPointer(ppMediaTypes, E_POINTER);
    if (pcFetched != NULL) {
        *pcFetched = 0;
    } else if (cMediaTypes > 1) {
        return E_INVALIDARG;
    }
    if (AreWeOutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;

    ULONG fetched = 0;
    while (fetched < cMediaTypes) {
        CMediaType type;
        if (m_pPin->GetMediaType(m_Position, &type) != S_OK) break;
        AM_MEDIA_TYPE *record = CreateMediaType(&type);
        if (record == NULL) {
            // Nothing is handed out, and the position stays where it was.
            for (ULONG i = 0; i < fetched; i++) DeleteMediaType(ppMediaTypes[i]);
            m_Position -= static_cast<int>(fetched);
            return E_OUTOFMEMORY;
        }
        ppMediaTypes[fetched++] = record;
        m_Position++;
    }
    if (pcFetched != NULL) *pcFetched = fetched;
    return fetched == cMediaTypes ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumMediaTypes::Skip(ULONG cMediaTypes) {
    if (AreWeOutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
    if (cMediaTypes == 0) return S_OK;
    m_Position += static_cast<int>(cMediaTypes);
    CMediaType type;
    return m_pPin->GetMediaType(m_Position - 1, &type) == S_OK ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumMediaTypes::Reset() {
    m_Position = 0;
    m_Version = m_pPin->GetMediaTypeVersion();
    return S_OK;
}

STDMETHODIMP CEnumMediaTypes::Clone(IEnumMediaTypes **ppEnum) {
    CheckPointer(ppEnum, E_POINTER);
    *ppEnum = NULL;
    if (AreWeOutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
    *ppEnum = new (std::nothrow) CEnumMediaTypes(m_pPin, this);
    return *ppEnum == NULL ? E_OUTOFMEMORY : S_OK;
}
