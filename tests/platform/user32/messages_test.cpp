// Message queues: sending across threads, posting, the loop, timers, and
// the lifetime of windows.
#include "ui_thread.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace tm350::user32::testing {
namespace {

constexpr UINT kWhichThread = WM_APP + 1;
constexpr UINT kSendBack = WM_APP + 2;
constexpr UINT kRecord = WM_APP + 3;

std::atomic<DWORD> send_back_thread{0};
std::mutex recorded_mutex;
std::vector<std::pair<UINT, WPARAM>> recorded;

LRESULT CALLBACK TestProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case kWhichThread:
            return GetCurrentThreadId();
        case kSendBack:
            send_back_thread = GetCurrentThreadId();
            // Sends to a window of the thread that is waiting for this answer.
            return SendMessageW(reinterpret_cast<HWND>(wParam), kWhichThread, 0, 0) + 1;
        case kRecord:
        case WM_TIMER:
        case WM_DESTROY:
        case WM_NCDESTROY: {
            std::lock_guard<std::mutex> lock(recorded_mutex);
            recorded.emplace_back(message, message == kRecord || message == WM_TIMER ? wParam : reinterpret_cast<WPARAM>(window));
            return 0;
        }
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

HWND MakeWindow(HWND parent = nullptr) {
    WNDCLASSW description = {};
    description.lpfnWndProc = TestProcedure;
    description.lpszClassName = L"MessagesTestWindow";
    RegisterClassW(&description);
    return CreateWindowExW(0, L"MessagesTestWindow", L"", parent ? WS_CHILD : WS_POPUP, 0, 0, 10, 10, parent, nullptr,
                           nullptr, nullptr);
}

std::vector<std::pair<UINT, WPARAM>> TakeRecorded() {
    std::lock_guard<std::mutex> lock(recorded_mutex);
    return std::exchange(recorded, {});
}

TEST(SendingMessages, ToAnotherThreadsWindowRunsOnTheOwnerThreadWhileTheSenderWaits) {
    UiThread ui;
    const HWND window = ui.Get<HWND>([] { return MakeWindow(); });
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(static_cast<DWORD>(SendMessageW(window, kWhichThread, 0, 0)), ui.thread_id());
    ui.Run([&] { DestroyWindow(window); });
}

TEST(SendingMessages, IsHandledWhileTheOwnerWaitsInItsOwnSendMessage) {
    UiThread ui;
    const HWND mine = MakeWindow();
    const HWND theirs = ui.Get<HWND>([] { return MakeWindow(); });
    // Their procedure sends back to our window while we wait for it.
    const LRESULT answer = SendMessageW(theirs, kSendBack, reinterpret_cast<WPARAM>(mine), 0);
    EXPECT_EQ(send_back_thread.load(), ui.thread_id());
    EXPECT_EQ(static_cast<DWORD>(answer), GetCurrentThreadId() + 1);
    ui.Run([&] { DestroyWindow(theirs); });
    DestroyWindow(mine);
}

TEST(SendingMessages, ToAThreadThatEndsReturnsZero) {
    HWND window;
    {
        UiThread ui;
        window = ui.Get<HWND>([] { return MakeWindow(); });
    }
    // The thread's windows went with it.
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(SendMessageW(window, kWhichThread, 0, 0), 0);
}

TEST(MessageLoop, PostedMessagesArriveInOrderThenQuitEndsTheLoop) {
    TakeRecorded();
    const HWND window = MakeWindow();
    ASSERT_TRUE(PostMessageW(window, kRecord, 1, 0));
    ASSERT_TRUE(PostMessageW(window, kRecord, 2, 0));
    PostQuitMessage(7);
    MSG peeked;
    ASSERT_TRUE(PeekMessageW(&peeked, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(peeked.message, kRecord);
    MSG message;
    BOOL got;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) DispatchMessageW(&message);
    EXPECT_EQ(got, FALSE);
    EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(message.wParam, 7u);
    EXPECT_EQ(TakeRecorded(), (std::vector<std::pair<UINT, WPARAM>>{{kRecord, 1}, {kRecord, 2}}));
    EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
    DestroyWindow(window);
}

TEST(MessageLoop, AFilterLeavesOtherMessagesQueued) {
    const HWND window = MakeWindow();
    PostMessageW(window, kRecord, 1, 0);
    PostMessageW(window, WM_APP + 50, 2, 0);
    MSG message;
    ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_APP + 50, WM_APP + 50, PM_REMOVE));
    EXPECT_EQ(message.wParam, 2u);
    ASSERT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(message.message, kRecord);
    EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
    DestroyWindow(window);
}

