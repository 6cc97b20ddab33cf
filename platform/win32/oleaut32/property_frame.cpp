// OleCreatePropertyFrame: a modal property sheet of the window manager's
// windows. A top-level dialog ("<caption> Properties") holds a tab control
// with one tab per page title, the page area sized to the largest page, and
// OK, Cancel and Apply. It runs its own message loop on the calling thread
// and returns when the user closes it.
//
// Documented behaviour kept: E_POINTER for a null caption, object array or
// class array; each page is created in process by class id, given a site of
// its own and the objects, and activated with the frame as parent when its
// tab is chosen (the previous page is deactivated); Apply is enabled once a
// page reports PROPPAGESTATUS_DIRTY; OK applies every dirty page and
// closes; Cancel and the close box (WM_CLOSE) close without applying; every
// page is deactivated, given no objects and no site, and released on the
// way out. The locale goes to the pages through their sites.
//
// Our choices where the documentation is silent:
// - With no page classes given, the pages are those the first object names
//   through ISpecifyPropertyPages.
// - A page that cannot be created, does not take the objects or cannot
//   describe itself is left out. With no page left (an object without
//   pages, an empty list) there is nothing to show: the call returns S_OK at
//   once without a frame, rather than blocking on an empty one.
// - A WM_QUIT that reaches the frame's loop closes the frame like Cancel and
//   is posted again for the caller's own loop, as modal loops do.
#include <windows.h>
#include <commctrl.h>
#include <olectl.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/text.h"
#include "property_frame_site.h"

namespace tm350::oleaut32 {
namespace {

constexpr int kTabControlId = 0x3020;
constexpr int kApplyButtonId = 0x3021;

// Pixels at 96 DPI: margins and the standard push button of 50 x 14 dialog
// units in the dialog font.
constexpr int kMargin = 7;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 23;
constexpr int kButtonGap = 6;

struct FramePage {
    IPropertyPage *page = nullptr;
    PropertyPageSite *site = nullptr;
    std::u16string title;
    SIZE size = {};
    bool active = false;
};

// The class ids of the pages to show: the caller's, or the first object's own.
std::vector<CLSID> PageClasses(IUnknown *first_object, ULONG count, const CLSID *classes) {
    if (count > 0) return std::vector<CLSID>(classes, classes + count);
    std::vector<CLSID> result;
    ISpecifyPropertyPages *specify = nullptr;
    if (first_object == nullptr ||
        FAILED(first_object->QueryInterface(IID_ISpecifyPropertyPages, reinterpret_cast<void **>(&specify))) ||
        specify == nullptr) {
        return result;
    }
    CAUUID pages = {};
    if (SUCCEEDED(specify->GetPages(&pages)) && pages.pElems != nullptr) {
        result.assign(pages.pElems, pages.pElems + pages.cElems);
    }
    CoTaskMemFree(pages.pElems);
    specify->Release();
    return result;
}

// An in-memory dialog template with no controls: the frame's children are
// created in pixels once the pages' sizes are known.
std::vector<DWORD> FrameTemplate(const std::u16string &caption) {
    DLGTEMPLATE header = {};
    header.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    header.cdit = 0;
    header.cx = 100;
    header.cy = 50;
    std::vector<WORD> result(sizeof(DLGTEMPLATE) / sizeof(WORD));
    CopyMemory(result.data(), &header, sizeof(DLGTEMPLATE));
    result.push_back(0);  // no menu
    result.push_back(0);  // the dialog class
    for (char16_t c : caption) result.push_back(static_cast<WORD>(c));
    result.push_back(0);
    if (result.size() % 2 != 0) result.push_back(0);
    std::vector<DWORD> aligned(result.size() / 2);
    CopyMemory(aligned.data(), result.data(), result.size() * sizeof(WORD));
    return aligned;
}

class PropertyFrame {
public:
    PropertyFrame(LCID locale, ULONG object_count, IUnknown **objects)
        : locale_(locale), object_count_(object_count), objects_(objects) {}
    PropertyFrame(const PropertyFrame &) = delete;
    PropertyFrame &operator=(const PropertyFrame &) = delete;
    ~PropertyFrame() { Close(); }

