// Buttons and trackbars driven by the mouse, as a user drives them, on a
// dialog that runs on its own UI thread.
#include "template_builder.h"
#include "ui_thread.h"
#include "user32/headless_desktop.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <future>
#include <mutex>
#include <tuple>
#include <vector>

namespace tm350::user32::testing {
namespace {

enum : int { kRadioLow = 10, kRadioMiddle, kRadioHigh, kMirror, kLocked, kApply, kSlider };

// What the dialog's parent heard: message, code, position and the sender.
using Notification = std::tuple<UINT, int, int, HWND>;
std::mutex heard_mutex;
std::vector<Notification> heard;

std::vector<Notification> TakeHeard() {
    std::lock_guard<std::mutex> lock(heard_mutex);
    return std::exchange(heard, {});
}

INT_PTR CALLBACK ListeningProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) return TRUE;
    if (message == WM_COMMAND || message == WM_HSCROLL) {
        std::lock_guard<std::mutex> lock(heard_mutex);
        if (message == WM_COMMAND) {
            heard.emplace_back(message, HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam));
        } else {
            heard.emplace_back(message, LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
        }
        return TRUE;
    }
    return FALSE;
}

class ControlsOnADialog : public ::testing::Test {
protected:
    void SetUp() override {
        TakeHeard();
        const INITCOMMONCONTROLSEX controls = {sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES};
        ASSERT_TRUE(InitCommonControlsEx(&controls));
        TemplateBuilder builder(DS_SETFONT | WS_POPUP | WS_VISIBLE, 0, 0, 200, 120, u"Controls");
        const DWORD child = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
        builder.Item(child | WS_GROUP | BS_AUTORADIOBUTTON, 10, 10, 50, 10, kRadioLow, 0x80, u"", u"Low")
            .Item(child | BS_AUTORADIOBUTTON, 10, 22, 50, 10, kRadioMiddle, 0x80, u"", u"Middle")
            .Item(child | BS_AUTORADIOBUTTON, 10, 34, 50, 10, kRadioHigh, 0x80, u"", u"High")
            .Item(child | WS_GROUP | BS_AUTOCHECKBOX, 80, 10, 50, 10, kMirror, 0x80, u"", u"Mirror")
            .Item(child | WS_DISABLED | BS_AUTOCHECKBOX, 80, 22, 50, 10, kLocked, 0x80, u"", u"Locked")
            .Item(child | BS_PUSHBUTTON, 80, 40, 50, 14, kApply, 0x80, u"", u"Apply")
            // 100 units are 150 pixels: a channel of 134 less an 11-pixel thumb, so
            // with a range of 0..123 each pixel is one position.
            .Item(child | TBS_HORZ | TBS_NOTICKS, 10, 70, 100, 15, kSlider, 0, u"msctls_trackbar32", u"");
        const DLGTEMPLATE *dialog_template = builder.Template();
        dialog_ = ui_.Get<HWND>([&] {
            return CreateDialogIndirectParamW(nullptr, dialog_template, nullptr, ListeningProcedure, 0);
        });
        ASSERT_NE(dialog_, nullptr);
        ui_.set_dialog(dialog_);
    }
    void TearDown() override {
        ui_.Run([&] { DestroyWindow(dialog_); });
    }

