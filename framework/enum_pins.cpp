#include "enum_pins.h"

#include <algorithm>
#include <new>

#include "base_pin.h"

CEnumPins::CEnumPins(CBaseFilter *pFilter, CEnumPins *pEnumPins) : m_pFilter(pFilter) {
    m_pFilter->AddRef();
    if (pEnumPins == NULL) {
        m_Position = 0;
        m_PinCount = m_pFilter->GetPinCount();
        m_Version = m_pFilter->GetPinVersion();
    } else {
        m_Position = pEnumPins->m_Position;
        m_PinCount = pEnumPins->m_PinCount;
        m_Version = pEnumPins->m_Version;
        m_PinCache = pEnumPins->m_PinCache;
    }
}

CEnumPins::~CEnumPins() { m_pFilter->Release(); }

STDMETHODIMP CEnumPins::QueryInterface(REFIID riid, void **ppv) {
    CheckPointer(ppv, E_POINTER);
    if (IsEqualIID(riid, IID_IEnumPins) || IsEqualIID(riid, IID_IUnknown)) {
        return GetInterface(static_cast<IEnumPins *>(this), ppv);
    }
    *ppv = NULL;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CEnumPins::AddRef() { return InterlockedIncrement(&m_cRef); }

STDMETHODIMP_(ULONG) CEnumPins::Release() {
    LONG count = InterlockedDecrement(&m_cRef);
    if (count == 0) delete this;
    return count;
}

void CEnumPins::Refresh() {
    m_Position = 0;
    m_PinCount = m_pFilter->GetPinCount();
    m_Version = m_pFilter->GetPinVersion();
}

bool CEnumPins::WasReturned(CBasePin *pin) const {
    return std::find(m_PinCache.begin(), m_PinCache.end(), pin) != m_PinCache.end();
}

STDMETHODIMP CEnumPins::Next(ULONG cPins, IPin **ppPins, ULONG *pcFetched) {
    CheckPointer(ppPins, E_POINTER);
    if (pcFetched != NULL) {
        *pcFetched = 0;
    } else if (cPins > 1) {
        return E_INVALIDARG;
    }
    // A changed list is read again from the start; pins already returned
    // are not returned twice.
    if (AreWeOutOfSync()) Refresh();

    const int startPosition = m_Position;
    const size_t startCache = m_PinCache.size();
    ULONG fetched = 0;
    try {
        while (fetched < cPins && m_Position < m_PinCount) {
            CBasePin *pin = m_pFilter->GetPin(m_Position++);
            if (pin == NULL) {
                // The list shrank since it was counted: give nothing back.
                for (ULONG i = 0; i < fetched; i++) ppPins[i]->Release();
                m_Position = startPosition;
                m_PinCache.resize(startCache);
                return VFW_E_ENUM_OUT_OF_SYNC;
            }
            if (WasReturned(pin)) continue;
            m_PinCache.push_back(pin);
            ppPins[fetched++] = pin;
            pin->AddRef();
        }
    } catch (const std::bad_alloc &) {
        for (ULONG i = 0; i < fetched; i++) ppPins[i]->Release();
        m_Position = startPosition;
        m_PinCache.resize(startCache);
        return E_OUTOFMEMORY;
    }
    if (pcFetched != NULL) *pcFetched = fetched;
    return fetched == cPins ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumPins::Skip(ULONG cPins) {
    if (AreWeOutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
    ULONG left = static_cast<ULONG>(m_PinCount - m_Position);
    if (cPins > left) return S_FALSE;
    m_Position += static_cast<int>(cPins);
    return S_OK;
}

STDMETHODIMP CEnumPins::Reset() {
    Refresh();
    m_PinCache.clear();
    return S_OK;
}

STDMETHODIMP CEnumPins::Clone(IEnumPins **ppEnum) {
    CheckPointer(ppEnum, E_POINTER);
    *ppEnum = NULL;
    if (AreWeOutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
    try {
        *ppEnum = new CEnumPins(m_pFilter, this);
    } catch (const std::bad_alloc &) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}
