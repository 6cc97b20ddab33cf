// The pages' dialog templates as the capture module carries them, held
// against the pages' tables: every control's id, class, kind, text and
// rectangle in both languages, and the style bits the pages rely on.
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "capture_module.h"
#include "common/text.h"
#include "dialog_template.h"
#include "resources/resource.h"

namespace resources_test {
namespace {

// Style bits by their Windows values, named here so the test reads the
// templates without the window manager's headers.
constexpr DWORD kChild = 0x40000000, kVisible = 0x10000000, kDisabled = 0x08000000;
constexpr DWORD kGroup = 0x00020000, kTabStop = 0x00010000, kCaption = 0x00C00000;
constexpr DWORD kSetFont = 0x40, kFixedSys = 0x08;
constexpr DWORD kButtonTypeMask = 0xF;
constexpr DWORD kTrackbarVertical = 0x2, kTrackbarTop = 0x4, kTrackbarBoth = 0x8, kTrackbarNoTicks = 0x10;
constexpr WORD kButtonClass = 0x80, kStaticClass = 0x82;

enum class Kind { GroupBox, Label, PointedSlider, PlainSlider, CheckBox, RadioButton, PushButton };

struct Expected {
    int id;
    Kind kind;
    const char16_t *english;
    const char16_t *chinese;
    TemplateRect rect;
    std::optional<TemplateRect> chinese_rect = std::nullopt;  // where 143 differs
};

const std::vector<Expected> kSetupControls = {
    {-1, Kind::GroupBox, u"Color", u"色彩", {8, 8, 156, 84}},
    {-1, Kind::Label, u"Gamma", u"伽玛", {14, 23, 23, 9}},
    {1011, Kind::PointedSlider, u"", u"", {44, 22, 119, 11}},
    {1042, Kind::Label, u"0", u"0", {89, 13, 33, 8}, TemplateRect{89, 14, 33, 8}},
    {-1, Kind::Label, u"Contrast", u"对比度", {12, 44, 30, 10}},
    {1012, Kind::PointedSlider, u"", u"", {44, 45, 119, 11}},
    {1043, Kind::Label, u"0", u"0", {90, 35, 33, 8}, TemplateRect{89, 35, 33, 8}},
    {1002, Kind::CheckBox, u"Color Enhancement Enable", u"色彩增强", {16, 59, 102, 10}, TemplateRect{17, 61, 47, 9}},
    {-1, Kind::Label, u"Saturation", u"饱和度", {11, 80, 34, 10}, TemplateRect{11, 79, 25, 10}},
    {1013, Kind::PointedSlider, u"", u"", {44, 79, 119, 11}},
    {1044, Kind::Label, u"0", u"0", {89, 71, 33, 8}, TemplateRect{89, 66, 33, 8}},
    {-1, Kind::GroupBox, u"Exposure", u"曝光控制", {8, 93, 156, 80}},
    {1003, Kind::CheckBox, u"AE", u"自动曝光", {18, 104, 25, 10}, TemplateRect{18, 104, 48, 10}},
    {1024, Kind::Label, u"1", u"1", {71, 106, 38, 8}, TemplateRect{72, 106, 38, 8}},
    {-1, Kind::Label, u"Target", u"目标", {18, 117, 22, 8}, TemplateRect{18, 117, 17, 8}},
    {1017, Kind::PlainSlider, u"", u"", {39, 117, 123, 12}},
    {1027, Kind::Label, u"1", u"1", {72, 129, 39, 8}},
    {-1, Kind::Label, u"Time", u"时间", {17, 138, 16, 8}, TemplateRect{19, 138, 17, 8}},
    {1018, Kind::PlainSlider, u"", u"", {39, 138, 123, 12}},
    {1026, Kind::Label, u"1", u"1", {72, 149, 41, 8}},
    {-1, Kind::Label, u"Gain", u"增益", {17, 159, 15, 8}, TemplateRect{19, 159, 17, 8}},
    {1019, Kind::PlainSlider, u"", u"", {39, 159, 122, 12}},
    {-1, Kind::GroupBox, u"Manual WB", u"手动白平衡", {8, 174, 156, 83}},
    {-1, Kind::Label, u"R", u"红", {16, 193, 11, 10}},
    {1033, Kind::PointedSlider, u"", u"", {24, 192, 110, 11}},
    {1084, Kind::Label, u"0", u"0", {137, 192, 21, 10}},
    {-1, Kind::Label, u"G", u"绿", {16, 207, 11, 10}},
    {1034, Kind::PointedSlider, u"", u"", {24, 207, 109, 11}},
    {1085, Kind::Label, u"0", u"0", {137, 208, 21, 10}},
    {-1, Kind::Label, u"B", u"蓝", {16, 221, 11, 10}},
    {1035, Kind::PointedSlider, u"", u"", {24, 222, 109, 11}},
    {1086, Kind::Label, u"0", u"0", {137, 223, 21, 10}},
    {1023, Kind::PushButton, u"One Push WB", u"一次白平衡", {55, 239, 59, 18}},
    {-1, Kind::GroupBox, u"Frame Rate", u"帧速", {176, 9, 78, 43}},
    {1028, Kind::RadioButton, u"Normal Speed", u"一般", {186, 24, 60, 10}, TemplateRect{186, 24, 32, 10}},
    {1029, Kind::RadioButton, u"High Speed", u"高速", {186, 37, 52, 10}, TemplateRect{186, 37, 32, 10}},
    {-1, Kind::GroupBox, u"Power Frequency", u"电源频率", {176, 64, 79, 48}, TemplateRect{176, 65, 79, 48}},
    {1030, Kind::RadioButton, u"50HZ", u"50赫兹", {186, 82, 33, 10}, TemplateRect{186, 83, 40, 10}},
    {1031, Kind::RadioButton, u"60HZ", u"60赫兹", {186, 95, 33, 10}, TemplateRect{186, 96, 40, 10}},
    {-1, Kind::GroupBox, u"Other", u"其他", {176, 125, 78, 65}, TemplateRect{176, 128, 78, 65}},
    {1008, Kind::CheckBox, u"Flip Vertical", u"垂直翻转", {183, 142, 60, 10}, TemplateRect{183, 145, 60, 10}},
    {1009, Kind::CheckBox, u"Flip Horizontal", u"横向翻转", {183, 157, 64, 10}, TemplateRect{183, 160, 64, 10}},
    {1010, Kind::CheckBox, u"Black/White", u"灰阶模式", {183, 175, 68, 10}, TemplateRect{183, 178, 68, 10}},
    {1020, Kind::PushButton, u"Default", u"默认", {186, 209, 57, 25}},
};

std::optional<DialogTemplate> ModuleTemplate(int id) {
    HMODULE module = CaptureModule();
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5));
    if (found == nullptr) return std::nullopt;
    const auto *data = static_cast<const BYTE *>(LockResource(LoadResource(module, found)));
    return ReadExtendedTemplate(std::span<const BYTE>(data, SizeofResource(module, found)));
}

