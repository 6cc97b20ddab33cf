#include "camera/raw_frame.h"

#include <algorithm>
#include <cstring>

void CorrectDefects(BYTE* raw, int w, int h, const CDefectList& defects) {
    // A count beyond the list's room can only come from a corrupted list; the
    // entries past the room do not exist.
    const DWORD count = std::min(defects.count, CDefectList::Capacity);
    for (DWORD i = 0; i < count; ++i) {
        const CDefectList::Entry entry = defects.entries[i];
        // Such an entry has no same-colour sample two to its left on its line;
        // x = 0 is also what an unreadable word leaves behind.
        if (static_cast<USHORT>(entry.x) <= 2)
            continue;
        const long long target = static_cast<long long>(entry.y) * w + entry.x;
        if (target - 2 < 0 || target >= static_cast<long long>(RAW_FRAME_SIZE))
            continue;
        raw[target] = raw[target - 2];
    }
}

void ExtractPicture(BYTE* raw, int w, int h) {
    if (w <= 0 || h <= 0)
        return;
    const size_t pitch = static_cast<size_t>(w) + RAW_LEADING_BYTES;
    const size_t first = RAW_LEADING_LINES * pitch + RAW_LEADING_BYTES;
    // Every source lies more than w bytes past its destination, so ascending
    // order never reads a byte an earlier copy wrote and the copies never overlap.
    for (size_t k = 0; k < static_cast<size_t>(h); ++k)
        std::memcpy(raw + k * w, raw + first + k * pitch, w);
}