    void AddPage(const CLSID &page_class);
    bool HasPages() const { return !pages_.empty(); }
    // Shows the frame and returns when the user has closed it.
    HRESULT Run(HWND owner, UINT x, UINT y, const std::u16string &caption);

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);

    bool CreateChildren();
    void Layout(HWND owner, UINT x, UINT y);
    void ActivatePage(int index);
    std::vector<HWND> Children() const;
    void RaiseNewChildren(const std::vector<HWND> &before);
    void ApplyDirtyPages();
    void UpdateApplyButton();
    void OnStatusChange(DWORD flags);
    void RunMessageLoop();
    void Close();
    static void ReleasePage(FramePage &page);

    const LCID locale_;
    const ULONG object_count_;
    IUnknown **const objects_;
    std::vector<FramePage> pages_;
    int current_ = -1;
    RECT page_area_ = {};
    HWND frame_ = nullptr;
    HWND tab_ = nullptr;
    HWND ok_ = nullptr;
    HWND cancel_ = nullptr;
    HWND apply_ = nullptr;
    bool closing_ = false;
    bool frame_destroyed_ = false;
};

void PropertyFrame::AddPage(const CLSID &page_class) {
    FramePage entry;
    if (FAILED(CoCreateInstance(page_class, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                                reinterpret_cast<void **>(&entry.page))) ||
        entry.page == nullptr) {
        return;
    }
    entry.site = new (std::nothrow) PropertyPageSite(locale_, [this](DWORD flags) { OnStatusChange(flags); });
    if (entry.site == nullptr) {
        entry.page->Release();
        return;
    }
    bool usable = SUCCEEDED(entry.page->SetPageSite(entry.site)) &&
                  SUCCEEDED(entry.page->SetObjects(object_count_, objects_));
    PROPPAGEINFO info = {};
    info.cb = sizeof(info);
    if (usable && SUCCEEDED(entry.page->GetPageInfo(&info))) {
        entry.title = std::u16string(text::View(info.pszTitle));
        entry.size = info.size;
    } else {
        usable = false;
    }
    CoTaskMemFree(info.pszTitle);
    CoTaskMemFree(info.pszDocString);
    CoTaskMemFree(info.pszHelpFile);
    if (!usable) {
        ReleasePage(entry);
        return;
    }
    pages_.push_back(entry);
}

void PropertyFrame::ReleasePage(FramePage &entry) {
    if (entry.active) entry.page->Deactivate();
    entry.active = false;
    entry.page->SetObjects(0, nullptr);
    entry.page->SetPageSite(nullptr);
    entry.site->Detach();
    entry.site->Release();
    entry.page->Release();
    entry.page = nullptr;
    entry.site = nullptr;
}

HRESULT PropertyFrame::Run(HWND owner, UINT x, UINT y, const std::u16string &caption) {
    // The frame's tab control and the sliders pages commonly hold come from
    // the common controls, which the frame loads as the system's does.
    INITCOMMONCONTROLSEX controls = {sizeof(INITCOMMONCONTROLSEX), ICC_TAB_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    std::vector<DWORD> dialog_template = FrameTemplate(caption + u" Properties");
    frame_ = CreateDialogIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(dialog_template.data()), owner,
                                        DialogProc, reinterpret_cast<LPARAM>(this));
    if (frame_ == nullptr) return E_OUTOFMEMORY;
    if (!CreateChildren()) return E_OUTOFMEMORY;
    Layout(owner, x, y);
    const bool owner_was_enabled = owner != nullptr && IsWindowEnabled(owner);
    // Modal: the owner takes no input while the frame is up.
    if (owner_was_enabled) EnableWindow(owner, FALSE);
    ActivatePage(0);
    ShowWindow(frame_, SW_SHOWNORMAL);
    RunMessageLoop();
    if (owner_was_enabled) EnableWindow(owner, TRUE);
    Close();
    return S_OK;
}

bool PropertyFrame::CreateChildren() {
    tab_ = CreateWindowExW(0, WC_TABCONTROLW, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_TABSTOP, 0, 0, 0, 0,
                           frame_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kTabControlId)), nullptr, nullptr);
    ok_ = CreateWindowExW(0, L"Button", L"OK", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 0, 0, 0,
                          frame_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDOK)), nullptr, nullptr);
    cancel_ = CreateWindowExW(0, L"Button", L"Cancel", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 0, 0,
                              0, frame_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDCANCEL)), nullptr, nullptr);
    apply_ = CreateWindowExW(0, L"Button", L"Apply", WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_DISABLED | BS_PUSHBUTTON,
                             0, 0, 0, 0, frame_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kApplyButtonId)),
                             nullptr, nullptr);
    if (tab_ == nullptr || ok_ == nullptr || cancel_ == nullptr || apply_ == nullptr) return false;
    for (size_t i = 0; i < pages_.size(); ++i) {
        TCITEMW item = {};
        item.mask = TCIF_TEXT;
        item.pszText = const_cast<LPWSTR>(text::AsWide(pages_[i].title));
        SendMessageW(tab_, TCM_INSERTITEMW, i, reinterpret_cast<LPARAM>(&item));
    }
    return true;
}

