#include "property_page.h"

#include "module_entry.h"

namespace {

// A page's size when its dialog cannot be measured.
const SIZE kDefaultPageSize = {340, 150};
const int kMaxTitleLength = 256;

}  // namespace

CBasePropertyPage::CBasePropertyPage(LPCWSTR pName, LPUNKNOWN pUnk, int DialogId, int TitleId)
    : CUnknown(pName, pUnk), m_TitleId(TitleId), m_DialogId(DialogId) {}

STDMETHODIMP CBasePropertyPage::NonDelegatingQueryInterface(REFIID riid, void **ppv) {
    if (IsEqualIID(riid, IID_IPropertyPage)) return GetInterface(static_cast<IPropertyPage *>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP_(ULONG) CBasePropertyPage::NonDelegatingRelease() {
    LONG count = InterlockedDecrement(&m_cRef);
    if (count != 0) return count > 1 ? count : 1;
    // Held up while the site and objects go: they may call back into the page.
    m_cRef = 1;
    SetPageSite(NULL);
    SetObjects(0, NULL);
    // A page released while still active would leave its dialog calling into
    // freed memory: the dialog loses the page first, then goes.
    if (m_hwnd != NULL) {
        SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, 0);
        DestroyWindow(m_hwnd);
        m_hwnd = NULL;
    }
    delete this;
    return 0;
}

STDMETHODIMP CBasePropertyPage::SetPageSite(LPPROPERTYPAGESITE pPageSite) {
    if (pPageSite == NULL) {
        if (m_pPageSite == NULL) return E_UNEXPECTED;
        m_pPageSite->Release();
        m_pPageSite = NULL;
        return S_OK;
    }
    if (m_pPageSite != NULL) return E_UNEXPECTED;
    m_pPageSite = pPageSite;
    m_pPageSite->AddRef();
    return S_OK;
}

STDMETHODIMP CBasePropertyPage::SetObjects(ULONG cObjects, LPUNKNOWN *ppUnk) {
    if (cObjects == 1) {
        if (ppUnk == NULL || *ppUnk == NULL) return E_POINTER;
        m_bObjectSet = TRUE;
        return OnConnect(*ppUnk);
    }
    if (cObjects == 0) {
        m_bObjectSet = FALSE;
        return OnDisconnect();
    }
    return E_UNEXPECTED;
}

BOOL CBasePropertyPage::MeasureDialog(SIZE *size) const {
    HWND dialog = CreateDialogParamW(g_hInst, MAKEINTRESOURCEW(m_DialogId), GetDesktopWindow(), DialogProc, 0);
    if (dialog == NULL) return FALSE;
    RECT rect;
    GetWindowRect(dialog, &rect);
    size->cx = rect.right - rect.left;
    size->cy = rect.bottom - rect.top;
    DestroyWindow(dialog);
    return TRUE;
}

STDMETHODIMP CBasePropertyPage::GetPageInfo(LPPROPPAGEINFO pPageInfo) {
    CheckPointer(pPageInfo, E_POINTER);
    WCHAR title[kMaxTitleLength];
    int length = LoadStringW(g_hInst, m_TitleId, title, kMaxTitleLength);
    if (length < 0) length = 0;
    LPOLESTR copy = static_cast<LPOLESTR>(CoTaskMemAlloc((length + 1) * sizeof(WCHAR)));
    if (copy == NULL) return E_OUTOFMEMORY;
    CopyMemory(copy, title, length * sizeof(WCHAR));
    copy[length] = 0;

    pPageInfo->cb = sizeof(PROPPAGEINFO);
    pPageInfo->pszTitle = copy;
    pPageInfo->size = kDefaultPageSize;
    MeasureDialog(&pPageInfo->size);
    pPageInfo->pszDocString = NULL;
    pPageInfo->pszHelpFile = NULL;
    pPageInfo->dwHelpContext = 0;
    return S_OK;
}

STDMETHODIMP CBasePropertyPage::Activate(HWND hwndParent, LPCRECT prect, BOOL) {
    CheckPointer(prect, E_POINTER);
    if (!m_bObjectSet || m_hwnd != NULL) return E_UNEXPECTED;
    m_hwnd = CreateDialogParamW(g_hInst, MAKEINTRESOURCEW(m_DialogId), hwndParent, DialogProc,
                                reinterpret_cast<LPARAM>(this));
    if (m_hwnd == NULL) return E_OUTOFMEMORY;
    OnActivate();
    Move(prect);
    return Show(SW_SHOWNORMAL);
}

STDMETHODIMP CBasePropertyPage::Deactivate() {
    if (m_hwnd == NULL) return E_UNEXPECTED;
    // The style guard in OnReceiveMessage works only while the page has a
    // window, so the field is empty while the style is taken off.
    HWND hwnd = m_hwnd;
    m_hwnd = NULL;
    LONG style = GetWindowLongW(hwnd, GWL_EXSTYLE);
    SetWindowLongW(hwnd, GWL_EXSTYLE, style & ~WS_EX_CONTROLPARENT);
    m_hwnd = hwnd;
    OnDeactivate();
    DestroyWindow(m_hwnd);
    m_hwnd = NULL;
    return S_OK;
}

STDMETHODIMP CBasePropertyPage::Show(UINT nCmdShow) {
    if (m_hwnd == NULL) return E_UNEXPECTED;
    if (nCmdShow != SW_HIDE && nCmdShow != SW_SHOWNORMAL && nCmdShow != SW_SHOW) return E_INVALIDARG;
    ShowWindow(m_hwnd, nCmdShow);
    InvalidateRect(m_hwnd, NULL, TRUE);
    return S_OK;
}

STDMETHODIMP CBasePropertyPage::Move(LPCRECT prect) {
    CheckPointer(prect, E_POINTER);
    if (m_hwnd == NULL) return E_UNEXPECTED;
    MoveWindow(m_hwnd, prect->left, prect->top, prect->right - prect->left, prect->bottom - prect->top, TRUE);
    return S_OK;
}

STDMETHODIMP CBasePropertyPage::Apply() {
    if (!m_bObjectSet || m_pPageSite == NULL) return E_UNEXPECTED;
    if (!m_bDirty) return S_OK;
    HRESULT hr = OnApplyChanges();
    if (SUCCEEDED(hr)) m_bDirty = FALSE;
    return hr;
}

INT_PTR CBasePropertyPage::OnReceiveMessage(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (m_hwnd == NULL) return 0;
    if (uMsg == WM_STYLECHANGING && static_cast<int>(wParam) == GWL_EXSTYLE) {
        reinterpret_cast<LPSTYLESTRUCT>(lParam)->styleNew |= WS_EX_CONTROLPARENT;
        return 0;
    }
    return DefWindowProcW(hwnd, uMsg, wParam, lParam);
}

INT_PTR CALLBACK CBasePropertyPage::DialogProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_INITDIALOG) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, lParam);
        CBasePropertyPage *page = reinterpret_cast<CBasePropertyPage *>(lParam);
        if (page == NULL) return TRUE;
        page->m_Dlg = hwnd;
    }
    CBasePropertyPage *page = reinterpret_cast<CBasePropertyPage *>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (page == NULL) return TRUE;
    return page->OnReceiveMessage(hwnd, uMsg, wParam, lParam);
}