std::string Narrow(const std::u16string &text) { return tm350::text::Utf16ToUtf8(text); }

// A child page in "MS Shell Dlg" 8 pt, no caption, of the given size.
void ExpectPageHeader(const DialogTemplate &dialog, short width, short height) {
    EXPECT_EQ(dialog.style & (kChild | kSetFont | kFixedSys | kCaption), kChild | kSetFont | kFixedSys);
    EXPECT_EQ(dialog.style & kVisible, 0u);
    EXPECT_EQ(dialog.rect.cx, width);
    EXPECT_EQ(dialog.rect.cy, height);
    EXPECT_EQ(dialog.point_size, 8);
    EXPECT_EQ(dialog.font, u"MS Shell Dlg");
}

void ExpectKind(const TemplateItem &item, Kind kind) {
    bool is_button = kind == Kind::GroupBox || kind == Kind::CheckBox || kind == Kind::RadioButton || kind == Kind::PushButton;
    if (is_button) {
        EXPECT_EQ(item.class_atom, kButtonClass);
        DWORD type = item.style & kButtonTypeMask;
        switch (kind) {
        case Kind::GroupBox: EXPECT_EQ(type, 7u); break;  // group box
        case Kind::CheckBox: EXPECT_EQ(type, 3u); break;     // automatic check box
        case Kind::RadioButton: EXPECT_EQ(type, 9u); break;  // automatic radio button
        default: EXPECT_EQ(type, 0u); break;                 // push button
        }
    } else if (kind == Kind::Label) {
        EXPECT_EQ(item.class_atom, kStaticClass);
    } else {
        EXPECT_TRUE(tm350::text::EqualsIgnoringCase(item.class_name, u"msctls_trackbar32"));
        EXPECT_EQ(item.style & kTrackbarVertical, 0u);
        EXPECT_NE(item.style & kTrackbarNoTicks, 0u);
        DWORD thumb = item.style & (kTrackbarTop | kTrackbarBoth);
        EXPECT_EQ(thumb, kind == Kind::PointedSlider ? kTrackbarTop : kTrackbarBoth);
        EXPECT_NE(item.style & kTabStop, 0u);
    }
}