// The tab control around the largest page, the buttons in a row below it at
// the right, the frame around them all.
void PropertyFrame::Layout(HWND owner, UINT x, UINT y) {
    SIZE page = {0, 0};
    for (const FramePage &entry : pages_) {
        page.cx = std::max(page.cx, entry.size.cx);
        page.cy = std::max(page.cy, entry.size.cy);
    }
    RECT tab = {0, 0, page.cx, page.cy};
    SendMessageW(tab_, TCM_ADJUSTRECT, TRUE, reinterpret_cast<LPARAM>(&tab));
    const int tab_width = tab.right - tab.left;
    const int tab_height = tab.bottom - tab.top;
    MoveWindow(tab_, kMargin, kMargin, tab_width, tab_height, TRUE);
    page_area_ = RECT{kMargin, kMargin, kMargin + tab_width, kMargin + tab_height};
    SendMessageW(tab_, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&page_area_));

    const int buttons_width = 3 * kButtonWidth + 2 * kButtonGap;
    const int client_width = std::max(tab_width, buttons_width) + 2 * kMargin;
    const int buttons_top = kMargin + tab_height + kMargin;
    const int client_height = buttons_top + kButtonHeight + kMargin;
    int left = client_width - kMargin - kButtonWidth;
    for (HWND button : {apply_, cancel_, ok_}) {
        MoveWindow(button, left, buttons_top, kButtonWidth, kButtonHeight, TRUE);
        left -= kButtonWidth + kButtonGap;
    }

    // The frame's caption and border, measured on the frame as it is.
    RECT window = {};
    RECT client = {};
    GetWindowRect(frame_, &window);
    GetClientRect(frame_, &client);
    const int extra_width = (window.right - window.left) - (client.right - client.left);
    const int extra_height = (window.bottom - window.top) - (client.bottom - client.top);
    int origin_x = static_cast<int>(x);
    int origin_y = static_cast<int>(y);
    if (owner != nullptr) {
        RECT owner_rect = {};
        GetWindowRect(owner, &owner_rect);
        origin_x += owner_rect.left;
        origin_y += owner_rect.top;
    }
    MoveWindow(frame_, origin_x, origin_y, client_width + extra_width, client_height + extra_height, TRUE);
}

void PropertyFrame::ActivatePage(int index) {
    if (index < 0 || index >= static_cast<int>(pages_.size()) || index == current_) return;
    if (current_ >= 0 && pages_[current_].active) {
        pages_[current_].page->Deactivate();
        pages_[current_].active = false;
    }
    current_ = index;
    const std::vector<HWND> before = Children();
    if (SUCCEEDED(pages_[index].page->Activate(frame_, &page_area_, TRUE))) {
        pages_[index].active = true;
        RaiseNewChildren(before);
    }
}

