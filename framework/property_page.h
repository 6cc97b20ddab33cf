// A property page made from one of the module's dialog resources. The
// property frame sees only IPropertyPage; a derived page supplies the six
// hooks and handles its own controls' messages.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include "combase.h"

class CBasePropertyPage : public IPropertyPage, public CUnknown {
public:
    // DialogId and TitleId name a dialog template and a string of the
    // module's own resources.
    CBasePropertyPage(LPCWSTR pName, LPUNKNOWN pUnk, int DialogId, int TitleId);
    ~CBasePropertyPage() override = default;

    DECLARE_IUNKNOWN

    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override;
    // The last release lets go of the site and the objects before the page
    // is deleted, so a frame that forgot to do so leaks nothing.
    STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

    STDMETHODIMP SetPageSite(LPPROPERTYPAGESITE pPageSite) override;
    STDMETHODIMP Activate(HWND hwndParent, LPCRECT prect, BOOL fModal) override;
    STDMETHODIMP Deactivate() override;
    STDMETHODIMP GetPageInfo(LPPROPPAGEINFO pPageInfo) override;
    STDMETHODIMP SetObjects(ULONG cObjects, LPUNKNOWN *ppUnk) override;
    STDMETHODIMP Show(UINT nCmdShow) override;
    STDMETHODIMP Move(LPCRECT prect) override;
    STDMETHODIMP IsPageDirty() override { return m_bDirty ? S_OK : S_FALSE; }
    STDMETHODIMP Apply() override;
    STDMETHODIMP Help(LPCOLESTR) override { return E_NOTIMPL; }
    STDMETHODIMP TranslateAccelerator(LPMSG) override { return E_NOTIMPL; }

    // The hooks of a derived page.
    virtual HRESULT OnConnect(IUnknown *) { return NOERROR; }
    virtual HRESULT OnDisconnect() { return NOERROR; }
    virtual HRESULT OnActivate() { return NOERROR; }
    virtual HRESULT OnDeactivate() { return NOERROR; }
    virtual HRESULT OnApplyChanges() { return NOERROR; }
    // Every message of the page's dialog. The base keeps WS_EX_CONTROLPARENT
    // on the dialog (so TAB moves between its controls whatever the frame
    // does to the style) and passes the rest to the default procedure.
    virtual INT_PTR OnReceiveMessage(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

protected:
    LPPROPERTYPAGESITE m_pPageSite = NULL;  // referenced while held
    HWND m_hwnd = NULL;                     // the dialog while the page is active
    HWND m_Dlg = NULL;                      // the dialog from its first message on
    BOOL m_bDirty = FALSE;
    const int m_TitleId;
    const int m_DialogId;
    BOOL m_bObjectSet = FALSE;

private:
    // Shared by every page's dialog: the page travels as the creation
    // parameter and then lives in the dialog's user data.
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    // The dialog's size in pixels, made invisibly on the desktop; FALSE
    // when it cannot be created.
    BOOL MeasureDialog(SIZE *size) const;
};
