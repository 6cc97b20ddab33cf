#include "size_property_page.h"

#include <new>

#include "filter/module_resources.h"
#include "resources/resource.h"

CUnknown *WINAPI CSizePropertyPage::CreateInstance(LPUNKNOWN lpunk, HRESULT *phr) {
    CUnknown *page = new (std::nothrow) CSizePropertyPage(lpunk);
    if (page == NULL && phr != NULL) *phr = E_OUTOFMEMORY;
    return page;
}

// The language is the module's, fixed when it was loaded.
CSizePropertyPage::CSizePropertyPage(LPUNKNOWN lpunk)
    : CBasePropertyPage(NULL, lpunk, g_bChineseResources ? IDD_SIZE_PAGE_CHS : IDD_SIZE_PAGE,
                        g_bChineseResources ? IDS_SIZE_TITLE_CHS : IDS_SIZE_TITLE) {}

HRESULT CSizePropertyPage::OnConnect(IUnknown *pUnknown) {
    CheckPointer(pUnknown, E_POINTER);
    // Objects set a second time replace the first without leaking it.
    OnDisconnect();
    HRESULT hr = pUnknown->QueryInterface(IID_INVC480, reinterpret_cast<void **>(&m_pCamera));
    if (FAILED(hr)) {
        m_pCamera = NULL;
        return E_NOINTERFACE;
    }
    if (m_pCamera == NULL) return E_FAIL;
    m_pCamera->GetVideoSize(&m_size);
    m_bActive = 0;
    return S_OK;
}

HRESULT CSizePropertyPage::OnDisconnect() {
    if (m_pCamera != NULL) {
        m_pCamera->Release();
        m_pCamera = NULL;
    }
    return S_OK;
}

HRESULT CSizePropertyPage::OnActivate() {
    // The two smaller sizes stay hidden: the user sees the full size only.
    CheckDlgButton(m_Dlg, IDC_SIZE_1024X768, m_size == 0 ? BST_CHECKED : BST_UNCHECKED);
    m_bActive = 1;
    return S_OK;
}

HRESULT CSizePropertyPage::OnDeactivate() {
    m_bActive = 0;
    return S_OK;
}

HRESULT CSizePropertyPage::OnApplyChanges() {
    if (IsDlgButtonChecked(m_Dlg, IDC_SIZE_1024X768) == BST_CHECKED) m_size = 0;
    if (m_pCamera == NULL) return E_POINTER;
    // A connected pin refuses the size; the page has nothing to show for it.
    m_pCamera->SetVideoSize(m_size);
    return S_OK;
}

INT_PTR CSizePropertyPage::OnReceiveMessage(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg != WM_COMMAND) return CBasePropertyPage::OnReceiveMessage(hwnd, uMsg, wParam, lParam);
    if (m_bActive) {
        m_bDirty = TRUE;
        if (m_pPageSite != NULL) m_pPageSite->OnStatusChange(PROPPAGESTATUS_DIRTY);
    }
    return TRUE;
}
