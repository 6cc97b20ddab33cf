#include "tools/tm350/property_frames.h"

#include <ocidl.h>
#include <olectl.h>

#include "platform/win32/user32/headless_desktop.h"
#include "tools/tm350/dshow_client.h"

namespace tm350::tool {

PropertyFrameThread::PropertyFrameThread(IUnknown *object, const std::u16string &caption) {
    ended_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    started_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    object->AddRef();
    thread_ = std::thread(&PropertyFrameThread::Run, this, object, caption);
    WaitForSingleObject(started_, INFINITE);
}

PropertyFrameThread::~PropertyFrameThread() {
    Close();
    thread_.join();
    CloseHandle(ended_);
    CloseHandle(started_);
}

void PropertyFrameThread::Run(IUnknown *object, std::u16string caption) {
    thread_id_ = GetCurrentThreadId();
    SetEvent(started_);
    // A frame's windows belong to a single-threaded apartment, as on
    // Windows, where the pages' windows must be served by this thread.
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(hr)) {
        Ref<ISpecifyPropertyPages> specify;
        CAUUID pages = {0, nullptr};
        hr = object->QueryInterface(IID_ISpecifyPropertyPages, specify.ReceiveVoid());
        if (SUCCEEDED(hr)) hr = specify->GetPages(&pages);
        if (SUCCEEDED(hr)) {
            hr = OleCreatePropertyFrame(nullptr, 0, 0, reinterpret_cast<LPCOLESTR>(caption.c_str()), 1, &object,
                                        pages.cElems, pages.pElems, LOCALE_USER_DEFAULT, 0, nullptr);
        }
        if (pages.pElems != nullptr) CoTaskMemFree(pages.pElems);
        specify.Reset();
        CoUninitialize();
    }
    object->Release();
    result_ = hr;
    SetEvent(ended_);
}

std::vector<HWND> PropertyFrameThread::Windows() const {
    std::vector<HWND> windows;
    for (HWND top : user32::TopLevelWindows()) {
        std::vector<user32::WindowView> views = user32::ViewWindowTree(top);
        if (!views.empty() && views[0].thread == thread_id_) windows.push_back(top);
    }
    return windows;
}

HWND PropertyFrameThread::WaitForFrameWindow(DWORD timeout_ms) const {
    const DWORD started = GetTickCount();
    uint64_t generation = user32::DesktopGeneration();
    for (;;) {
        for (HWND top : user32::TopLevelWindows()) {
            std::vector<user32::WindowView> views = user32::ViewWindowTree(top);
            if (!views.empty() && views[0].thread == thread_id_ && views[0].visible) return top;
        }
        const DWORD waited = GetTickCount() - started;
        if (HasEnded() || waited >= timeout_ms) return nullptr;
        generation = user32::WaitForDesktopChange(generation, timeout_ms - waited);
    }
}

void PropertyFrameThread::Close() {
    // The frame's loop ends on WM_CLOSE as on Cancel; the posts are spaced by
    // waits on the frame's end, so a busy frame is given time to take one.
    while (!HasEnded()) {
        for (HWND window : Windows()) PostMessageW(window, WM_CLOSE, 0, 0);
        WaitForSingleObject(ended_, 250);
    }
}

}  // namespace tm350::tool
