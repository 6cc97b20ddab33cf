// Dialogs made from a module's RT_DIALOG resources.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include "resources/resource.h"

namespace tm350::user32::testing {
namespace {

INT_PTR CALLBACK QuietProcedure(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

TEST(DialogFromResource, IsTheModulesTemplateWithItsControls) {
    const INITCOMMONCONTROLSEX controls = {sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES};
    ASSERT_TRUE(InitCommonControlsEx(&controls));
    const HMODULE module = GetModuleHandleW(nullptr);
    // A page is a child dialog: it needs the frame it goes into.
    const HWND frame = CreateWindowExW(0, L"#32770", L"Frame", WS_POPUP, 0, 0, 400, 300, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(CreateDialogParamW(module, MAKEINTRESOURCEW(IDD_SIZE_PAGE), nullptr, QuietProcedure, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TLW_WITH_WSCHILD));
    const HWND dialog = CreateDialogParamW(module, MAKEINTRESOURCEW(IDD_SIZE_PAGE), frame, QuietProcedure, 0);
    ASSERT_NE(dialog, nullptr) << GetLastError();
    EXPECT_NE(GetWindow(dialog, GW_CHILD), nullptr);
    // The same template by its ANSI name form.
    const HWND again = CreateDialogParamA(module, MAKEINTRESOURCEA(IDD_SIZE_PAGE), frame, QuietProcedure, 0);
    ASSERT_NE(again, nullptr);
    RECT first, second;
    GetClientRect(dialog, &first);
    GetClientRect(again, &second);
    EXPECT_EQ(first.right, second.right);
    EXPECT_EQ(first.bottom, second.bottom);
    EXPECT_GT(first.right, 0);
    EXPECT_EQ(GetParent(dialog), frame);
    DestroyWindow(frame);
    EXPECT_FALSE(IsWindow(dialog));
}

TEST(DialogFromResource, AnUnknownTemplateMakesNoDialog) {
    SetLastError(0);
    EXPECT_EQ(CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(999), nullptr, QuietProcedure, 0), nullptr);
    EXPECT_NE(GetLastError(), 0u);
}

}  // namespace
}  // namespace tm350::user32::testing
