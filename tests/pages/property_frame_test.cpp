// The property frame as a program opens it: on its own thread, modal, with
// the pages' dialogs inside; the user's clicks arrive as desktop input.
#include "page_test_support.h"

#include <algorithm>
#include <future>

#include <olectl.h>

#include "resources/resource.h"

namespace pages_test {
namespace {

constexpr int kApplyButton = 0x3021;
constexpr DWORD kWaitMs = 10000;

// The frame on a thread of its own (with COM of its own), open until it
// closes. A test that stops early closes it as the user would, so a failure
// never leaves the frame's thread waiting for input.
class FrameThread {
public:
    FrameThread(LPCOLESTR caption, IUnknown *object, std::vector<CLSID> pages)
        : closed_(std::async(std::launch::async, [caption, object, pages]() mutable {
              CoInitializeEx(nullptr, COINIT_MULTITHREADED);
              IUnknown *objects[] = {object};
              HRESULT hr = OleCreatePropertyFrame(nullptr, 0, 0, caption, 1, objects,
                                                  static_cast<ULONG>(pages.size()),
                                                  pages.empty() ? nullptr : pages.data(), 0x0409, 0, nullptr);
              CoUninitialize();
              return hr;
          })) {}
    ~FrameThread() {
        if (closed_.valid()) {
            if (frame_ != nullptr && IsWindow(frame_)) PostMessageW(frame_, WM_CLOSE, 0, 0);
            closed_.wait();
        }
    }
    void set_frame(HWND frame) { frame_ = frame; }
    // The frame's result once it has closed; E_PENDING while it stays open.
    HRESULT Closed() {
        if (closed_.wait_for(std::chrono::milliseconds(10000)) != std::future_status::ready) return E_PENDING;
        return closed_.get();
    }

private:
    HWND frame_ = nullptr;
    std::future<HRESULT> closed_;
};

// The top-level window with this caption, once it is shown.
HWND WaitForFrame(const std::u16string &caption) {
    uint64_t seen = 0;
    for (int round = 0; round < 1000; ++round) {
        for (HWND window : tm350::user32::TopLevelWindows()) {
            std::vector<WindowView> views = tm350::user32::ViewWindowTree(window);
            if (!views.empty() && views[0].text == caption && views[0].visible) return window;
        }
        seen = tm350::user32::WaitForDesktopChange(seen, kWaitMs);
    }
    return nullptr;
}

bool HasTopLevel(const std::u16string &caption) {
    for (HWND window : tm350::user32::TopLevelWindows()) {
        std::vector<WindowView> views = tm350::user32::ViewWindowTree(window);
        if (!views.empty() && views[0].text == caption) return true;
    }
    return false;
}

WindowView TabView(HWND frame) {
    for (const WindowView &view : tm350::user32::ViewWindowTree(frame)) {
        if (view.class_name == u"SysTabControl32") return view;
    }
    ADD_FAILURE() << "no tab control";
    return WindowView{};
}

// A click handled by the frame's thread.
void Click(HWND frame, int id) {
    ASSERT_TRUE(tm350::user32::ClickAt(Center(ControlView(frame, id).rect)));
    ASSERT_TRUE(tm350::user32::WaitForInputHandled(kWaitMs));
}

const CLSID &SetupPageClass() { return kNVC480Identities[0].setupPage; }
const CLSID &SizePageClass() { return kNVC480Identities[0].sizePage; }

// No host window of the test's own: every click goes to the frame's thread.
using PropertyFrame = filter_test::CaptureModuleTest;

TEST_F(PropertyFrame, OnTheFilterItShowsTheSetupPageAndOkAppliesIt) {
    Ref<IBaseFilter> filter = CreateFilter();
    ASSERT_TRUE(filter);
    FrameThread thread(L"Camera", filter.Get(), {});
    HWND frame = WaitForFrame(u"Camera Properties");
    ASSERT_NE(frame, nullptr);
    thread.set_frame(frame);
    const WindowView tabs = TabView(frame);
    EXPECT_EQ(tabs.tabs, std::vector<std::u16string>{u" SETUP"});
    EXPECT_EQ(tabs.selected_tab, 0);
    EXPECT_TRUE(ControlView(frame, IDC_GAMMA_SLIDER).visible);
    EXPECT_FALSE(ControlView(frame, kApplyButton).enabled) << "nothing changed yet";

    Click(frame, IDC_COLOR_ENHANCEMENT);
    EXPECT_TRUE(ControlView(frame, kApplyButton).enabled);
    Click(frame, kApplyButton);
    EXPECT_FALSE(ControlView(frame, kApplyButton).enabled) << "applied";
    Click(frame, IDC_COLOR_ENHANCEMENT);
    Click(frame, IDOK);
    EXPECT_EQ(thread.Closed(), S_OK);
    EXPECT_FALSE(HasTopLevel(u"Camera Properties"));

    // Colour enhancement went off and on again through the page.
    Ref<INVC480> camera = Query<INVC480>(filter.Get(), IID_INVC480);
    DWORD enabled = 0;
    BYTE saturation = 0;
    camera->GetSaturation(&enabled, &saturation);
    EXPECT_EQ(enabled, 1u);
}

TEST_F(PropertyFrame, OkAppliesDirtyPagesAndCancelOrCloseDoNot) {
    for (int way : {IDOK, IDCANCEL, 0}) {
        SCOPED_TRACE(way);
        RecordingCamera camera;
        FrameThread thread(L"Recorder", &camera, {SizePageClass()});
        HWND frame = WaitForFrame(u"Recorder Properties");
        ASSERT_NE(frame, nullptr);
        thread.set_frame(frame);
        Click(frame, IDC_SIZE_1024X768);
        if (way == 0) {
            PostMessageW(frame, WM_CLOSE, 0, 0);
        } else {
            Click(frame, way);
        }
        EXPECT_EQ(thread.Closed(), S_OK);
        const std::vector<std::string> sent = camera.Take("Set");
        EXPECT_EQ(sent, way == IDOK ? std::vector<std::string>{"SetVideoSize(0)"} : std::vector<std::string>{});
        EXPECT_EQ(camera.references(), 1) << "every page let go of the object";
    }
}

TEST_F(PropertyFrame, ChoosingATabDeactivatesOnePageAndActivatesTheOther) {
    RecordingCamera camera;
    FrameThread thread(L"Two", &camera, {SetupPageClass(), SizePageClass()});
    HWND frame = WaitForFrame(u"Two Properties");
    ASSERT_NE(frame, nullptr);
    thread.set_frame(frame);
    WindowView tabs = TabView(frame);
    EXPECT_EQ(tabs.tabs, (std::vector<std::u16string>{u" SETUP", u"Video Size"}));
    RECT second = {};
    ASSERT_TRUE(SendMessageW(tabs.window, TCM_GETITEMRECT, 1, reinterpret_cast<LPARAM>(&second)));
    ASSERT_TRUE(tm350::user32::ClickAt(POINT{tabs.rect.left + (second.left + second.right) / 2,
                                             tabs.rect.top + (second.top + second.bottom) / 2}));
    ASSERT_TRUE(tm350::user32::WaitForInputHandled(kWaitMs));
    EXPECT_EQ(TabView(frame).selected_tab, 1);
    EXPECT_TRUE(ControlView(frame, IDC_SIZE_1024X768).visible);
    bool setup_gone = true;
    for (const WindowView &view : tm350::user32::ViewWindowTree(frame)) {
        if (view.id == IDC_GAMMA_SLIDER) setup_gone = false;
    }
    EXPECT_TRUE(setup_gone);
    PostMessageW(frame, WM_CLOSE, 0, 0);
    EXPECT_EQ(thread.Closed(), S_OK);
}

// Nothing to show: the call returns at once without a frame.
TEST_F(PropertyFrame, AnObjectWithoutPagesOpensNothing) {
    RecordingSite object;  // no ISpecifyPropertyPages
    const size_t before = tm350::user32::TopLevelWindows().size();
    IUnknown *objects[] = {&object};
    EXPECT_EQ(OleCreatePropertyFrame(nullptr, 0, 0, L"Nothing", 1, objects, 0, nullptr, 0, 0, nullptr), S_OK);
    const CLSID unknown_page = {0x1234, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
    CLSID pages[] = {unknown_page};
    EXPECT_EQ(OleCreatePropertyFrame(nullptr, 0, 0, L"Nothing", 1, objects, 1, pages, 0, 0, nullptr), S_OK);
    EXPECT_EQ(tm350::user32::TopLevelWindows().size(), before);
    EXPECT_EQ(object.references(), 1);

    EXPECT_EQ(OleCreatePropertyFrame(nullptr, 0, 0, nullptr, 1, objects, 0, nullptr, 0, 0, nullptr), E_POINTER);
    EXPECT_EQ(OleCreatePropertyFrame(nullptr, 0, 0, L"x", 1, nullptr, 0, nullptr, 0, 0, nullptr), E_POINTER);
    EXPECT_EQ(OleCreatePropertyFrame(nullptr, 0, 0, L"x", 1, objects, 1, nullptr, 0, 0, nullptr), E_POINTER);
    EXPECT_EQ(OleCreatePropertyFrame(nullptr, 0, 0, L"x", 0, objects, 0, nullptr, 0, 0, nullptr), E_INVALIDARG);
}

}  // namespace
}  // namespace pages_test
