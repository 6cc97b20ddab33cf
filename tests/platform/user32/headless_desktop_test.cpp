// The headless desktop: what views show, when they change, and input that
// waits for busy threads.
#include "template_builder.h"
#include "ui_thread.h"
#include "user32/headless_desktop.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <future>

namespace tm350::user32::testing {
namespace {

enum : int { kCaption = 1, kOption, kGo };

INT_PTR CALLBACK PlainProcedure(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

class HeadlessDesktop : public ::testing::Test {
protected:
    void SetUp() override {
        TemplateBuilder builder(DS_SETFONT | WS_POPUP | WS_CAPTION | WS_VISIBLE, 100, 100, 120, 60, u"Panel");
        builder.Item(WS_CHILD | WS_VISIBLE | SS_LEFT, 5, 5, 60, 8, kCaption, 0x82, u"", u"Exposure")
            .Item(WS_CHILD | WS_VISIBLE | WS_DISABLED | BS_AUTOCHECKBOX, 5, 20, 60, 10, kOption, 0x80, u"", u"Auto")
            .Item(WS_CHILD | BS_PUSHBUTTON, 5, 35, 40, 14, kGo, 0x80, u"", u"Go");
        const DLGTEMPLATE *dialog_template = builder.Template();
        dialog_ = ui_.Get<HWND>([&] { return CreateDialogIndirectParamW(nullptr, dialog_template, nullptr, PlainProcedure, 0); });
        ASSERT_NE(dialog_, nullptr);
    }
    void TearDown() override {
        ui_.Run([&] { DestroyWindow(dialog_); });
    }

    UiThread ui_;
    HWND dialog_ = nullptr;
};

TEST_F(HeadlessDesktop, AViewShowsTheTreeParentsFirstWithWhatAScreenWouldShow) {
    const auto tops = TopLevelWindows();
    EXPECT_NE(std::find(tops.begin(), tops.end(), dialog_), tops.end());
    const auto views = ViewWindowTree(dialog_);
    ASSERT_EQ(views.size(), 4u);
    EXPECT_EQ(views[0].window, dialog_);
    EXPECT_EQ(views[0].class_name, u"#32770");
    EXPECT_EQ(views[0].text, u"Panel");
    EXPECT_EQ(views[0].thread, ui_.thread_id());
    EXPECT_TRUE(views[0].visible);
    EXPECT_EQ(views[1].class_name, u"Static");
    EXPECT_EQ(views[1].text, u"Exposure");
    EXPECT_EQ(views[1].parent, dialog_);
    EXPECT_EQ(views[1].id, kCaption);
    EXPECT_EQ(views[2].class_name, u"Button");
    EXPECT_FALSE(views[2].enabled);
    EXPECT_TRUE(views[2].visible);
    EXPECT_EQ(views[3].text, u"Go");
    EXPECT_FALSE(views[3].visible);
    // Controls lie inside the dialog's client area on the screen.
    EXPECT_GT(views[1].rect.left, views[0].rect.left);
    EXPECT_GT(views[1].rect.top, views[0].rect.top + 23);
    EXPECT_TRUE(ViewWindowTree(reinterpret_cast<HWND>(0x2)).empty());
}

TEST_F(HeadlessDesktop, EveryVisibleChangeAdvancesTheGeneration) {
    const HWND caption = GetDlgItem(dialog_, kCaption);
    const HWND option = GetDlgItem(dialog_, kOption);
    const HWND go = GetDlgItem(dialog_, kGo);
    const std::vector<std::pair<const char *, std::function<void()>>> changes = {
        {"text", [&] { SetWindowTextW(caption, L"Gain"); }},
        {"check", [&] { SendMessageW(option, BM_SETCHECK, BST_CHECKED, 0); }},
        {"enable", [&] { EnableWindow(option, TRUE); }},
        {"show", [&] { ShowWindow(go, SW_SHOW); }},
        {"move", [&] { MoveWindow(go, 1, 2, 30, 20, TRUE); }},
    };
    for (const auto &[what, change] : changes) {
        const uint64_t seen = DesktopGeneration();
        ui_.Post(change);
        EXPECT_GT(WaitForDesktopChange(seen, 10000), seen) << what;
    }
    // Telling a window what it already is changes nothing.
    ui_.Run([&] { SetWindowTextW(caption, L"Gain"); });
    const uint64_t settled = DesktopGeneration();
    ui_.Run([&] { SetWindowTextW(caption, L"Gain"); });
    EXPECT_EQ(DesktopGeneration(), settled);
    const auto views = ViewWindowTree(dialog_);
    EXPECT_EQ(views[1].text, u"Gain");
    EXPECT_EQ(views[2].check, BST_CHECKED);
    EXPECT_TRUE(views[2].enabled);
    EXPECT_TRUE(views[3].visible);
}

TEST_F(HeadlessDesktop, InputWaitsForABusyThreadAndTheWaitTimesOut) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> busy;
    ui_.Post([&busy, released] {
        busy.set_value();
        released.wait();
    });
    busy.get_future().wait();
    RECT caption;
    GetWindowRect(GetDlgItem(dialog_, kCaption), &caption);
    ASSERT_TRUE(ClickAt({caption.left + 2, caption.top + 2}));
    EXPECT_FALSE(WaitForInputHandled(50));
    release.set_value();
    EXPECT_TRUE(WaitForInputHandled(10000));
}

TEST_F(HeadlessDesktop, AThreadWaitingForItsOwnInputIsToldSoAtOnce) {
    RECT panel;
    GetWindowRect(dialog_, &panel);
    const BOOL waited = ui_.Get<BOOL>([&] {
        ClickAt({panel.left + 10, panel.bottom - 5});
        return WaitForInputHandled(10000);
    });
    EXPECT_FALSE(waited);
    EXPECT_TRUE(WaitForInputHandled(10000));
}

TEST_F(HeadlessDesktop, InputOnTheBareDesktopIsDropped) {
    EXPECT_FALSE(SendMouseInput(MouseAction::Move, {1919, 1079}));
    EXPECT_TRUE(WaitForInputHandled(0));
}

}  // namespace
}  // namespace tm350::user32::testing
