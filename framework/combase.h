// The object model every COM class of a filter module is built on: module
// accounting of live objects, reference counting through a non-delegating
// unknown (so an object can be aggregated), and the interface lookup helper.
#pragma once

#include <windows.h>
#include <objbase.h>

// The inner unknown of an object: the IUnknown methods that act on the
// object itself, whether or not it is aggregated.
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
    // The non-delegating methods as an IUnknown of their own: what the
    // object hands out as its identity when it is not aggregated, and to
    // its outer object when it is.
    class CInnerUnknown : public IUnknown {
    public:
        explicit CInnerUnknown(CUnknown *object) : m_pObject(object) {}
        virtual ~CInnerUnknown() = default;
        STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
            return m_pObject->NonDelegatingQueryInterface(riid, ppv);
        }
        STDMETHODIMP_(ULONG) AddRef() override { return m_pObject->NonDelegatingAddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return m_pObject->NonDelegatingRelease(); }

    private:
        CUnknown *const m_pObject;
    };

    CInnerUnknown m_InnerUnknown{this};
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
