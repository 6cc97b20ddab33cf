// A thread with a message loop, as a program's UI thread is, that tests hand
// work to: Run waits for the work (it goes by SendMessage), Post does not.
#pragma once

#include <windows.h>

#include <functional>
#include <future>
#include <thread>

namespace tm350::user32::testing {

class UiThread {
public:
    UiThread();
    ~UiThread();
    UiThread(const UiThread &) = delete;
    UiThread &operator=(const UiThread &) = delete;

    void Run(const std::function<void()> &work);
    void Post(std::function<void()> work);
    template <typename T>
    T Get(const std::function<T()> &work) {
        T result{};
        Run([&] { result = work(); });
        return result;
    }

    DWORD thread_id() const { return thread_id_; }
    // The loop passes messages through IsDialogMessage for this dialog.
    void set_dialog(HWND dialog) {
        Run([&] { dialog_ = dialog; });
    }

private:
    static LRESULT CALLBACK HelperProcedure(HWND, UINT, WPARAM, LPARAM);
    void Loop(std::promise<void> *started);

    std::thread thread_;
    DWORD thread_id_ = 0;
    HWND helper_ = nullptr;
    HWND dialog_ = nullptr;
};

}  // namespace tm350::user32::testing
