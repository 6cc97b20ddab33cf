// Dialogs from templates: geometry from dialog units, controls, the dialog
// procedure's rules.
#include "template_builder.h"
#include "user32/dialog_template.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

namespace tm350::user32::testing {
namespace {

constexpr UINT kAnswerByResult = WM_APP + 1;
constexpr UINT kLeaveToDefault = WM_APP + 2;
constexpr UINT kAnswerTrueOnly = WM_APP + 3;
constexpr int kGainLabel = 100;
constexpr int kGainSlider = 101;

INT_PTR CALLBACK SettingsProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            return TRUE;
        case kAnswerByResult:
            SetWindowLongPtrW(dialog, DWLP_MSGRESULT, 1234);
            return TRUE;
        case kAnswerTrueOnly:
            return TRUE;
        case WM_STYLECHANGING:
            if (wParam == static_cast<WPARAM>(GWL_STYLE)) {
                reinterpret_cast<STYLESTRUCT *>(lParam)->styleNew |= WS_CLIPCHILDREN;
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

TemplateBuilder SettingsTemplate(bool extended = false) {
    // As a program does before it makes a dialog with common controls.
    const INITCOMMONCONTROLSEX controls = {sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES};
    EXPECT_TRUE(InitCommonControlsEx(&controls));
    TemplateBuilder builder(DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU, 10, 20, 200, 100,
                            u"Settings", 8, u"MS Shell Dlg", extended);
    builder.Item(WS_CHILD | WS_VISIBLE | SS_LEFT, 7, 7, 40, 8, kGainLabel, 0x82, u"", u"Gain:")
        .Item(WS_CHILD | WS_VISIBLE | WS_TABSTOP | TBS_HORZ | TBS_NOTICKS, 50, 5, 100, 15, kGainSlider, 0, u"msctls_trackbar32", u"")
        .Item(WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 143, 79, 50, 14, IDOK, 0x80, u"", u"OK");
    return builder;
}

RECT WindowRect(HWND window) {
    RECT rect = {};
    GetWindowRect(window, &rect);
    return rect;
}

void ExpectRect(const RECT &rect, LONG left, LONG top, LONG right, LONG bottom) {
    EXPECT_EQ(rect.left, left);
    EXPECT_EQ(rect.top, top);
    EXPECT_EQ(rect.right, right);
    EXPECT_EQ(rect.bottom, bottom);
}

// "MS Shell Dlg" 8 pt gives base units of 6 by 13 pixels: x * 6 / 4 and
// y * 13 / 8, rounded. The dialog's frame is 3 pixels and its caption 23.
TEST(DialogFromTemplate, PlacesTheDialogAndItsControlsInPixelsFromDialogUnits) {
    auto builder = SettingsTemplate();
    const HWND dialog = CreateDialogIndirectParamW(nullptr, builder.Template(), nullptr, SettingsProcedure, 0);
    ASSERT_NE(dialog, nullptr);
    ExpectRect(WindowRect(dialog), 15, 33, 15 + 300 + 6, 33 + 163 + 26 + 3);
    RECT client;
    GetClientRect(dialog, &client);
    ExpectRect(client, 0, 0, 300, 163);
    // The client area starts at (18, 59) on the screen.
    ExpectRect(WindowRect(GetDlgItem(dialog, IDOK)), 18 + 215, 59 + 128, 18 + 215 + 75, 59 + 128 + 23);
    ExpectRect(WindowRect(GetDlgItem(dialog, kGainSlider)), 18 + 75, 59 + 8, 18 + 75 + 150, 59 + 8 + 24);
    RECT units = {0, 0, 4, 8};
    ASSERT_TRUE(MapDialogRect(dialog, &units));
    ExpectRect(units, 0, 0, 6, 13);
    DestroyWindow(dialog);
}

TEST(DialogFromTemplate, MakesEachControlAChildWithItsIdentifierClassAndText) {
    for (const bool extended : {false, true}) {
        auto builder = SettingsTemplate(extended);
        const HWND dialog = CreateDialogIndirectParamW(nullptr, builder.Template(), nullptr, SettingsProcedure, 0);
        ASSERT_NE(dialog, nullptr) << "extended " << extended;
        WCHAR text[32];
        GetWindowTextW(dialog, text, 32);
        EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(text)), u"Settings");
        const HWND label = GetWindow(dialog, GW_CHILD);
        EXPECT_EQ(GetDlgCtrlID(label), kGainLabel);
        EXPECT_TRUE(GetWindowLongW(label, GWL_STYLE) & WS_CHILD);
        GetWindowTextW(label, text, 32);
        EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(text)), u"Gain:");
        const HWND slider = GetWindow(label, GW_HWNDNEXT);
        EXPECT_EQ(GetDlgCtrlID(slider), kGainSlider);
        GetClassNameW(slider, text, 32);
        EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(text)), u"msctls_trackbar32");
        EXPECT_EQ(GetWindow(slider, GW_HWNDNEXT), GetDlgItem(dialog, IDOK));
        GetClassNameW(GetDlgItem(dialog, IDOK), text, 32);
        EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(text)), u"Button");
        DestroyWindow(dialog);
    }
}