TEST(Timers, AWindowTimerArrivesAsWmTimerAndStopsWhenKilled) {
    const HWND window = MakeWindow();
    ASSERT_EQ(SetTimer(window, 5, 10, nullptr), 5u);
    MSG message;
    ASSERT_GT(GetMessageW(&message, window, WM_TIMER, WM_TIMER), 0);
    EXPECT_EQ(message.hwnd, window);
    EXPECT_EQ(message.wParam, 5u);
    EXPECT_TRUE(KillTimer(window, 5));
    EXPECT_FALSE(KillTimer(window, 5));
    EXPECT_FALSE(PeekMessageW(&message, window, WM_TIMER, WM_TIMER, PM_REMOVE));
    DestroyWindow(window);
}

std::atomic<UINT_PTR> timer_procedure_saw{0};
VOID CALLBACK CountingTimerProcedure(HWND, UINT message, UINT_PTR id, DWORD) {
    if (message == WM_TIMER) timer_procedure_saw = id;
}

TEST(Timers, AThreadTimerWithAProcedureRunsItWhenDispatched) {
    const UINT_PTR id = SetTimer(nullptr, 0, 10, CountingTimerProcedure);
    ASSERT_NE(id, 0u);
    MSG message;
    ASSERT_GT(GetMessageW(&message, nullptr, WM_TIMER, WM_TIMER), 0);
    EXPECT_EQ(message.hwnd, nullptr);
    DispatchMessageW(&message);
    EXPECT_EQ(timer_procedure_saw.load(), id);
    EXPECT_TRUE(KillTimer(nullptr, id));
}

TEST(Windows, AnotherThreadMayNotDestroyAWindow) {
    UiThread ui;
    const HWND window = ui.Get<HWND>([] { return MakeWindow(); });
    SetLastError(0);
    EXPECT_FALSE(DestroyWindow(window));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(IsWindow(window));
    EXPECT_TRUE(ui.Get<BOOL>([&] { return DestroyWindow(window); }));
    EXPECT_FALSE(IsWindow(window));
}

TEST(Windows, DestroyTellsTheParentFirstAndFreesTheChildrenFirst) {
    TakeRecorded();
    const HWND parent = MakeWindow();
    const HWND child = MakeWindow(parent);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(GetParent(child), parent);
    EXPECT_EQ(GetWindow(parent, GW_CHILD), child);
    ASSERT_TRUE(DestroyWindow(parent));
    const auto p = reinterpret_cast<WPARAM>(parent), c = reinterpret_cast<WPARAM>(child);
    EXPECT_EQ(TakeRecorded(), (std::vector<std::pair<UINT, WPARAM>>{
                                  {WM_DESTROY, p}, {WM_DESTROY, c}, {WM_NCDESTROY, c}, {WM_NCDESTROY, p}}));
    EXPECT_FALSE(IsWindow(child));
}

TEST(Windows, ADestroyedWindowsHandleNamesNoNewWindow) {
    const HWND first = MakeWindow();
    DestroyWindow(first);
    const HWND second = MakeWindow();
    EXPECT_NE(first, second);
    EXPECT_FALSE(IsWindow(first));
    SetLastError(0);
    EXPECT_EQ(SendMessageW(first, kWhichThread, 0, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    DestroyWindow(second);
}

TEST(Windows, TheDesktopIsAScreenOf1920By1080WithTheTopLevelWindowsOnIt) {
    const HWND desktop = GetDesktopWindow();
    RECT screen;
    ASSERT_TRUE(GetWindowRect(desktop, &screen));
    EXPECT_EQ(screen.right - screen.left, 1920);
    EXPECT_EQ(screen.bottom - screen.top, 1080);
    const HWND window = MakeWindow();
    EXPECT_EQ(GetWindow(desktop, GW_CHILD), window);  // the newest is topmost
    EXPECT_FALSE(DestroyWindow(desktop));
    DestroyWindow(window);
}

TEST(Windows, AChildNeedsAParent) {
    SetLastError(0);
    EXPECT_EQ(CreateWindowExW(0, L"Static", L"", WS_CHILD, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TLW_WITH_WSCHILD));
    // The desktop window is a parent like any other.
    const HWND on_desktop = CreateWindowExW(0, L"Static", L"", WS_CHILD, 5, 6, 7, 8, GetDesktopWindow(), nullptr,
                                            nullptr, nullptr);
    ASSERT_NE(on_desktop, nullptr) << GetLastError();
    EXPECT_EQ(GetParent(on_desktop), GetDesktopWindow());
    RECT rect;
    ASSERT_TRUE(GetWindowRect(on_desktop, &rect));
    EXPECT_EQ(rect.left, 5);
    EXPECT_EQ(rect.bottom, 14);
    EXPECT_TRUE(DestroyWindow(on_desktop));
    EXPECT_EQ(CreateWindowExW(0, L"NoSuchClass", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
}

}  // namespace
}  // namespace tm350::user32::testing
