// The COM object interfaces: persistence, monikers and their enumerator.
// Streams and bind contexts are passed along only, so they are declared but
// not defined.
#pragma once

#include <unknwn.h>
#include <windows.h>
#include <wtypes.h>

struct IStream;
struct IBindCtx;
struct IMoniker;
struct IEnumMoniker;
typedef IStream *LPSTREAM;
typedef IBindCtx *LPBC, *LPBINDCTX;
typedef IMoniker *LPMONIKER;
typedef IEnumMoniker *LPENUMMONIKER;

DEFINE_GUID(IID_IStream, 0x0000000c, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IBindCtx, 0x0000000e, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

DEFINE_GUID(IID_IEnumUnknown, 0x00000100, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
MIDL_INTERFACE("00000100-0000-0000-c000-000000000046") IEnumUnknown : public IUnknown {
    STDMETHOD(Next)(ULONG celt, IUnknown **rgelt, ULONG *pceltFetched) = 0;
    STDMETHOD(Skip)(ULONG celt) = 0;
    STDMETHOD(Reset)() = 0;
    STDMETHOD(Clone)(IEnumUnknown **ppenum) = 0;
};
__CRT_UUID_DECL(IEnumUnknown, 0x00000100, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)
typedef IEnumUnknown *LPENUMUNKNOWN;

DEFINE_GUID(IID_IPersist, 0x0000010c, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
MIDL_INTERFACE("0000010c-0000-0000-c000-000000000046") IPersist : public IUnknown {
    STDMETHOD(GetClassID)(CLSID *pClassID) = 0;
};
__CRT_UUID_DECL(IPersist, 0x0000010c, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)
typedef IPersist *LPPERSIST;

DEFINE_GUID(IID_IPersistStream, 0x00000109, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
MIDL_INTERFACE("00000109-0000-0000-c000-000000000046") IPersistStream : public IPersist {
    STDMETHOD(IsDirty)() = 0;
    STDMETHOD(Load)(IStream *pStm) = 0;
    STDMETHOD(Save)(IStream *pStm, BOOL fClearDirty) = 0;
    STDMETHOD(GetSizeMax)(ULARGE_INTEGER *pcbSize) = 0;
};
__CRT_UUID_DECL(IPersistStream, 0x00000109, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)
typedef IPersistStream *LPPERSISTSTREAM;

DEFINE_GUID(IID_IMoniker, 0x0000000f, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
MIDL_INTERFACE("0000000f-0000-0000-c000-000000000046") IMoniker : public IPersistStream {
    STDMETHOD(BindToObject)(IBindCtx *pbc, IMoniker *pmkToLeft, REFIID riidResult, void **ppvResult) = 0;
    STDMETHOD(BindToStorage)(IBindCtx *pbc, IMoniker *pmkToLeft, REFIID riid, void **ppvObj) = 0;
    STDMETHOD(Reduce)(IBindCtx *pbc, DWORD dwReduceHowFar, IMoniker **ppmkToLeft, IMoniker **ppmkReduced) = 0;
    STDMETHOD(ComposeWith)(IMoniker *pmkRight, BOOL fOnlyIfNotGeneric, IMoniker **ppmkComposite) = 0;
    STDMETHOD(Enum)(BOOL fForward, IEnumMoniker **ppenumMoniker) = 0;
    STDMETHOD(IsEqual)(IMoniker *pmkOtherMoniker) = 0;
    STDMETHOD(Hash)(DWORD *pdwHash) = 0;
    STDMETHOD(IsRunning)(IBindCtx *pbc, IMoniker *pmkToLeft, IMoniker *pmkNewlyRunning) = 0;
    STDMETHOD(GetTimeOfLastChange)(IBindCtx *pbc, IMoniker *pmkToLeft, FILETIME *pFileTime) = 0;
    STDMETHOD(Inverse)(IMoniker **ppmk) = 0;
    STDMETHOD(CommonPrefixWith)(IMoniker *pmkOther, IMoniker **ppmkPrefix) = 0;
    STDMETHOD(RelativePathTo)(IMoniker *pmkOther, IMoniker **ppmkRelPath) = 0;
    STDMETHOD(GetDisplayName)(IBindCtx *pbc, IMoniker *pmkToLeft, LPOLESTR *ppszDisplayName) = 0;
    STDMETHOD(ParseDisplayName)(IBindCtx *pbc, IMoniker *pmkToLeft, LPOLESTR pszDisplayName, ULONG *pchEaten,
                                IMoniker **ppmkOut) = 0;
    STDMETHOD(IsSystemMoniker)(DWORD *pdwMksys) = 0;
};
__CRT_UUID_DECL(IMoniker, 0x0000000f, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)

DEFINE_GUID(IID_IEnumMoniker, 0x00000102, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
MIDL_INTERFACE("00000102-0000-0000-c000-000000000046") IEnumMoniker : public IUnknown {
    STDMETHOD(Next)(ULONG celt, IMoniker **rgelt, ULONG *pceltFetched) = 0;
    STDMETHOD(Skip)(ULONG celt) = 0;
    STDMETHOD(Reset)() = 0;
    STDMETHOD(Clone)(IEnumMoniker **ppenum) = 0;
};
__CRT_UUID_DECL(IEnumMoniker, 0x00000102, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)
