#include "page_test_support.h"

#include "common/text.h"

namespace pages_test {
namespace {

const WCHAR kHostClass[] = L"PagesTestHost";

void RegisterHostClass() {
    static const bool registered = [] {
        WNDCLASSW host = {};
        host.lpfnWndProc = DefWindowProcW;
        host.lpszClassName = kHostClass;
        return RegisterClassW(&host) != 0;
    }();
    (void)registered;
}

}  // namespace

std::u16string U(const char *utf8) { return tm350::text::Utf8ToUtf16(utf8); }

STDMETHODIMP RecordingSite::QueryInterface(REFIID riid, void **ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPropertyPageSite)) {
        *ppv = static_cast<IPropertyPageSite *>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

void PumpMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

WindowView ControlView(HWND root, int id) {
    for (const WindowView &view : tm350::user32::ViewWindowTree(root)) {
        if (view.parent != nullptr && view.id == id) return view;
    }
    ADD_FAILURE() << "no control " << id;
    return WindowView{};
}

std::u16string ControlText(HWND root, int id) { return ControlView(root, id).text; }

POINT Center(const RECT &rect) { return POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2}; }

void ClickControl(HWND root, int id) {
    EXPECT_TRUE(tm350::user32::ClickAt(Center(ControlView(root, id).rect)));
    PumpMessages();
}

void DragThumb(HWND root, int id, int dx) {
    POINT point = Center(ControlView(root, id).thumb);
    EXPECT_TRUE(tm350::user32::SendMouseInput(tm350::user32::MouseAction::Down, point));
    PumpMessages();
    const int step = dx < 0 ? -1 : 1;
    for (int moved = 0; moved != dx; moved += step) {
        point.x += step;
        tm350::user32::SendMouseInput(tm350::user32::MouseAction::Move, point);
        PumpMessages();
    }
    tm350::user32::SendMouseInput(tm350::user32::MouseAction::Up, point);
    PumpMessages();
}

void PageTest::SetUp() {
    CaptureModuleTest::SetUp();
    // The pages' sliders are common controls: a host program loads them.
    INITCOMMONCONTROLSEX controls = {sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES};
    ASSERT_TRUE(InitCommonControlsEx(&controls));
    RegisterHostClass();
    host_ = CreateWindowExW(0, kHostClass, L"Pages under test", WS_POPUP | WS_VISIBLE, 0, 0, 900, 800, nullptr,
                            nullptr, nullptr, nullptr);
    ASSERT_NE(host_, nullptr);
}

void PageTest::TearDown() {
    if (host_ != nullptr) DestroyWindow(host_);
    PumpMessages();
    CaptureModuleTest::TearDown();
}

Ref<IPropertyPage> PageTest::CreatePage(const CLSID &page_class) {
    Ref<IPropertyPage> page;
    EXPECT_EQ(CoCreateInstance(page_class, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage, page.ReceiveVoid()),
              S_OK);
    return page;
}

void PageTest::Open(IPropertyPage *page, IUnknown *object) {
    ASSERT_EQ(page->SetPageSite(&site_), S_OK);
    ASSERT_EQ(page->SetObjects(1, &object), S_OK);
    // Room for the largest page; the measured size has a test of its own.
    const RECT area = {10, 10, 610, 760};
    ASSERT_EQ(page->Activate(host_, &area, TRUE), S_OK);
    PumpMessages();
}

HWND PageTest::PageDialog() const { return GetWindow(host_, GW_CHILD); }

}  // namespace pages_test
