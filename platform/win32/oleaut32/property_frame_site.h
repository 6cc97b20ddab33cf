// The site the property frame gives each of its pages: how a page tells the
// frame it is dirty and learns the frame's locale.
#pragma once

#include <ocidl.h>

#include <functional>

namespace tm350::oleaut32 {

class PropertyPageSite final : public IPropertyPageSite {
public:
    // `on_status_change` runs on the page's calls to OnStatusChange until
    // the frame detaches; the page may keep the site longer than the frame.
    PropertyPageSite(LCID locale, std::function<void(DWORD)> on_status_change);
    PropertyPageSite(const PropertyPageSite &) = delete;
    PropertyPageSite &operator=(const PropertyPageSite &) = delete;

    // The frame is going: later status changes reach nobody.
    void Detach();

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP OnStatusChange(DWORD dwFlags) override;
    STDMETHODIMP GetLocaleID(LCID *pLocaleID) override;
    STDMETHODIMP GetPageContainer(IUnknown **ppUnk) override;
    STDMETHODIMP TranslateAccelerator(MSG *pMsg) override;

private:
    ~PropertyPageSite() = default;

    volatile LONG references_ = 1;
    const LCID locale_;
    std::function<void(DWORD)> on_status_change_;
};

}  // namespace tm350::oleaut32