    HWND Item(int id) { return GetDlgItem(dialog_, id); }
    POINT CentreOf(int id) {
        RECT rect;
        GetWindowRect(Item(id), &rect);
        return {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
    }
    WindowView ViewOf(int id) {
        for (const auto &view : ViewWindowTree(dialog_)) {
            if (view.id == id && view.parent == dialog_) return view;
        }
        return {};
    }
    void Click(int id) {
        ASSERT_TRUE(ClickAt(CentreOf(id)));
        ASSERT_TRUE(WaitForInputHandled(10000));
    }
    void Mouse(MouseAction action, POINT point) {
        ASSERT_TRUE(SendMouseInput(action, point));
        ASSERT_TRUE(WaitForInputHandled(10000));
    }

    UiThread ui_;
    HWND dialog_ = nullptr;
};

TEST_F(ControlsOnADialog, AnAutomaticRadioButtonChecksItselfAndUnchecksTheRestOfItsGroup) {
    ASSERT_TRUE(CheckRadioButton(dialog_, kRadioLow, kRadioHigh, kRadioLow));
    CheckDlgButton(dialog_, kMirror, BST_CHECKED);
    Click(kRadioMiddle);
    EXPECT_EQ(IsDlgButtonChecked(dialog_, kRadioLow), static_cast<UINT>(BST_UNCHECKED));
    EXPECT_EQ(IsDlgButtonChecked(dialog_, kRadioMiddle), static_cast<UINT>(BST_CHECKED));
    // The check box starts the next group.
    EXPECT_EQ(IsDlgButtonChecked(dialog_, kMirror), static_cast<UINT>(BST_CHECKED));
    Click(kRadioHigh);
    EXPECT_EQ(IsDlgButtonChecked(dialog_, kRadioMiddle), static_cast<UINT>(BST_UNCHECKED));
    EXPECT_EQ(ViewOf(kRadioHigh).check, BST_CHECKED);
    EXPECT_EQ(TakeHeard(), (std::vector<Notification>{{WM_COMMAND, BN_CLICKED, kRadioMiddle, Item(kRadioMiddle)},
                                                      {WM_COMMAND, BN_CLICKED, kRadioHigh, Item(kRadioHigh)}}));
}

TEST_F(ControlsOnADialog, AnAutomaticCheckBoxFlipsOnEachClickBeforeItTellsItsParent) {
    Click(kMirror);
    EXPECT_EQ(IsDlgButtonChecked(dialog_, kMirror), static_cast<UINT>(BST_CHECKED));
    Click(kMirror);
    EXPECT_EQ(IsDlgButtonChecked(dialog_, kMirror), static_cast<UINT>(BST_UNCHECKED));
    EXPECT_EQ(TakeHeard().size(), 2u);
}

TEST_F(ControlsOnADialog, DisabledControlsAndControlsOfADisabledDialogHearNoClicks) {
    Click(kLocked);
    EXPECT_EQ(IsDlgButtonChecked(dialog_, kLocked), static_cast<UINT>(BST_UNCHECKED));
    EXPECT_FALSE(ViewOf(kLocked).enabled);
    ui_.Run([&] { EnableWindow(dialog_, FALSE); });
    EXPECT_FALSE(ViewOf(kMirror).enabled);
    Click(kMirror);
    EXPECT_EQ(IsDlgButtonChecked(dialog_, kMirror), static_cast<UINT>(BST_UNCHECKED));
    EXPECT_TRUE(TakeHeard().empty());
}

TEST_F(ControlsOnADialog, APressReleasedOutsideTheButtonIsNoClick) {
    Mouse(MouseAction::Down, CentreOf(kApply));
    POINT outside = CentreOf(kApply);
    outside.x += 200;
    Mouse(MouseAction::Move, outside);
    Mouse(MouseAction::Up, outside);
    EXPECT_TRUE(TakeHeard().empty());
    Click(kApply);
    EXPECT_EQ(TakeHeard(), (std::vector<Notification>{{WM_COMMAND, BN_CLICKED, kApply, Item(kApply)}}));
}

TEST_F(ControlsOnADialog, TabMovesTheFocusToTheNextEnabledTabStop) {
    const auto press_tab = [&] {
        std::promise<void> handled;
        ui_.Run([&] { PostMessageW(GetFocus(), WM_KEYDOWN, VK_TAB, 0); });
        // Posted after the key, so done once the loop has taken the key.
        ui_.Post([&] { handled.set_value(); });
        handled.get_future().wait();
        return ui_.Get<HWND>([] { return GetFocus(); });
    };
    EXPECT_EQ(ui_.Get<HWND>([] { return GetFocus(); }), Item(kRadioLow));
    EXPECT_EQ(press_tab(), Item(kRadioMiddle));
    ui_.Run([&] { SetFocus(Item(kMirror)); });
    // The disabled check box is passed over.
    EXPECT_EQ(press_tab(), Item(kApply));
}

TEST_F(ControlsOnADialog, ATrackbarKeepsItsPositionWithinItsRange) {
    const HWND slider = Item(kSlider);
    SendMessageW(slider, TBM_SETRANGEMIN, FALSE, 10);
    SendMessageW(slider, TBM_SETRANGEMAX, TRUE, 90);
    SendMessageW(slider, TBM_SETPOS, TRUE, 150);
    EXPECT_EQ(SendMessageW(slider, TBM_GETPOS, 0, 0), 90);
    SendMessageW(slider, TBM_SETPOS, TRUE, -5);
    EXPECT_EQ(SendMessageW(slider, TBM_GETPOS, 0, 0), 10);
    SendMessageW(slider, TBM_SETPOS, TRUE, 80);
    SendMessageW(slider, TBM_SETRANGE, TRUE, MAKELPARAM(0, 50));
    EXPECT_EQ(SendMessageW(slider, TBM_GETRANGEMIN, 0, 0), 0);
    EXPECT_EQ(SendMessageW(slider, TBM_GETRANGEMAX, 0, 0), 50);
    EXPECT_EQ(SendMessageW(slider, TBM_GETPOS, 0, 0), 50);
    const WindowView view = ViewOf(kSlider);
    EXPECT_EQ(view.range_max, 50);
    EXPECT_EQ(view.position, 50);
    // Setting the position by message tells nobody.
    EXPECT_TRUE(TakeHeard().empty());
}

TEST_F(ControlsOnADialog, DraggingTheThumbTracksThenSettlesThePosition) {
    const HWND slider = Item(kSlider);
    SendMessageW(slider, TBM_SETRANGE, TRUE, MAKELPARAM(0, 123));
    SendMessageW(slider, TBM_SETPOS, TRUE, 0);
    const RECT thumb = ViewOf(kSlider).thumb;
    const POINT grip = {(thumb.left + thumb.right) / 2, (thumb.top + thumb.bottom) / 2};
    Mouse(MouseAction::Down, grip);
    Mouse(MouseAction::Move, {grip.x + 40, grip.y});
    // Off the control, the captured drag goes on, up to the end of the range.
    Mouse(MouseAction::Move, {grip.x + 500, grip.y + 100});
    Mouse(MouseAction::Move, {grip.x + 100, grip.y});
    Mouse(MouseAction::Up, {grip.x + 100, grip.y});
    EXPECT_EQ(SendMessageW(slider, TBM_GETPOS, 0, 0), 100);
    EXPECT_EQ(TakeHeard(), (std::vector<Notification>{{WM_HSCROLL, TB_THUMBTRACK, 40, slider},
                                                      {WM_HSCROLL, TB_THUMBTRACK, 123, slider},
                                                      {WM_HSCROLL, TB_THUMBTRACK, 100, slider},
                                                      {WM_HSCROLL, TB_THUMBPOSITION, 100, slider},
                                                      {WM_HSCROLL, TB_ENDTRACK, 0, slider}}));
    const RECT moved = ViewOf(kSlider).thumb;
    EXPECT_EQ(moved.left, thumb.left + 100);
}

TEST_F(ControlsOnADialog, PressingTheChannelBesideTheThumbPagesTowardsThePress) {
    const HWND slider = Item(kSlider);
    SendMessageW(slider, TBM_SETRANGE, TRUE, MAKELPARAM(0, 123));
    SendMessageW(slider, TBM_SETPOS, TRUE, 50);
    SendMessageW(slider, TBM_SETPAGESIZE, 0, 10);
    const RECT thumb = ViewOf(kSlider).thumb;
    const LONG middle = (thumb.top + thumb.bottom) / 2;
    Mouse(MouseAction::Down, {thumb.right + 20, middle});
    Mouse(MouseAction::Up, {thumb.right + 20, middle});
    Mouse(MouseAction::Down, {thumb.left - 20, middle});
    Mouse(MouseAction::Up, {thumb.left - 20, middle});
    Mouse(MouseAction::Down, {thumb.left - 20, middle});
    Mouse(MouseAction::Up, {thumb.left - 20, middle});
    EXPECT_EQ(SendMessageW(slider, TBM_GETPOS, 0, 0), 40);
    EXPECT_EQ(TakeHeard(), (std::vector<Notification>{{WM_HSCROLL, TB_PAGEDOWN, 0, slider},
                                                      {WM_HSCROLL, TB_ENDTRACK, 0, slider},
                                                      {WM_HSCROLL, TB_PAGEUP, 0, slider},
                                                      {WM_HSCROLL, TB_ENDTRACK, 0, slider},
                                                      {WM_HSCROLL, TB_PAGEUP, 0, slider},
                                                      {WM_HSCROLL, TB_ENDTRACK, 0, slider}}));
}

}  // namespace
}  // namespace tm350::user32::testing