TEST(DialogProcedure, GetsTheCreationParameterAndTheFocusGoesToTheFirstTabStop) {
    auto builder = SettingsTemplate();
    const HWND dialog = CreateDialogIndirectParamW(nullptr, builder.Template(), nullptr, SettingsProcedure, 0x5EED);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(GetWindowLongPtrW(dialog, DWLP_USER), 0x5EED);
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, kGainSlider));
    DestroyWindow(dialog);
}

TEST(DialogProcedure, AnswersThroughDwlpMsgResultOrLeavesTheMessageToTheDefault) {
    auto builder = SettingsTemplate();
    const HWND dialog = CreateDialogIndirectParamW(nullptr, builder.Template(), nullptr, SettingsProcedure, 0);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(SendMessageW(dialog, kAnswerByResult, 0, 0), 1234);
    EXPECT_EQ(SendMessageW(dialog, kLeaveToDefault, 0, 0), 0);
    // The result is reset before each message: an answer without one is not the last one.
    EXPECT_EQ(SendMessageW(dialog, kAnswerByResult, 0, 0), 1234);
    EXPECT_EQ(SendMessageW(dialog, kAnswerTrueOnly, 0, 0), 0);
    DestroyWindow(dialog);
}

TEST(DialogProcedure, MayAmendAStyleChange) {
    auto builder = SettingsTemplate();
    const HWND dialog = CreateDialogIndirectParamW(nullptr, builder.Template(), nullptr, SettingsProcedure, 0);
    ASSERT_NE(dialog, nullptr);
    const LONG before = GetWindowLongW(dialog, GWL_STYLE);
    ASSERT_FALSE(before & WS_CLIPCHILDREN);
    EXPECT_EQ(SetWindowLongW(dialog, GWL_STYLE, before & ~WS_SYSMENU), before);
    const LONG after = GetWindowLongW(dialog, GWL_STYLE);
    EXPECT_FALSE(after & WS_SYSMENU);
    EXPECT_TRUE(after & WS_CLIPCHILDREN);
    DestroyWindow(dialog);
}

TEST(DialogFromTemplate, FailsWholeWhenAControlClassIsUnknown) {
    TemplateBuilder builder(DS_SETFONT | WS_POPUP, 0, 0, 50, 50, u"", 8, u"MS Shell Dlg");
    builder.Item(WS_CHILD, 0, 0, 10, 10, 1, 0x80, u"", u"Fine").Item(WS_CHILD, 0, 0, 10, 10, 2, 0, u"NoSuchControl", u"");
    const size_t windows_before = [] {
        size_t count = 0;
        EnumChildWindows(nullptr, [](HWND, LPARAM counter) { return ++*reinterpret_cast<size_t *>(counter), TRUE; },
                         reinterpret_cast<LPARAM>(&count));
        return count;
    }();
    EXPECT_EQ(CreateDialogIndirectParamW(nullptr, builder.Template(), nullptr, SettingsProcedure, 0), nullptr);
    size_t windows_after = 0;
    EnumChildWindows(nullptr, [](HWND, LPARAM counter) { return ++*reinterpret_cast<size_t *>(counter), TRUE; },
                     reinterpret_cast<LPARAM>(&windows_after));
    EXPECT_EQ(windows_after, windows_before);
}

TEST(DialogTemplateReader, RefusesATemplateThatRunsPastItsEnd) {
    auto builder = SettingsTemplate();
    const DLGTEMPLATE *whole = builder.Template();
    ASSERT_TRUE(ReadDialogTemplate(whole, builder.size()).has_value());
    for (size_t cut : {size_t{2}, size_t{20}, builder.size() / 2, builder.size() - 2}) {
        EXPECT_FALSE(ReadDialogTemplate(whole, cut).has_value()) << "cut at " << cut;
    }
}

}  // namespace
}  // namespace tm350::user32::testing
