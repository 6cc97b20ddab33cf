#include "ui_thread.h"

namespace tm350::user32::testing {
namespace {

constexpr UINT kRun = WM_APP + 0x100;
constexpr UINT kPosted = WM_APP + 0x101;
constexpr UINT kStop = WM_APP + 0x102;

}  // namespace

LRESULT CALLBACK UiThread::HelperProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case kRun:
            (*reinterpret_cast<const std::function<void()> *>(lParam))();
            return 0;
        case kPosted: {
            auto *work = reinterpret_cast<std::function<void()> *>(lParam);
            (*work)();
            delete work;
            return 0;
        }
        case kStop:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

UiThread::UiThread() {
    std::promise<void> started;
    auto ready = started.get_future();
    thread_ = std::thread([this, &started] { Loop(&started); });
    ready.wait();
}

UiThread::~UiThread() {
    PostMessageW(helper_, kStop, 0, 0);
    thread_.join();
}

void UiThread::Loop(std::promise<void> *started) {
    WNDCLASSW helper_class = {};
    helper_class.lpfnWndProc = HelperProcedure;
    helper_class.lpszClassName = L"TestUiThreadHelper";
    RegisterClassW(&helper_class);  // the first UiThread of the process registers it
    helper_ = CreateWindowExW(0, L"TestUiThreadHelper", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    thread_id_ = GetCurrentThreadId();
    started->set_value();
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (dialog_ != nullptr && IsWindow(dialog_) && IsDialogMessageW(dialog_, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    DestroyWindow(helper_);
}

void UiThread::Run(const std::function<void()> &work) {
    SendMessageW(helper_, kRun, 0, reinterpret_cast<LPARAM>(&work));
}

void UiThread::Post(std::function<void()> work) {
    PostMessageW(helper_, kPosted, 0, reinterpret_cast<LPARAM>(new std::function<void()>(std::move(work))));
}

}  // namespace tm350::user32::testing
