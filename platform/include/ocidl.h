// OLE controls' interfaces as property pages use them: the page, its site
// in the property frame, and an object's list of pages.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oaidl.h>

struct IPropertyPage;
struct IPropertyPageSite;
typedef IPropertyPage *LPPROPERTYPAGE;
typedef IPropertyPageSite *LPPROPERTYPAGESITE;

typedef struct tagPROPPAGEINFO {
    ULONG cb;
    LPOLESTR pszTitle;
    SIZE size;
    LPOLESTR pszDocString;
    LPOLESTR pszHelpFile;
    DWORD dwHelpContext;
} PROPPAGEINFO;
typedef struct tagPROPPAGEINFO *LPPROPPAGEINFO;

DEFINE_GUID(IID_IPropertyPage, 0xb196b28d, 0xbab4, 0x101a, 0xb6, 0x9c, 0x00, 0xaa, 0x00, 0x34, 0x1d, 0x07);
MIDL_INTERFACE("b196b28d-bab4-101a-b69c-00aa00341d07") IPropertyPage : public IUnknown {
    STDMETHOD(SetPageSite)(IPropertyPageSite *pPageSite) = 0;
    STDMETHOD(Activate)(HWND hWndParent, LPCRECT pRect, BOOL bModal) = 0;
    STDMETHOD(Deactivate)() = 0;
    STDMETHOD(GetPageInfo)(PROPPAGEINFO *pPageInfo) = 0;
    STDMETHOD(SetObjects)(ULONG cObjects, IUnknown **ppUnk) = 0;
    STDMETHOD(Show)(UINT nCmdShow) = 0;
    STDMETHOD(Move)(LPCRECT pRect) = 0;
    STDMETHOD(IsPageDirty)() = 0;
    STDMETHOD(Apply)() = 0;
    STDMETHOD(Help)(LPCOLESTR pszHelpDir) = 0;
    STDMETHOD(TranslateAccelerator)(MSG *pMsg) = 0;
};
__CRT_UUID_DECL(IPropertyPage, 0xb196b28d, 0xbab4, 0x101a, 0xb6, 0x9c, 0x00, 0xaa, 0x00, 0x34, 0x1d, 0x07)

typedef enum tagPROPPAGESTATUS {
    PROPPAGESTATUS_DIRTY = 0x1,
    PROPPAGESTATUS_VALIDATE = 0x2,
    PROPPAGESTATUS_CLEAN = 0x4
} PROPPAGESTATUS;

DEFINE_GUID(IID_IPropertyPageSite, 0xb196b28c, 0xbab4, 0x101a, 0xb6, 0x9c, 0x00, 0xaa, 0x00, 0x34, 0x1d, 0x07);
MIDL_INTERFACE("b196b28c-bab4-101a-b69c-00aa00341d07") IPropertyPageSite : public IUnknown {
    STDMETHOD(OnStatusChange)(DWORD dwFlags) = 0;
    STDMETHOD(GetLocaleID)(LCID *pLocaleID) = 0;
    STDMETHOD(GetPageContainer)(IUnknown **ppUnk) = 0;
    STDMETHOD(TranslateAccelerator)(MSG *pMsg) = 0;
};
__CRT_UUID_DECL(IPropertyPageSite, 0xb196b28c, 0xbab4, 0x101a, 0xb6, 0x9c, 0x00, 0xaa, 0x00, 0x34, 0x1d, 0x07)

// A counted array of GUIDs; pElems is allocated with CoTaskMemAlloc and
// freed by the caller.
typedef struct tagCAUUID {
    ULONG cElems;
    GUID *pElems;
} CAUUID;
typedef struct tagCAUUID *LPCAUUID;

DEFINE_GUID(IID_ISpecifyPropertyPages, 0xb196b28b, 0xbab4, 0x101a, 0xb6, 0x9c, 0x00, 0xaa, 0x00, 0x34, 0x1d, 0x07);
MIDL_INTERFACE("b196b28b-bab4-101a-b69c-00aa00341d07") ISpecifyPropertyPages : public IUnknown {
    STDMETHOD(GetPages)(CAUUID *pPages) = 0;
};
__CRT_UUID_DECL(ISpecifyPropertyPages, 0xb196b28b, 0xbab4, 0x101a, 0xb6, 0x9c, 0x00, 0xaa, 0x00, 0x34, 0x1d, 0x07)
typedef ISpecifyPropertyPages *LPSPECIFYPROPERTYPAGES;

DEFINE_GUID(IID_IPersistPropertyBag, 0x37d84f60, 0x42cb, 0x11ce, 0x81, 0x35, 0x00, 0xaa, 0x00, 0x4b, 0xb8, 0x51);
MIDL_INTERFACE("37d84f60-42cb-11ce-8135-00aa004bb851") IPersistPropertyBag : public IPersist {
    STDMETHOD(InitNew)() = 0;
    STDMETHOD(Load)(IPropertyBag *pPropBag, IErrorLog *pErrorLog) = 0;
    STDMETHOD(Save)(IPropertyBag *pPropBag, BOOL fClearDirty, BOOL fSaveAllProperties) = 0;
};
__CRT_UUID_DECL(IPersistPropertyBag, 0x37d84f60, 0x42cb, 0x11ce, 0x81, 0x35, 0x00, 0xaa, 0x00, 0x4b, 0xb8, 0x51)
typedef IPersistPropertyBag *LPPERSISTPROPERTYBAG;
