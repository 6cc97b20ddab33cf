// The headless desktop, as tools and tests see it: what a screen would show
// of each window, and input given the way a user gives it. This is not part
// of the Win32 API; programs written for Windows never include it.
//
// Every call may be made from any thread. Views are consistent snapshots
// taken under the window manager's lock. Input is queued to the thread that
// owns the window under the point, as hardware input is, so the window's
// own code turns it into the notifications Windows would send.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tm350::user32 {

// One window as a screen would show it. Rectangles are in screen pixels.
struct WindowView {
    HWND window = nullptr;
    HWND parent = nullptr;      // null for a top-level window
    DWORD thread = 0;           // the owning thread's id
    std::u16string class_name;    // "#32770", "Button", "Static", "msctls_trackbar32", ...
    std::u16string text;          // caption or control text
    RECT rect = {};             // the window rectangle (GetWindowRect)
    LONG style = 0;             // GWL_STYLE
    LONG ex_style = 0;          // GWL_EXSTYLE
    int id = 0;                 // control identifier (GWLP_ID) of a child
    bool visible = false;       // WS_VISIBLE of the window and every ancestor
    bool enabled = false;       // not WS_DISABLED, nor any ancestor
    int check = 0;              // BST_UNCHECKED / BST_CHECKED of check boxes and radio buttons
    int range_min = 0;          // trackbars: range and thumb position
    int range_max = 0;
    int position = 0;
    RECT thumb = {};            // trackbars: the thumb's rectangle in screen pixels
    std::vector<std::u16string> tabs;  // tab controls: item texts
    int selected_tab = -1;           // tab controls: the selected item
};

// The process's top-level windows, topmost first.
std::vector<HWND> TopLevelWindows();

// `root` and all its descendants, parents before children, siblings in
// z-order (the order a dialog created them). Empty when `root` is no window.
std::vector<WindowView> ViewWindowTree(HWND root);

// A number that grows whenever anything a view shows changes (a window made,
// moved, shown, destroyed, its text, check, range or position changed).
uint64_t DesktopGeneration();

// Waits until DesktopGeneration() exceeds `seen` or `timeout_ms` passes;
// returns the generation then.
uint64_t WaitForDesktopChange(uint64_t seen, DWORD timeout_ms);

enum class MouseAction { Down, Move, Up };

// Left-button input at a screen point. The window under the point (or the
// window that captured the mouse) gets the mouse message on its own thread.
// Returns FALSE when no visible window is under the point and none holds the
// capture: the input is dropped, as a click on the bare desktop would be.
BOOL SendMouseInput(MouseAction action, POINT screen_point);

// Down then up at the point.
BOOL ClickAt(POINT screen_point);

// Waits until every input queued so far has been handled by the threads it
// went to (their message loops have dispatched it and gone idle or are busy
// with later messages), or `timeout_ms` passes. FALSE on timeout, and FALSE
// at once when called on a thread that has input of its own outstanding
// (it would wait for itself; it does not pump).
BOOL WaitForInputHandled(DWORD timeout_ms);

// Controls whose state lives in their own window procedure (the common
// controls, built on the public window API) describe what a screen shows of
// it after each change, so that views stay consistent snapshots. The thumb
// is in the control's client coordinates. Each call that changes something
// advances the generation.
void PublishTrackbarState(HWND trackbar, int range_min, int range_max, int position, RECT thumb_client);
void PublishTabState(HWND tab_control, const std::vector<std::u16string> &tabs, int selected_tab);

}  // namespace tm350::user32