void ExpectSetupPage(int template_id, bool chinese) {
    SCOPED_TRACE(template_id);
    auto dialog = ModuleTemplate(template_id);
    ASSERT_TRUE(dialog);
    ExpectPageHeader(*dialog, 261, chinese ? 301 : 310);
    ASSERT_EQ(dialog->items.size(), kSetupControls.size());
    for (size_t index = 0; index < kSetupControls.size(); ++index) {
        const Expected &expected = kSetupControls[index];
        const TemplateItem &item = dialog->items[index];
        SCOPED_TRACE(Narrow(expected.english));
        EXPECT_EQ(static_cast<int>(static_cast<short>(item.id)), expected.id);
        EXPECT_EQ(Narrow(item.text), Narrow(chinese ? expected.chinese : expected.english));
        EXPECT_EQ(item.rect, chinese && expected.chinese_rect ? *expected.chinese_rect : expected.rect);
        ExpectKind(item, expected.kind);
        EXPECT_NE(item.style & kChild, 0u);
        EXPECT_NE(item.style & kVisible, 0u);
        bool power_frequency = expected.id == IDC_50HZ || expected.id == IDC_60HZ ||
                               std::u16string(expected.english) == u"Power Frequency";
        EXPECT_EQ((item.style & kDisabled) != 0, power_frequency);
        if (expected.kind == Kind::RadioButton) {
            bool starts_group = expected.id == IDC_NORMAL_SPEED || expected.id == IDC_50HZ;
            EXPECT_EQ((item.style & kGroup) != 0, starts_group);
        }
    }
    // Each radio group ends where the next control starts a group.
    auto after = [&](int id) {
        for (size_t index = 0; index + 1 < dialog->items.size(); ++index) {
            if (static_cast<int>(dialog->items[index].id) == id) return dialog->items[index + 1].style;
        }
        return DWORD{0};
    };
    EXPECT_NE(after(IDC_HIGH_SPEED) & kGroup, 0u);
    EXPECT_NE(after(IDC_60HZ) & kGroup, 0u);
}

TEST(PageTemplates, SetupPageHoldsEveryControlInBothLanguages) {
    ExpectSetupPage(IDD_SETUP_PAGE, false);
    ExpectSetupPage(IDD_SETUP_PAGE_CHS, true);
}

TEST(PageTemplates, SizePageOffersOnlyTheFullSize) {
    for (int template_id : {IDD_SIZE_PAGE, IDD_SIZE_PAGE_CHS}) {
        SCOPED_TRACE(template_id);
        auto dialog = ModuleTemplate(template_id);
        ASSERT_TRUE(dialog);
        ExpectPageHeader(*dialog, 153, template_id == IDD_SIZE_PAGE ? 121 : 120);
        ASSERT_EQ(dialog->items.size(), 3u);
        const struct {
            int id;
            const char16_t *text;
            TemplateRect rect;
            bool visible;
        } expected[] = {
            {IDC_SIZE_1024X768, u"1024 * 768", {24, 24, 90, 10}, true},
            {IDC_SIZE_640X480, u"640 * 480", {24, 38, 90, 10}, false},
            {IDC_SIZE_320X240, u"320 * 240", {24, 54, 90, 10}, false},
        };
        for (size_t index = 0; index < 3; ++index) {
            const TemplateItem &item = dialog->items[index];
            EXPECT_EQ(item.id, static_cast<DWORD>(expected[index].id));
            EXPECT_EQ(item.text, expected[index].text);
            EXPECT_EQ(item.rect, expected[index].rect);
            ExpectKind(item, Kind::RadioButton);
            EXPECT_EQ((item.style & kVisible) != 0, expected[index].visible);
            EXPECT_EQ((item.style & kGroup) != 0, index == 0);
        }
    }
}

}  // namespace
}  // namespace resources_test
