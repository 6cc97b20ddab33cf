// The Win32 conventions for handing names and data back to the caller,
// shared by the W and A entry points. On every error the caller's buffers
// are left untouched; only the documented size outputs change.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace tm350::registry {

// RegQueryValueEx: with no buffer, reports the size; with a buffer too small,
// reports the size and ERROR_MORE_DATA.
inline LSTATUS CopyValueData(std::span<const BYTE> data, LPBYTE buffer, LPDWORD size) {
    if (size == nullptr) return ERROR_SUCCESS;
    const DWORD required = static_cast<DWORD>(data.size());
    if (buffer != nullptr) {
        if (*size < required) {
            *size = required;
            return ERROR_MORE_DATA;
        }
        if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
    }
    *size = required;
    return ERROR_SUCCESS;
}

// RegEnumKeyEx / RegEnumValue names: `length` holds the buffer's size in
// characters including the terminator, and receives the name's length
// without it. A buffer too small gives ERROR_MORE_DATA and leaves `length`
// as it was.
// Names travel as char16_t or char and land in WCHAR or CHAR buffers, which
// have the same sizes.
template <typename Unit>
bool NameFits(std::basic_string_view<Unit> name, const DWORD *length) {
    return name.size() < *length;
}

template <typename Unit, typename Character>
void CopyName(std::basic_string_view<Unit> name, Character *buffer, LPDWORD length) {
    static_assert(sizeof(Unit) == sizeof(Character));
    std::memcpy(buffer, name.data(), name.size() * sizeof(Character));
    buffer[name.size()] = 0;
    *length = static_cast<DWORD>(name.size());
}

// Keys carry no class string; the class outputs report an empty one.
template <typename Character>
LSTATUS CheckEmptyClass(Character *buffer, const DWORD *length) {
    return buffer != nullptr && *length == 0 ? ERROR_MORE_DATA : ERROR_SUCCESS;
}

template <typename Character>
void CopyEmptyClass(Character *buffer, LPDWORD length) {
    if (buffer != nullptr) buffer[0] = 0;
    if (length != nullptr) *length = 0;
}

inline void CopyFileTime(uint64_t ticks, PFILETIME out) {
    if (out == nullptr) return;
    out->dwLowDateTime = static_cast<DWORD>(ticks);
    out->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

}  // namespace tm350::registry
