#include "class_factory.h"

#include <new>

volatile LONG CClassFactory::m_cLocked = 0;

CClassFactory::CClassFactory(const CFactoryTemplate *pTemplate) : CBaseObject(L"Class factory"), m_pTemplate(pTemplate) {}

STDMETHODIMP CClassFactory::QueryInterface(REFIID riid, void **ppv) {
    CheckPointer(ppv, E_POINTER);
    *ppv = NULL;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory *>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

// Class objects are used from any thread, so both directions are interlocked.
STDMETHODIMP_(ULONG) CClassFactory::AddRef() { return InterlockedIncrement(&m_cRef); }

STDMETHODIMP_(ULONG) CClassFactory::Release() {
    LONG count = InterlockedDecrement(&m_cRef);
    if (count == 0) {
        delete this;
        return 0;
    }
    return count;
}

STDMETHODIMP CClassFactory::CreateInstance(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv) {
    CheckPointer(ppv, E_POINTER);
    *ppv = NULL;
    // An aggregated object can hand its outer object only its inner unknown.
    if (pUnkOuter != NULL && !IsEqualIID(riid, IID_IUnknown)) return E_NOINTERFACE;

    HRESULT hr = S_OK;
    CUnknown *object = m_pTemplate->CreateInstance(pUnkOuter, &hr);
    if (object == NULL) return FAILED(hr) ? hr : E_OUTOFMEMORY;
    if (FAILED(hr)) {
        delete object;
        return hr;
    }
    // The temporary reference makes a failed query delete the object.
    object->NonDelegatingAddRef();
    hr = object->NonDelegatingQueryInterface(riid, ppv);
    object->NonDelegatingRelease();
    return hr;
}

STDMETHODIMP CClassFactory::LockServer(BOOL fLock) {
    // Interlocked: applications lock and unlock from several threads.
    if (fLock) {
        InterlockedIncrement(&m_cLocked);
    } else {
        InterlockedDecrement(&m_cLocked);
    }
    return S_OK;
}

BOOL CClassFactory::IsLocked() { return m_cLocked > 0; }

STDAPI DllGetClassObject(REFCLSID rClsID, REFIID riid, void **pv) {
    CheckPointer(pv, E_POINTER);
    *pv = NULL;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
    for (int i = 0; i < g_cTemplates; i++) {
        const CFactoryTemplate *pT = &g_Templates[i];
        if (!pT->IsClassID(rClsID)) continue;
        CClassFactory *factory = new (std::nothrow) CClassFactory(pT);
        if (factory == NULL) return E_OUTOFMEMORY;
        factory->AddRef();
        *pv = static_cast<IClassFactory *>(factory);
        return S_OK;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
    if (CClassFactory::IsLocked() || CBaseObject::ObjectsActive() != 0) return S_FALSE;
    return S_OK;
}
