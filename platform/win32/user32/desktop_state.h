// The window manager's state: every window, class and thread queue of the
// process, kept as data under one lock (the window manager's lock). Window
// procedures are never called with the lock held, so a procedure may call
// any window manager function, and another thread may take a view meanwhile.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace tm350::user32 {

using Clock = std::chrono::steady_clock;

struct WindowClass {
    std::u16string name;
    ATOM atom = 0;
    UINT style = 0;
    WNDPROC procedure = nullptr;
    int class_extra = 0;
    int window_extra = 0;
    HINSTANCE instance = nullptr;
    HBRUSH background = nullptr;
    bool system = false;  // registered by the window manager or comctl32 for every module
};

// What a dialog keeps beyond its window longs.
struct DialogState {
    int base_x = 8;  // dialog base units of the template's font
    int base_y = 16;
    bool ended = false;
    INT_PTR end_result = 0;
};

// The common controls keep their state in their own procedures; they
// describe what a screen shows of it here (see PublishTrackbarState).
struct TrackbarPicture {
    bool present = false;
    int range_min = 0;
    int range_max = 0;
    int position = 0;
    RECT thumb_client = {};
};
struct TabPicture {
    bool present = false;
    std::vector<std::u16string> tabs;
    int selected = -1;
};

struct Window {
    HWND handle = nullptr;
    HWND parent = nullptr;  // children only
    HWND owner = nullptr;   // top-level windows only
    DWORD thread = 0;
    std::shared_ptr<WindowClass> window_class;
    WNDPROC procedure = nullptr;
    LONG style = 0;
    LONG ex_style = 0;
    LONG_PTR id = 0;
    LONG_PTR user_data = 0;
    HINSTANCE instance = nullptr;
    std::u16string text;
    RECT rect = {};  // in the parent's client coordinates; screen coordinates for a top-level window
    std::vector<HWND> children;  // z-order, topmost first; dialogs' controls in template order
    std::vector<BYTE> extra;     // cbWndExtra bytes
    std::unique_ptr<DialogState> dialog;
    int check = BST_UNCHECKED;   // buttons
    bool pushed = false;         // buttons, while the mouse holds them
    TrackbarPicture trackbar;
    TabPicture tab;
    bool destroying = false;
};

struct SentMessage;

struct QueuedMessage {
    MSG message = {};
    uint64_t input_sequence = 0;  // nonzero for mouse input from the headless desktop
};

struct Timer {
    HWND window = nullptr;
    UINT_PTR id = 0;
    UINT elapse_ms = 0;
    TIMERPROC procedure = nullptr;
    Clock::time_point due;
};

// A thread's message queue, made on the thread's first window manager call.
struct ThreadQueue {
    DWORD thread = 0;
    bool alive = true;
    std::condition_variable changed;  // waits on the window manager's lock
    std::deque<std::shared_ptr<SentMessage>> incoming;  // sent by other threads
    std::deque<QueuedMessage> posted;
    std::deque<QueuedMessage> input;
    bool quit_posted = false;
    int quit_code = 0;
    std::vector<Timer> timers;
    HWND focus = nullptr;
    HWND active = nullptr;
    uint64_t input_in_hand = 0;  // the input message retrieved and not yet done with
    int sent_depth = 0;          // nesting of sent messages being handled (InSendMessage)
};

struct SentMessage {
    HWND window = nullptr;
    UINT message = 0;
    WPARAM wparam = 0;
    LPARAM lparam = 0;
    LRESULT result = 0;
    bool done = false;
    std::shared_ptr<ThreadQueue> sender;
};

class Desktop {
public:
    static Desktop &Instance();

    std::mutex mutex;  // the window manager's lock

    // All below guarded by `mutex`.
    Window *Find(HWND window);
    HWND NewHandle();
    std::unordered_map<HWND, std::unique_ptr<Window>> windows;
    std::vector<HWND> top_levels;  // topmost first
    std::vector<std::shared_ptr<WindowClass>> classes;
    ATOM next_atom = 0xC000;
    std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> queues;
    HWND capture = nullptr;
    POINT cursor = {};

