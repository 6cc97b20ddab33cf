// What the page tests share: the capture modules registered in the test's own
// registry, a visible host window on the test's thread for the pages'
// dialogs, the thread's messages pumped as a message loop would, and input
// given at controls the way a user gives it.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <ocidl.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "filter/capture_module_fixture.h"
#include "platform/win32/user32/headless_desktop.h"
#include "recording_camera.h"

namespace pages_test {

using filter_test::Ref;
using tm350::user32::WindowView;

// A page site that counts what pages tell it.
class RecordingSite final : public IPropertyPageSite {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override { return --references_; }
    STDMETHODIMP OnStatusChange(DWORD flags) override {
        status_changes_.push_back(flags);
        return S_OK;
    }
    STDMETHODIMP GetLocaleID(LCID *locale) override {
        *locale = 0x0409;
        return S_OK;
    }
    STDMETHODIMP GetPageContainer(IUnknown **) override { return E_NOTIMPL; }
    STDMETHODIMP TranslateAccelerator(MSG *) override { return S_FALSE; }

    LONG references() const { return references_; }
    const std::vector<DWORD> &status_changes() const { return status_changes_; }

private:
    LONG references_ = 1;  // owned by the test; the count is only watched
    std::vector<DWORD> status_changes_;
};

// Dispatches every message waiting for this thread, as its loop would.
void PumpMessages();

// The view of `root`'s descendant with control id `id`.
WindowView ControlView(HWND root, int id);
std::u16string ControlText(HWND root, int id);
POINT Center(const RECT &rect);
// A click at the middle of the control, then the messages pumped.
void ClickControl(HWND root, int id);
// A drag of a trackbar's thumb by `dx` pixels, with the messages pumped
// after each step.
void DragThumb(HWND root, int id, int dx);

class PageTest : public filter_test::CaptureModuleTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // A page of the build's instance 0 through CoCreateInstance.
    Ref<IPropertyPage> CreatePage(const CLSID &page_class);
    // The page given the site and the object, then activated in the host.
    void Open(IPropertyPage *page, IUnknown *object);
    // The page's dialog, once activated.
    HWND PageDialog() const;

    HWND host_ = nullptr;
    RecordingSite site_;
};

std::u16string U(const char *utf8);

}  // namespace pages_test
