// The module's creatable classes and their class objects. A filter module
// defines the table g_Templates (g_cTemplates entries); DllGetClassObject
// hands out a CClassFactory for an entry and DllCanUnloadNow reports whether
// anything created by the module is still alive.
#pragma once

#include "combase.h"
#include "setup.h"

typedef CUnknown *(CALLBACK *LPFNNewCOMObject)(LPUNKNOWN pUnkOuter, HRESULT *phr);
// Called at module load (bLoading TRUE) and unload (FALSE).
typedef void(CALLBACK *LPFNInitRoutine)(BOOL bLoading, const CLSID *rclsid);

class CFactoryTemplate {
public:
    const WCHAR *m_Name;
    const CLSID *m_ClsID;
    LPFNNewCOMObject m_lpfnNew;
    LPFNInitRoutine m_lpfnInit;
    const AMOVIESETUP_FILTER *m_pAMovieSetup_Filter;

    BOOL IsClassID(REFCLSID rclsid) const { return IsEqualCLSID(*m_ClsID, rclsid); }
    CUnknown *CreateInstance(LPUNKNOWN pUnk, HRESULT *phr) const { return m_lpfnNew(pUnk, phr); }
};

// Defined by the module.
extern CFactoryTemplate g_Templates[];
extern int g_cTemplates;

class CClassFactory : public IClassFactory, public CBaseObject {
public:
    explicit CClassFactory(const CFactoryTemplate *pTemplate);

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(LPUNKNOWN pUnkOuter, REFIID riid, void **ppv) override;
    STDMETHODIMP LockServer(BOOL fLock) override;

    // True while some LockServer(TRUE) is not yet matched.
    static BOOL IsLocked();

private:
    volatile LONG m_cRef = 0;
    const CFactoryTemplate *const m_pTemplate;
    static volatile LONG m_cLocked;
};

STDAPI DllGetClassObject(REFCLSID rClsID, REFIID riid, void **pv);
STDAPI DllCanUnloadNow();