std::vector<HWND> PropertyFrame::Children() const {
    std::vector<HWND> children;
    for (HWND child = GetWindow(frame_, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        children.push_back(child);
    }
    return children;
}

// A page's dialog lies over the tab control's display area, and a new child
// goes to the bottom of the z-order: the page is raised above the tab
// control so that clicks there reach the page.
void PropertyFrame::RaiseNewChildren(const std::vector<HWND> &before) {
    for (HWND child : Children()) {
        if (std::find(before.begin(), before.end(), child) == before.end()) {
            SetWindowPos(child, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        }
    }
}

void PropertyFrame::ApplyDirtyPages() {
    for (FramePage &entry : pages_) {
        if (entry.page->IsPageDirty() == S_OK) entry.page->Apply();
    }
}

void PropertyFrame::UpdateApplyButton() {
    bool dirty = false;
    for (FramePage &entry : pages_) dirty = dirty || entry.page->IsPageDirty() == S_OK;
    EnableWindow(apply_, dirty ? TRUE : FALSE);
}

void PropertyFrame::OnStatusChange(DWORD flags) {
    if ((flags & PROPPAGESTATUS_DIRTY) != 0 && apply_ != nullptr) EnableWindow(apply_, TRUE);
}

void PropertyFrame::RunMessageLoop() {
    while (!closing_) {
        MSG message = {};
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == -1) break;
        if (got == 0) {
            PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        if (message.message >= WM_KEYFIRST && message.message <= WM_KEYLAST && current_ >= 0 &&
            pages_[current_].active && pages_[current_].page->TranslateAccelerator(&message) == S_OK) {
            continue;
        }
        if (IsDialogMessageW(frame_, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void PropertyFrame::Close() {
    for (FramePage &entry : pages_) {
        if (entry.page != nullptr) ReleasePage(entry);
    }
    pages_.clear();
    current_ = -1;
    if (frame_ != nullptr && !frame_destroyed_) DestroyWindow(frame_);
    frame_ = nullptr;
}

INT_PTR CALLBACK PropertyFrame::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(window, GWLP_USERDATA, lParam);
        return TRUE;
    }
    auto *frame = reinterpret_cast<PropertyFrame *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (frame == nullptr) return FALSE;
    return frame->OnMessage(message, wParam, lParam);
}

INT_PTR PropertyFrame::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        if (HIWORD(wParam) != BN_CLICKED) return FALSE;
        switch (LOWORD(wParam)) {
        case IDOK:
            ApplyDirtyPages();
            closing_ = true;
            return TRUE;
        case IDCANCEL:
            closing_ = true;
            return TRUE;
        case kApplyButtonId:
            ApplyDirtyPages();
            UpdateApplyButton();
            return TRUE;
        default:
            return FALSE;
        }
    case WM_NOTIFY: {
        const NMHDR *header = reinterpret_cast<const NMHDR *>(lParam);
        if (header != nullptr && header->hwndFrom == tab_ && header->code == TCN_SELCHANGE) {
            ActivatePage(static_cast<int>(SendMessageW(tab_, TCM_GETCURSEL, 0, 0)));
            return TRUE;
        }
        return FALSE;
    }
    case WM_CLOSE:
        closing_ = true;
        return TRUE;
    case WM_DESTROY:
        // Destroyed from elsewhere: the loop ends and nobody destroys it again.
        frame_destroyed_ = true;
        closing_ = true;
        return FALSE;
    default:
        return FALSE;
    }
}

}  // namespace
}  // namespace tm350::oleaut32

WINOLECTLAPI OleCreatePropertyFrame(HWND hwndOwner, UINT x, UINT y, LPCOLESTR lpszCaption, ULONG cObjects,
                                    LPUNKNOWN *ppUnk, ULONG cPages, LPCLSID pPageClsID, LCID lcid, DWORD,
                                    LPVOID) {
    if (lpszCaption == nullptr) return E_POINTER;
    if (cObjects == 0) return E_INVALIDARG;
    if (ppUnk == nullptr) return E_POINTER;
    for (ULONG i = 0; i < cObjects; ++i) {
        if (ppUnk[i] == nullptr) return E_POINTER;
    }
    if (cPages > 0 && pPageClsID == nullptr) return E_POINTER;
    if (hwndOwner != nullptr && !IsWindow(hwndOwner)) return E_INVALIDARG;

    tm350::oleaut32::PropertyFrame frame(lcid, cObjects, ppUnk);
    for (const CLSID &page_class : tm350::oleaut32::PageClasses(ppUnk[0], cPages, pPageClsID)) {
        frame.AddPage(page_class);
    }
    if (!frame.HasPages()) return S_OK;
    return frame.Run(hwndOwner, x, y, std::u16string(tm350::text::View(lpszCaption)));
}
