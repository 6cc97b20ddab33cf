// The trackbar: a thumb on a channel standing for a position within a range.
//
// The mouse drags the thumb (WM_HSCROLL, or WM_VSCROLL for TBS_VERT, with
// TB_THUMBTRACK and the position on each move, TB_THUMBPOSITION and then
// TB_ENDTRACK on release) or, pressed on the channel beside the thumb, pages
// towards the press (TB_PAGEUP or TB_PAGEDOWN, then TB_ENDTRACK on release).
// The arrow keys move by the line size. Every notification carries the
// trackbar's window in lParam. Setting the position or range by message
// notifies nobody.
#include "comctl32/trackbar.h"

#include <commctrl.h>

#include "user32/headless_desktop.h"

#include <algorithm>

namespace tm350::comctl32 {
namespace {

// The channel is inset 8 pixels at each end; the thumb is 11 pixels along
// it and up to 21 across; the thumb's leading edge moves over the channel's
// length less the thumb's, in proportion to the position within the range.
constexpr int kChannelInset = 8;
constexpr int kThumbAlong = 11;
constexpr int kThumbAcross = 21;

struct TrackbarGeometry {
    RECT channel;
    RECT thumb;
};

struct Trackbar {
    int range_min = 0;
    int range_max = 100;
    int position = 0;
    int page_size = 0;       // 0: a fifth of the range
    int line_size = 1;
    int thumb_length = kThumbAcross;
    bool dragging = false;
    bool paging = false;
    int grab_offset = 0;     // from the thumb's centre to the press, along the channel
};

bool Vertical(LONG style) { return (style & TBS_VERT) != 0; }

Trackbar *StateOf(HWND window) { return reinterpret_cast<Trackbar *>(GetWindowLongPtrW(window, 0)); }

int Clamp(const Trackbar &bar, int position) {
    return std::max(bar.range_min, std::min(position, bar.range_max));
}

int PageSize(const Trackbar &bar) {
    return bar.page_size > 0 ? bar.page_size : std::max(1, (bar.range_max - bar.range_min) / 5);
}

// The geometry as if horizontal: `along` is x, `across` is y.
TrackbarGeometry HorizontalGeometry(int length, int breadth, int thumb_across, int range_min, int range_max,
                                    int position) {
    TrackbarGeometry geometry;
    const int across = std::min(thumb_across, breadth);
    const int top = std::max(0, (breadth - across) / 2);
    const int middle = top + across / 2;
    geometry.channel = {kChannelInset, middle - 2, std::max(kChannelInset, length - kChannelInset), middle + 2};
    const int usable = (geometry.channel.right - geometry.channel.left) - kThumbAlong;
    int left = geometry.channel.left;
    if (usable > 0 && range_max > range_min) {
        left += static_cast<int>((static_cast<long long>(position - range_min) * usable + (range_max - range_min) / 2) /
                                 (range_max - range_min));
    }
    geometry.thumb = {left, top, left + kThumbAlong, top + across};
    return geometry;
}

RECT Transposed(RECT rect) { return {rect.top, rect.left, rect.bottom, rect.right}; }

TrackbarGeometry Geometry(HWND window, const Trackbar &bar) {
    RECT client;
    GetClientRect(window, &client);
    const LONG style = GetWindowLongW(window, GWL_STYLE);
    const bool vertical = Vertical(style);
    const int length = vertical ? client.bottom : client.right;
    const int breadth = vertical ? client.right : client.bottom;
    TrackbarGeometry made = HorizontalGeometry(length, breadth, bar.thumb_length, bar.range_min, bar.range_max, bar.position);
    if (vertical) made = {Transposed(made.channel), Transposed(made.thumb)};
    return made;
}

void Publish(HWND window, const Trackbar &bar) {
    user32::PublishTrackbarState(window, bar.range_min, bar.range_max, bar.position, Geometry(window, bar).thumb);
}

void Notify(HWND window, int code, int position) {
    const LONG style = GetWindowLongW(window, GWL_STYLE);
    const bool carries_position = code == TB_THUMBTRACK || code == TB_THUMBPOSITION;
    SendMessageW(GetParent(window), Vertical(style) ? WM_VSCROLL : WM_HSCROLL,
                 MAKEWPARAM(code, carries_position ? position : 0), reinterpret_cast<LPARAM>(window));
}

void MoveBy(HWND window, Trackbar &bar, int delta, int code) {
    bar.position = Clamp(bar, bar.position + delta);
    Publish(window, bar);
    Notify(window, code, bar.position);
}

int Along(LONG style, LPARAM point) {
    return Vertical(style) ? static_cast<short>(HIWORD(point)) : static_cast<short>(LOWORD(point));
}

LRESULT CALLBACK TrackbarProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Trackbar *bar = StateOf(window);
    if (bar == nullptr && message != WM_NCCREATE) return DefWindowProcW(window, message, wParam, lParam);
    const LONG style = GetWindowLongW(window, GWL_STYLE);
    switch (message) {
        case WM_NCCREATE:
            SetWindowLongPtrW(window, 0, reinterpret_cast<LONG_PTR>(new Trackbar));
            return DefWindowProcW(window, message, wParam, lParam);
        case WM_CREATE:
        case WM_SIZE:
        case WM_STYLECHANGED:
            Publish(window, *bar);
            return 0;
        case WM_NCDESTROY:
            SetWindowLongPtrW(window, 0, 0);
            delete bar;
            return 0;
        case WM_GETDLGCODE:
            return DLGC_WANTARROWS;
        case TBM_GETPOS:
            return bar->position;
        case TBM_GETRANGEMIN:
            return bar->range_min;
        case TBM_GETRANGEMAX:
            return bar->range_max;
        case TBM_SETPOS:
            bar->position = Clamp(*bar, static_cast<int>(lParam));
            Publish(window, *bar);
            return 0;
        case TBM_SETRANGE:
            bar->range_min = LOWORD(lParam);
            bar->range_max = HIWORD(lParam);
            bar->position = Clamp(*bar, bar->position);
            Publish(window, *bar);
            return 0;
        case TBM_SETRANGEMIN:
            bar->range_min = static_cast<int>(lParam);
            bar->position = Clamp(*bar, bar->position);
            Publish(window, *bar);
            return 0;
        case TBM_SETRANGEMAX:
            bar->range_max = static_cast<int>(lParam);
            bar->position = Clamp(*bar, bar->position);
            Publish(window, *bar);
            return 0;
        case TBM_SETPAGESIZE: {
            const int previous = PageSize(*bar);
            bar->page_size = static_cast<int>(lParam);
            return previous;
        }
        case TBM_GETPAGESIZE:
            return PageSize(*bar);
        case TBM_SETLINESIZE: {
            const int previous = bar->line_size;
            bar->line_size = static_cast<int>(lParam);
            return previous;
        }
        case TBM_GETLINESIZE:
            return bar->line_size;
        case TBM_SETTHUMBLENGTH:
            if (style & TBS_FIXEDLENGTH) {
                bar->thumb_length = static_cast<int>(wParam);
                Publish(window, *bar);
            }
            return 0;
        case TBM_GETTHUMBLENGTH:
            return bar->thumb_length;
        case TBM_GETTHUMBRECT:
            if (lParam != 0) *reinterpret_cast<RECT *>(lParam) = Geometry(window, *bar).thumb;
            return 0;
        case TBM_GETCHANNELRECT:
            if (lParam != 0) *reinterpret_cast<RECT *>(lParam) = Geometry(window, *bar).channel;
            return 0;
        case TBM_SETTIC:
            return TRUE;
        case TBM_GETTIC:
            return -1;
        case TBM_SETTICFREQ:
        case TBM_CLEARTICS:
        case TBM_SETSEL:
        case TBM_SETSELSTART:
        case TBM_SETSELEND:
            return 0;
        case WM_LBUTTONDOWN: {
            SetFocus(window);
            const TrackbarGeometry geometry = Geometry(window, *bar);
            const POINT point = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            const int along = Along(style, lParam);
            const RECT &thumb = geometry.thumb;
            const bool on_thumb = point.x >= thumb.left && point.x < thumb.right && point.y >= thumb.top && point.y < thumb.bottom;
            const int thumb_start = Vertical(style) ? thumb.top : thumb.left;
            const int thumb_end = Vertical(style) ? thumb.bottom : thumb.right;
            if (on_thumb) {
                bar->dragging = true;
                bar->grab_offset = along - (thumb_start + thumb_end) / 2;
            } else {
                bar->paging = true;
                if (along < thumb_start) {
                    MoveBy(window, *bar, -PageSize(*bar), TB_PAGEUP);
                } else {
                    MoveBy(window, *bar, PageSize(*bar), TB_PAGEDOWN);
                }
            }
            SetCapture(window);
            return 0;
        }
        case WM_MOUSEMOVE: {
            if (!bar->dragging) return 0;
            RECT client;
            GetClientRect(window, &client);
            bar->position = PositionAtPoint(client, style, bar->range_min, bar->range_max, Along(style, lParam) - bar->grab_offset);
            Publish(window, *bar);
            Notify(window, TB_THUMBTRACK, bar->position);
            return 0;
        }
        case WM_LBUTTONUP: {
            const bool was_dragging = bar->dragging, was_paging = bar->paging;
            bar->dragging = bar->paging = false;
            if (!was_dragging && !was_paging) return 0;
            if (GetCapture() == window) ReleaseCapture();
            if (was_dragging) Notify(window, TB_THUMBPOSITION, bar->position);
            Notify(window, TB_ENDTRACK, 0);
            return 0;
        }
        case WM_CAPTURECHANGED:
            bar->dragging = bar->paging = false;
            return 0;
        case WM_KEYDOWN:
            switch (wParam) {
                case VK_LEFT:
                case VK_UP:
                    MoveBy(window, *bar, -bar->line_size, TB_LINEUP);
                    return 0;
                case VK_RIGHT:
                case VK_DOWN:
                    MoveBy(window, *bar, bar->line_size, TB_LINEDOWN);
                    return 0;
                default:
                    return 0;
            }
        case WM_KEYUP:
            if (wParam == VK_LEFT || wParam == VK_UP || wParam == VK_RIGHT || wParam == VK_DOWN) {
                Notify(window, TB_ENDTRACK, 0);
            }
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int PositionAtPoint(RECT client, LONG style, int range_min, int range_max, int along) {
    const int length = Vertical(style) ? client.bottom : client.right;
    const int usable = (std::max(kChannelInset, length - kChannelInset) - kChannelInset) - kThumbAlong;
    if (usable <= 0 || range_max <= range_min) return range_min;
    const long long offset = along - kChannelInset - kThumbAlong / 2;
    const long long span = range_max - range_min;
    long long position = range_min + (offset * span + (offset >= 0 ? usable / 2 : -usable / 2)) / usable;
    position = std::max<long long>(range_min, std::min<long long>(position, range_max));
    return static_cast<int>(position);
}

void RegisterTrackbarClass() {
    WNDCLASSW description = {};
    description.style = CS_GLOBALCLASS | CS_DBLCLKS | CS_HREDRAW | CS_VREDRAW;
    description.lpfnWndProc = TrackbarProcedure;
    description.cbWndExtra = sizeof(Trackbar *);
    description.lpszClassName = TRACKBAR_CLASSW;
    RegisterClassW(&description);
}

}  // namespace tm350::comctl32
