// A property frame on one object, on a thread of its own: the frame is
// modal and runs its own message loop until OK, Cancel or WM_CLOSE, so a
// program that wants two of them open at once, and to go on working
// itself, gives each its own thread.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <string>
#include <thread>
#include <vector>

namespace tm350::tool {

class PropertyFrameThread {
public:
    // Opens the frame on `object` with the pages its ISpecifyPropertyPages
    // names, captioned `caption`. The object is referenced until the frame
    // has closed.
    PropertyFrameThread(IUnknown *object, const std::u16string &caption);
    // Closes the frame if it is still open and waits for the thread.
    ~PropertyFrameThread();
    PropertyFrameThread(const PropertyFrameThread &) = delete;
    PropertyFrameThread &operator=(const PropertyFrameThread &) = delete;

    // Signalled once the frame has closed (or could not open).
    HANDLE Ended() const { return ended_; }
    bool HasEnded() const { return WaitForSingleObject(ended_, 0) == WAIT_OBJECT_0; }
    // What OleCreatePropertyFrame returned, once ended.
    HRESULT Result() const { return result_; }

    // The frame thread's top-level windows: the frame itself once it is up.
    std::vector<HWND> Windows() const;
    // Waits up to `timeout_ms` for the frame's window to appear; nullptr
    // when it did not (or the frame has closed).
    HWND WaitForFrameWindow(DWORD timeout_ms) const;

    // Posts WM_CLOSE (Cancel) to the frame until it has closed: a frame
    // still being made when the first one is posted gets another.
    void Close();

private:
    void Run(IUnknown *object, std::u16string caption);

    HANDLE ended_ = nullptr;
    HANDLE started_ = nullptr;
    DWORD thread_id_ = 0;  // set before started_ is signalled
    HRESULT result_ = E_PENDING;
    std::thread thread_;
};

}  // namespace tm350::tool
