// The raw frame the camera sends: a fixed Bayer mosaic, whatever video size the
// filter presents, and the defect patch applied to it before anything else.
#pragma once

#include <windows.h>

// Geometry of every raw frame. The picture is a w x h area inside it; its
// line pitch and start are derived from the picture width (see ExtractPicture).
enum : DWORD {
    RAW_LINE_LENGTH = 1176,
    RAW_LINES = 772,
    RAW_FRAME_SIZE = RAW_LINE_LENGTH * RAW_LINES,  // 907 872 bytes
    RAW_LEADING_BYTES = 152,                       // bytes before the picture on every line
    RAW_LEADING_LINES = 2,                         // lines before the first picture row
};

// The defective sample positions read from the camera's memory. The positions
// address the raw buffer with the picture width as stride, not the raw line
// length, so an entry only means something together with that width.
struct CDefectList {
    struct Entry {
        SHORT x;
        SHORT y;
    };
    static constexpr DWORD Capacity = 50;

    Entry entries[Capacity];
    DWORD count;  // valid entries; 0 until a table has been loaded
};

// Patches the raw frame in place: each listed sample takes the value of the
// sample two bytes to its left, which has the same colour in the mosaic.
// Entries are applied in list order, so a later entry sees an earlier one's
// result. An entry whose target, or whose source two bytes before it, falls
// outside the raw frame is skipped on every frame: the stored table carries no
// bound and the stride it needs is only known here.
void CorrectDefects(BYTE* raw, int w, int h, const CDefectList& defects);

// Moves the w x h picture area of a raw frame to the buffer start, rows back
// to back, in place. The raw buffer keeps serving as the picture's source so a
// frame is never copied to a second frame-sized buffer.
void ExtractPicture(BYTE* raw, int w, int h);
