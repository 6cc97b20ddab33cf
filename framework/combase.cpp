#include "combase.h"

volatile LONG CBaseObject::m_cObjects = 0;

CBaseObject::CBaseObject(LPCWSTR) { InterlockedIncrement(&m_cObjects); }

CBaseObject::~CBaseObject() { InterlockedDecrement(&m_cObjects); }

LONG CBaseObject::ObjectsActive() { return m_cObjects; }

CUnknown::CUnknown(LPCWSTR pName, LPUNKNOWN pUnk)
    : CBaseObject(pName),
      m_pUnknown(pUnk != NULL ? pUnk : static_cast<LPUNKNOWN>(&m_InnerUnknown)) {}

CUnknown::CUnknown(LPCWSTR pName, LPUNKNOWN pUnk, HRESULT *) : CUnknown(pName, pUnk) {}

STDMETHODIMP CUnknown::NonDelegatingQueryInterface(REFIID riid, LPVOID *ppv) {
    CheckPointer(ppv, E_POINTER);
    if (IsEqualIID(riid, IID_IUnknown)) {
        return GetInterface(&m_InnerUnknown, ppv);
    }
    *ppv = NULL;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingAddRef() {
    LONG count = InterlockedIncrement(&m_cRef);
    return count > 1 ? count : 1;
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingRelease() {
    LONG count = InterlockedDecrement(&m_cRef);
    if (count == 0) {
        // A destructor that takes and drops a reference of its own must not
        // bring the count to zero a second time.
        m_cRef = 1;
        delete this;
        return 0;
    }
    return count > 1 ? count : 1;
}

HRESULT GetInterface(LPUNKNOWN pUnk, void **ppv) {
    CheckPointer(ppv, E_POINTER);
    *ppv = pUnk;
    pUnk->AddRef();
    return S_OK;
}
