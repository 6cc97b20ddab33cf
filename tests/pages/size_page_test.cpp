// The pin's video size page: one visible choice, the size sent on Apply.
#include "page_test_support.h"

#include "resources/resource.h"

namespace pages_test {
namespace {

const CLSID &SizePageClass() { return kNVC480Identities[0].sizePage; }

using SizePage = PageTest;

TEST_F(SizePage, OnlyTheFullSizeIsVisibleAndApplySendsTheStoredSize) {
    RecordingCamera camera;
    Ref<IPropertyPage> page = CreatePage(SizePageClass());
    ASSERT_TRUE(page);
    PROPPAGEINFO info = {};
    ASSERT_EQ(page->GetPageInfo(&info), S_OK);
    EXPECT_EQ(std::u16string(tm350::text::View(info.pszTitle)), u"Video Size");
    CoTaskMemFree(info.pszTitle);

    Open(page.Get(), &camera);
    HWND dialog = PageDialog();
    EXPECT_TRUE(ControlView(dialog, IDC_SIZE_1024X768).visible);
    EXPECT_EQ(ControlView(dialog, IDC_SIZE_1024X768).check, BST_CHECKED);
    EXPECT_EQ(ControlView(dialog, IDC_SIZE_1024X768).text, u"1024 * 768");
    EXPECT_FALSE(ControlView(dialog, IDC_SIZE_640X480).visible);
    EXPECT_FALSE(ControlView(dialog, IDC_SIZE_320X240).visible);
    // Hidden buttons take no clicks: the point falls through to the dialog.
    tm350::user32::ClickAt(Center(ControlView(dialog, IDC_SIZE_640X480).rect));
    PumpMessages();
    EXPECT_EQ(ControlView(dialog, IDC_SIZE_640X480).check, BST_UNCHECKED);
    EXPECT_EQ(page->IsPageDirty(), S_FALSE);

    ClickControl(dialog, IDC_SIZE_1024X768);
    EXPECT_EQ(page->IsPageDirty(), S_OK);
    camera.Take();
    EXPECT_EQ(page->Apply(), S_OK);
    EXPECT_EQ(camera.Take(), std::vector<std::string>{"SetVideoSize(0)"});
    EXPECT_EQ(page->Deactivate(), S_OK);
}

TEST_F(SizePage, AnotherSizeIsSentAgainUntilTheUserChoosesTheFullSize) {
    CameraValues values;
    values.size = 2;
    RecordingCamera camera(values);
    Ref<IPropertyPage> page = CreatePage(SizePageClass());
    ASSERT_TRUE(page);
    Open(page.Get(), &camera);
    HWND dialog = PageDialog();
    EXPECT_EQ(ControlView(dialog, IDC_SIZE_1024X768).check, BST_UNCHECKED);

    // Any command notification makes the page dirty.
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_SIZE_640X480, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_SIZE_640X480)));
    camera.Take();
    EXPECT_EQ(page->Apply(), S_OK);
    EXPECT_EQ(camera.Take(), std::vector<std::string>{"SetVideoSize(2)"});

    ClickControl(dialog, IDC_SIZE_1024X768);
    EXPECT_EQ(page->Apply(), S_OK);
    EXPECT_EQ(camera.Take(), std::vector<std::string>{"SetVideoSize(0)"});
    EXPECT_EQ(page->Deactivate(), S_OK);
}

// A frame deactivates a page when another tab is chosen and applies it on
// OK afterwards: the choice made before must still be sent.
TEST_F(SizePage, TheChoiceSurvivesDeactivationUntilApply) {
    CameraValues values;
    values.size = 2;
    RecordingCamera camera(values);
    Ref<IPropertyPage> page = CreatePage(SizePageClass());
    ASSERT_TRUE(page);
    Open(page.Get(), &camera);
    ClickControl(PageDialog(), IDC_SIZE_1024X768);
    EXPECT_EQ(page->Deactivate(), S_OK);
    camera.Take();
    EXPECT_EQ(page->Apply(), S_OK);
    EXPECT_EQ(camera.Take(), std::vector<std::string>{"SetVideoSize(0)"});
}

}  // namespace
}  // namespace pages_test
