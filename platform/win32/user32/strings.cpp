// String resources. A module stores its strings in blocks of sixteen: block
// n (a RT_STRING resource named n) holds the strings with ids (n - 1) * 16
// to n * 16 - 1, each a WORD count of UTF-16 units and the units, without
// terminator; a missing string has count 0. The block, and so every string
// in it, comes in the language FindResource picks for the thread.
#include <windows.h>

#include "common/text.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace {

constexpr UINT kStringsPerBlock = 16;

// The string `id` of `instance` as stored in its block (not terminated), or
// nothing with the last error set.
std::optional<std::u16string_view> StoredString(HINSTANCE instance, UINT id) {
    HRSRC block = FindResourceW(instance, MAKEINTRESOURCEW(id / kStringsPerBlock + 1), MAKEINTRESOURCEW(6));
    if (block == nullptr) return std::nullopt;
    HGLOBAL loaded = LoadResource(instance, block);
    DWORD size = SizeofResource(instance, block);
    if (loaded == nullptr) return std::nullopt;
    std::span<const BYTE> bytes(static_cast<const BYTE *>(LockResource(loaded)), size);
    size_t offset = 0;
    for (UINT index = 0; index <= id % kStringsPerBlock; ++index) {
        WORD length = 0;
        if (offset + sizeof length > bytes.size()) break;
        std::memcpy(&length, bytes.data() + offset, sizeof length);
        offset += sizeof length;
        if (length > (bytes.size() - offset) / sizeof(char16_t)) break;
        if (index == id % kStringsPerBlock) {
            if (length == 0) break;
            // Blocks are WORD-aligned in the image, so the units can be read in place.
            return std::u16string_view(reinterpret_cast<const char16_t *>(bytes.data() + offset), length);
        }
        offset += length * sizeof(char16_t);
    }
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return std::nullopt;
}

}  // namespace

extern "C" {

// With cchBufferMax 0, lpBuffer receives a read-only pointer to the stored
// string itself, which is not terminated; the length tells where it ends.
// Otherwise the string is copied, cut to cchBufferMax - 1 units if longer,
// and always terminated. Returns the units copied (or the length), 0 when
// there is no such string.
int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
    if (lpBuffer == nullptr || cchBufferMax < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto stored = StoredString(hInstance, uID);
    if (cchBufferMax == 0) {
        *reinterpret_cast<LPCWSTR *>(lpBuffer) = stored ? reinterpret_cast<LPCWSTR>(stored->data()) : nullptr;
        return stored ? static_cast<int>(stored->size()) : 0;
    }
    size_t copied = stored ? std::min<size_t>(stored->size(), static_cast<size_t>(cchBufferMax) - 1) : 0;
    if (copied > 0) std::memcpy(lpBuffer, stored->data(), copied * sizeof(WCHAR));
    lpBuffer[copied] = 0;
    return static_cast<int>(copied);
}

// The string in the ANSI code page (UTF-8 here), cut to at most
// cchBufferMax - 1 bytes at a character boundary and terminated. The size
// may not be zero: there is no stored ANSI string to point at.
int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
    if (lpBuffer == nullptr || cchBufferMax <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto stored = StoredString(hInstance, uID);
    std::string text = stored ? tm350::text::Utf16ToUtf8(*stored) : std::string();
    size_t copied = std::min<size_t>(text.size(), static_cast<size_t>(cchBufferMax) - 1);
    // Back off to the start of a character rather than split one.
    while (copied > 0 && copied < text.size() && (static_cast<unsigned char>(text[copied]) & 0xC0) == 0x80) --copied;
    std::memcpy(lpBuffer, text.data(), copied);
    lpBuffer[copied] = '\0';
    return static_cast<int>(copied);
}

}  // extern "C"