    // The calling thread's queue, made on first use.
    std::shared_ptr<ThreadQueue> CurrentQueue();
    std::shared_ptr<ThreadQueue> QueueOf(DWORD thread);

    // Anything a view shows changed.
    void Changed();
    uint64_t generation = 0;
    std::condition_variable generation_changed;

    // Mouse input handed to threads and not yet handled by them.
    uint64_t next_input_sequence = 1;
    std::vector<std::pair<uint64_t, DWORD>> outstanding_input;  // sequence, receiving thread
    bool mouse_button_down = false;
    std::condition_variable input_handled;
    void InputDone(uint64_t sequence);

    // The next handle number; handles are never reused within a process.
    uintptr_t next_handle = 0x10010;
    HWND desktop_window = nullptr;  // made with the desktop, so reading it needs no lock

    // Window geometry, under the lock.
    POINT ClientOriginOnScreen(const Window &window);
    RECT ScreenRect(const Window &window);
    RECT ClientRect(const Window &window);
    bool VisibleOnScreen(const Window &window);
    bool EnabledWithAncestors(const Window &window);
    std::vector<HWND> &SiblingsOf(const Window &window);
    bool IsDescendant(HWND ancestor, HWND window);
};

using Lock = std::unique_lock<std::mutex>;

// The frame a window's style gives it around its client area, in pixels.
RECT NonClientInsets(LONG style, LONG ex_style);

// Rounded a * b / c, as MulDiv computes it.
int MultiplyDivide(int a, int b, int c);

// Calls a window procedure on this thread, outside the lock.
LRESULT CallProcedure(WNDPROC procedure, HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Handles one message sent by another thread, if any is waiting; the lock is
// released while the procedure runs. True when one was handled.
bool HandleOneSentMessage(Lock &lock, ThreadQueue &queue);

// Destroys every window of a thread that ends, without messages: its code
// is gone, as Windows does with the windows of a thread that exits.
void ForgetThreadWindows(Lock &lock, DWORD thread);

// The registered system class procedures.
LRESULT CALLBACK ButtonProcedure(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK StaticProcedure(HWND, UINT, WPARAM, LPARAM);
void RegisterSystemClasses(Desktop &desktop);

// Mouse input goes past windows that let it through to what lies beneath:
// statics without SS_NOTIFY and group boxes answer HTTRANSPARENT.
bool TransparentToMouse(const Window &window);

}  // namespace tm350::user32

namespace tm350::user32 {

// The class a window of `name` (a string or an atom) made with `instance`
// gets: the module's own class first, then a global or system one.
std::shared_ptr<WindowClass> FindClass(Desktop &desktop, LPCWSTR name, HINSTANCE instance);

}  // namespace tm350::user32

namespace tm350::user32 {

// The desktop window GetDesktopWindow names: the whole screen, owned by no
// thread, parent of no window as far as the tree is concerned.
constexpr LONG kScreenWidth = 1920;
constexpr LONG kScreenHeight = 1080;
HWND DesktopWindowHandle();

// Sends, through SendMessageW, the messages of a window's destruction and
// removes it with its children and owned windows.
void DestroyWindowTree(HWND window);

}  // namespace tm350::user32

namespace tm350::user32 {

// Timers of a queue (under the lock): the WM_TIMER of a due timer that
// passes the filter, made only when nothing else is waiting, as Windows
// does; and when the next one falls due.
bool TakeDueTimer(Desktop &desktop, ThreadQueue &queue, HWND filter, UINT first, UINT last, bool remove, MSG *message);
bool NextTimerDue(const ThreadQueue &queue, Clock::time_point *due);

// Whether a queued message passes GetMessage's window and range filters.
bool PassesFilter(Desktop &desktop, const MSG &message, HWND filter, UINT first, UINT last);

}  // namespace tm350::user32
