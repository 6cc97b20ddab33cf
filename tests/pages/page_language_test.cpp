// The pages in Simplified Chinese: a module loaded with the user's language
// set to 0x0804 builds its pages from templates 103 and 143 with their
// Chinese titles; the behaviour is the same.
#include "page_test_support.h"

#include <cstdlib>
#include <filesystem>

#include "resources/resource.h"
#include "support/temp_directory.h"

namespace pages_test {
namespace {

// The user's language for this test only, as the platform reads it, both
// when the module loads and when the resources are looked up.
class UserLanguage {
public:
    explicit UserLanguage(const char *language) {
        if (const char *previous = std::getenv("TM350_LANGID")) previous_ = previous;
        setenv("TM350_LANGID", language, 1);
    }
    ~UserLanguage() {
        if (previous_.empty()) {
            unsetenv("TM350_LANGID");
        } else {
            setenv("TM350_LANGID", previous_.c_str(), 1);
        }
    }

private:
    std::string previous_;
};

using ChinesePages = PageTest;

TEST_F(ChinesePages, TheModuleLoadedForSimplifiedChineseShowsChinesePages) {
    UserLanguage chinese("0x0804");
    tm350::test::TempDirectory directory;
    // A copy of its own, so the module is loaded afresh with this language.
    const std::filesystem::path copy = directory.path() / "TM350Mt64-chs.ax";
    std::filesystem::copy_file(filter_test::ModulePath(0), copy);
    HMODULE module = LoadLibraryA(copy.c_str());
    ASSERT_NE(module, nullptr);
    typedef HRESULT(STDAPICALLTYPE * GetClassObject)(REFCLSID, REFIID, void **);
    auto get_class_object = reinterpret_cast<GetClassObject>(GetProcAddress(module, "DllGetClassObject"));
    ASSERT_NE(get_class_object, nullptr);
    {
        Ref<IClassFactory> factory;
        ASSERT_EQ(get_class_object(kNVC480Identities[0].setupPage, IID_IClassFactory, factory.ReceiveVoid()), S_OK);
        Ref<IPropertyPage> page;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, page.ReceiveVoid()), S_OK);
        PROPPAGEINFO info = {};
        ASSERT_EQ(page->GetPageInfo(&info), S_OK);
        EXPECT_EQ(std::u16string(tm350::text::View(info.pszTitle)), U(" 设置"));
        // Template 143 is nine dialog units shorter than 142.
        EXPECT_EQ(info.size.cx, 392);
        EXPECT_EQ(info.size.cy, 489);
        CoTaskMemFree(info.pszTitle);

        RecordingCamera camera;
        Open(page.Get(), &camera);
        HWND dialog = PageDialog();
        // Template 143: Chinese texts, and its own rectangles.
        EXPECT_EQ(ControlText(dialog, IDC_AE), U("自动曝光"));
        EXPECT_EQ(ControlText(dialog, IDC_ONE_PUSH_WB), U("一次白平衡"));
        RECT units = {0, 0, 48, 10};  // the AE box: 25 units wide in the English template
        ASSERT_TRUE(MapDialogRect(dialog, &units));
        const WindowView ae = ControlView(dialog, IDC_AE);
        EXPECT_EQ(ae.rect.right - ae.rect.left, units.right);
        camera.Take();
        ClickControl(dialog, IDC_HIGH_SPEED);
        EXPECT_EQ(camera.Take("Set"), (std::vector<std::string>{"SetSpeedMode(1)", "SetExposureControl(1,100,300,224)"}));
        EXPECT_EQ(page->Deactivate(), S_OK);
        EXPECT_EQ(page->SetObjects(0, nullptr), S_OK);
        EXPECT_EQ(page->SetPageSite(nullptr), S_OK);

        ASSERT_EQ(get_class_object(kNVC480Identities[0].sizePage, IID_IClassFactory, factory.ReceiveVoid()), S_OK);
        Ref<IPropertyPage> size_page;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, size_page.ReceiveVoid()), S_OK);
        ASSERT_EQ(size_page->GetPageInfo(&info), S_OK);
        EXPECT_EQ(std::u16string(tm350::text::View(info.pszTitle)), U("视频尺寸"));
        CoTaskMemFree(info.pszTitle);
    }
    FreeLibrary(module);
}

}  // namespace
}  // namespace pages_test
