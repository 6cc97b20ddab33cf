// The object model every COM class of a filter module is built on: module
// accounting of live objects, reference counting through a non-delegating
// unknown (so an object can be aggregated), and the interface lookup helper.
#pragma once

#include <windows.h>
#include <objbase.h>

// The inner unknown of an object. Its table has the same shape as IUnknown's,
// so an object that is not aggregated can hand it out as its IUnknown.
struct INonDelegatingUnknown {
    virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, LPVOID *ppv) = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
};
typedef INonDelegatingUnknown *PNDUNKNOWN;

// Counts the module's live objects, so the module is not unloaded while one
// of them is in use. The object name is for the reader of the code only.
class CBaseObject {
public:
    explicit CBaseObject(LPCWSTR pName);
    CBaseObject(const CBaseObject &) = delete;
    CBaseObject &operator=(const CBaseObject &) = delete;
    virtual ~CBaseObject();

    static LONG ObjectsActive();

private:
    static volatile LONG m_cObjects;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
public:
    // pUnk is the outer object when aggregated, else null; the owner is then
    // the object's own non-delegating interface.
    CUnknown(LPCWSTR pName, LPUNKNOWN pUnk);
    CUnknown(LPCWSTR pName, LPUNKNOWN pUnk, HRESULT *phr);
    virtual ~CUnknown() {}

    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, LPVOID *ppv) override;
    STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
    STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

    // Where the IUnknown methods of every interface of the object go.
    LPUNKNOWN GetOwner() const { return m_pUnknown; }

protected:
    volatile LONG m_cRef = 0;

private:
    const LPUNKNOWN m_pUnknown;
};

// Stores pUnk in *ppv with one reference added.
HRESULT GetInterface(LPUNKNOWN pUnk, void **ppv);

// The IUnknown methods of a class's interfaces, all passed to the owner.
#define DECLARE_IUNKNOWN                                                                       \
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) { return GetOwner()->QueryInterface(riid, ppv); } \
    STDMETHODIMP_(ULONG) AddRef() { return GetOwner()->AddRef(); }                              \
    STDMETHODIMP_(ULONG) Release() { return GetOwner()->Release(); }

#define CheckPointer(p, ret) \
    do {                     \
        if ((p) == NULL) return (ret); \
    } while (0)
