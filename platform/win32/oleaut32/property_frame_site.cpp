// A page calls its site on the frame's thread, so the site needs no lock of
// its own beyond its reference count.
#include "property_frame_site.h"

#include <utility>

namespace tm350::oleaut32 {

PropertyPageSite::PropertyPageSite(LCID locale, std::function<void(DWORD)> on_status_change)
    : locale_(locale), on_status_change_(std::move(on_status_change)) {}

void PropertyPageSite::Detach() { on_status_change_ = nullptr; }

STDMETHODIMP PropertyPageSite::QueryInterface(REFIID riid, void **ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPropertyPageSite)) {
        *ppv = static_cast<IPropertyPageSite *>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) PropertyPageSite::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&references_)); }

STDMETHODIMP_(ULONG) PropertyPageSite::Release() {
    LONG count = InterlockedDecrement(&references_);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

// PROPPAGESTATUS_DIRTY enables the frame's Apply button; the other flags
// (validate, clean) ask nothing of this frame.
STDMETHODIMP PropertyPageSite::OnStatusChange(DWORD dwFlags) {
    if (on_status_change_) on_status_change_(dwFlags);
    return S_OK;
}

STDMETHODIMP PropertyPageSite::GetLocaleID(LCID *pLocaleID) {
    if (pLocaleID == nullptr) return E_POINTER;
    *pLocaleID = locale_;
    return S_OK;
}

// The frame offers no container object, as the system's frame does not.
STDMETHODIMP PropertyPageSite::GetPageContainer(IUnknown **ppUnk) {
    if (ppUnk != nullptr) *ppUnk = nullptr;
    return E_NOTIMPL;
}

// The frame has no accelerators of its own.
STDMETHODIMP PropertyPageSite::TranslateAccelerator(MSG *) { return S_FALSE; }

}  // namespace tm350::oleaut32
