// IUnknown and IClassFactory, the two interfaces every COM server speaks.
#pragma once

#include <basetyps.h>

typedef struct IUnknown *LPUNKNOWN;

EXTERN_C const IID IID_IUnknown;
EXTERN_C const IID IID_IClassFactory;

MIDL_INTERFACE("00000000-0000-0000-C000-000000000046") IUnknown {
    STDMETHOD(QueryInterface)(REFIID riid, void **ppvObject) = 0;
    STDMETHOD_(ULONG, AddRef)() = 0;
    STDMETHOD_(ULONG, Release)() = 0;

    template <class Q>
    HRESULT STDMETHODCALLTYPE QueryInterface(Q **pp) {
        return QueryInterface(__uuidof(Q), (void **)pp);
    }
};
__CRT_UUID_DECL(IUnknown, 0x00000000, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)

MIDL_INTERFACE("00000001-0000-0000-C000-000000000046") IClassFactory : public IUnknown {
    STDMETHOD(CreateInstance)(IUnknown * pUnkOuter, REFIID riid, void **ppvObject) = 0;
    STDMETHOD(LockServer)(BOOL fLock) = 0;
};
__CRT_UUID_DECL(IClassFactory, 0x00000001, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)
typedef IClassFactory *LPCLASSFACTORY;
