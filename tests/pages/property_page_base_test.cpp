// The property page base as a frame meets it: the state guards with their
// exact errors, then the allowed path, measuring, showing, the style guard
// and the last release of a page left active.
#include "page_test_support.h"

#include "resources/resource.h"

namespace pages_test {
namespace {

const CLSID &SetupPageClass() { return kNVC480Identities[0].setupPage; }

using PageBase = PageTest;

TEST_F(PageBase, CallsOutOfOrderAreRefusedAndLeaveNoWindow) {
    RecordingCamera camera;
    Ref<IPropertyPage> page = CreatePage(SetupPageClass());
    ASSERT_TRUE(page);
    IUnknown *object = &camera;
    IUnknown *two[] = {&camera, &camera};
    const RECT area = {0, 0, 100, 100};

    EXPECT_EQ(page->Activate(host_, &area, TRUE), E_UNEXPECTED) << "before SetObjects";
    EXPECT_EQ(GetWindow(host_, GW_CHILD), nullptr);
    EXPECT_EQ(page->SetObjects(2, two), E_UNEXPECTED);
    EXPECT_EQ(page->Activate(host_, &area, TRUE), E_UNEXPECTED) << "two objects set nothing";
    EXPECT_EQ(page->SetObjects(1, nullptr), E_POINTER);
    IUnknown *none = nullptr;
    EXPECT_EQ(page->SetObjects(1, &none), E_POINTER);
    EXPECT_EQ(page->Deactivate(), E_UNEXPECTED);
    EXPECT_EQ(page->Show(SW_SHOW), E_UNEXPECTED);
    EXPECT_EQ(page->Move(&area), E_UNEXPECTED);
    EXPECT_EQ(page->Apply(), E_UNEXPECTED) << "no objects";
    EXPECT_EQ(page->SetPageSite(nullptr), E_UNEXPECTED) << "no site held";
    EXPECT_EQ(page->GetPageInfo(nullptr), E_POINTER);
    EXPECT_EQ(page->Help(nullptr), E_NOTIMPL);
    EXPECT_EQ(page->TranslateAccelerator(nullptr), E_NOTIMPL);

    ASSERT_EQ(page->SetObjects(1, &object), S_OK);
    EXPECT_EQ(page->Apply(), E_UNEXPECTED) << "no site";
    ASSERT_EQ(page->SetPageSite(&site_), S_OK);
    EXPECT_EQ(page->SetPageSite(&site_), E_UNEXPECTED) << "a site is held";
    EXPECT_EQ(page->Activate(host_, nullptr, TRUE), E_POINTER);
    ASSERT_EQ(page->Activate(host_, &area, TRUE), S_OK);
    EXPECT_EQ(page->Activate(host_, &area, TRUE), E_UNEXPECTED) << "already active";
    EXPECT_EQ(page->Move(nullptr), E_POINTER);
    EXPECT_EQ(page->Show(SW_MINIMIZE), E_INVALIDARG);
    EXPECT_EQ(page->Deactivate(), S_OK);
    EXPECT_EQ(GetWindow(host_, GW_CHILD), nullptr);
    EXPECT_EQ(page->SetObjects(0, nullptr), S_OK);
    EXPECT_EQ(page->SetPageSite(nullptr), S_OK);
    EXPECT_EQ(site_.references(), 1);
    EXPECT_EQ(camera.references(), 1);
}

TEST_F(PageBase, PageInfoCarriesTheTitleAndNoHelp) {
    Ref<IPropertyPage> page = CreatePage(SetupPageClass());
    ASSERT_TRUE(page);
    PROPPAGEINFO info = {};
    ASSERT_EQ(page->GetPageInfo(&info), S_OK);
    EXPECT_EQ(info.cb, sizeof(PROPPAGEINFO));
    ASSERT_NE(info.pszTitle, nullptr);
    EXPECT_EQ(std::u16string(tm350::text::View(info.pszTitle)), u" SETUP");
    // Measured from template 142 (261 x 310 dialog units at 6 x 13 pixel base units).
    EXPECT_EQ(info.size.cx, 392);
    EXPECT_EQ(info.size.cy, 504);
    EXPECT_EQ(info.pszHelpFile, nullptr);
    EXPECT_EQ(info.pszDocString, nullptr);
    EXPECT_EQ(info.dwHelpContext, 0u);
    CoTaskMemFree(info.pszTitle);

}

TEST_F(PageBase, ApplyOnACleanPageCallsNothingAndADirtyOneAppliesOnce) {
    RecordingCamera camera;
    Ref<IPropertyPage> page = CreatePage(SetupPageClass());
    ASSERT_TRUE(page);
    Open(page.Get(), &camera);
    camera.Take();

    EXPECT_EQ(page->IsPageDirty(), S_FALSE);
    EXPECT_EQ(page->Apply(), S_OK);
    EXPECT_TRUE(camera.Take().empty());

    ClickControl(PageDialog(), IDC_FLIP_VERTICAL);
    EXPECT_EQ(page->IsPageDirty(), S_OK);
    ASSERT_FALSE(site_.status_changes().empty());
    EXPECT_EQ(site_.status_changes().back(), static_cast<DWORD>(PROPPAGESTATUS_DIRTY));
    camera.Take();
    EXPECT_EQ(page->Apply(), S_OK);
    EXPECT_EQ(camera.Take(), (std::vector<std::string>{"SetGamma(100)", "SetContrast(30)", "SetSaturation(1,100)"}));
    EXPECT_EQ(page->IsPageDirty(), S_FALSE);
    EXPECT_EQ(page->Apply(), S_OK);
    EXPECT_TRUE(camera.Take().empty());
    EXPECT_EQ(page->Deactivate(), S_OK);
}

TEST_F(PageBase, ShowHidesAndShowsAndMoveSizesThePage) {
    RecordingCamera camera;
    Ref<IPropertyPage> page = CreatePage(SetupPageClass());
    ASSERT_TRUE(page);
    Open(page.Get(), &camera);
    HWND dialog = PageDialog();
    EXPECT_EQ(page->Show(SW_HIDE), S_OK);
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_EQ(page->Show(SW_SHOWNORMAL), S_OK);
    EXPECT_TRUE(IsWindowVisible(dialog));
    const RECT area = {20, 30, 220, 130};
    EXPECT_EQ(page->Move(&area), S_OK);
    RECT client = {};
    GetClientRect(dialog, &client);
    EXPECT_EQ(client.right - client.left, 200);
    EXPECT_EQ(client.bottom - client.top, 100);
    EXPECT_EQ(page->Deactivate(), S_OK);
}

// The frame may clear WS_EX_CONTROLPARENT; the page keeps it while active so
// TAB still moves between its controls.
TEST_F(PageBase, AnActivePageKeepsItsControlParentStyle) {
    RecordingCamera camera;
    Ref<IPropertyPage> page = CreatePage(SetupPageClass());
    ASSERT_TRUE(page);
    Open(page.Get(), &camera);
    HWND dialog = PageDialog();
    SetWindowLongW(dialog, GWL_EXSTYLE, 0);
    EXPECT_NE(GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_CONTROLPARENT, 0);
    EXPECT_EQ(page->Deactivate(), S_OK);
}

TEST_F(PageBase, ReleasingAnActivePageLetsGoOfSiteObjectsAndDialog) {
    RecordingCamera camera;
    HWND dialog = nullptr;
    {
        Ref<IPropertyPage> page = CreatePage(SetupPageClass());
        ASSERT_TRUE(page);
        Open(page.Get(), &camera);
        dialog = PageDialog();
        ASSERT_NE(dialog, nullptr);
        EXPECT_GT(site_.references(), 1);
        EXPECT_GT(camera.references(), 1);
    }
    EXPECT_EQ(site_.references(), 1);
    EXPECT_EQ(camera.references(), 1);
    EXPECT_FALSE(IsWindow(dialog));
    // A message for the old dialog reaches no freed page.
    PumpMessages();
}

TEST_F(PageBase, ObjectsSetTwiceReplaceTheFirstWithoutLeakingIt) {
    Ref<IPropertyPage> page = CreatePage(SetupPageClass());
    ASSERT_TRUE(page);
    RecordingCamera first;
    RecordingCamera second;
    IUnknown *object = &first;
    ASSERT_EQ(page->SetObjects(1, &object), S_OK);
    object = &second;
    ASSERT_EQ(page->SetObjects(1, &object), S_OK);
    EXPECT_EQ(first.references(), 1);
    EXPECT_EQ(second.references(), 2);
    ASSERT_EQ(page->SetObjects(0, nullptr), S_OK);
    EXPECT_EQ(second.references(), 1);
}

// The page still opens on such an object (the frame may show it), its
// controls change only the dialog, and Apply reports that it has no camera.
TEST_F(PageBase, AnObjectWithoutTheCameraInterfaceLeavesThePageWithoutACamera) {
    Ref<IPropertyPage> page = CreatePage(SetupPageClass());
    ASSERT_TRUE(page);
    IUnknown *object = &site_;  // answers IUnknown only
    EXPECT_EQ(page->SetObjects(1, &object), E_NOINTERFACE);
    ASSERT_EQ(page->SetPageSite(&site_), S_OK);
    const RECT area = {10, 10, 400, 500};
    ASSERT_EQ(page->Activate(host_, &area, TRUE), S_OK);
    PumpMessages();
    ClickControl(PageDialog(), IDC_DEFAULT);
    ClickControl(PageDialog(), IDC_FLIP_VERTICAL);
    EXPECT_EQ(ControlView(PageDialog(), IDC_FLIP_VERTICAL).check, BST_CHECKED);
    EXPECT_EQ(page->IsPageDirty(), S_OK);
    EXPECT_EQ(page->Apply(), E_POINTER);
    EXPECT_EQ(page->Deactivate(), S_OK);
    ASSERT_EQ(page->SetObjects(0, nullptr), S_OK);
}

}  // namespace
}  // namespace pages_test
