// MultiByteToWideChar and WideCharToMultiByte. Every code page the platform
// knows is UTF-8: the ANSI, OEM, Mac and thread code pages are UTF-8 here.
// Ill-formed input becomes U+FFFD, one per maximal ill-formed subsequence
// as Unicode recommends and current Windows does, or fails with
// ERROR_NO_UNICODE_TRANSLATION when the caller asks for strictness.
#include <windows.h>

#include "common/text.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>

namespace {

enum class CodePageKind { Ansi, Utf8, Unknown };

CodePageKind KindOf(UINT code_page) {
    switch (code_page) {
    case CP_ACP:
    case CP_OEMCP:
    case CP_MACCP:
    case CP_THREAD_ACP:
        return CodePageKind::Ansi;
    case CP_UTF8:
        return CodePageKind::Utf8;
    default:
        return CodePageKind::Unknown;
    }
}

// The documented size contract shared by both directions: a zero-sized
// output asks for the size needed; too small an output fails.
template <class Char, class String>
int DeliverConverted(const String &converted, Char *output, int output_size) {
    if (converted.size() > static_cast<size_t>(INT_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int size = static_cast<int>(converted.size());
    if (output_size == 0) return size;
    if (size > output_size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(converted.begin(), converted.end(), output);
    return size;
}

bool Overlaps(const void *a, size_t a_bytes, const void *b, size_t b_bytes) {
    auto a_start = reinterpret_cast<uintptr_t>(a), b_start = reinterpret_cast<uintptr_t>(b);
    return a_start < b_start + b_bytes && b_start < a_start + a_bytes;
}

}  // namespace

extern "C" {

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
    CodePageKind kind = KindOf(CodePage);
    if (kind == CodePageKind::Unknown || lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 ||
        cchWideChar < 0 || (lpWideCharStr == nullptr && cchWideChar != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // CP_UTF8 takes only the strictness flag; the ANSI code pages also take
    // the composition flags, which change nothing for UTF-8.
    DWORD allowed = MB_ERR_INVALID_CHARS;
    if (kind == CodePageKind::Ansi) allowed |= MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS;
    if ((dwFlags & ~allowed) != 0 || ((dwFlags & MB_PRECOMPOSED) && (dwFlags & MB_COMPOSITE))) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    // -1: the string and its terminator.
    size_t length = cbMultiByte == -1 ? strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    if (cchWideChar != 0 && Overlaps(lpMultiByteStr, length, lpWideCharStr, cchWideChar * sizeof(WCHAR))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    bool valid = true;
    std::u16string converted = tm350::text::Utf8ToUtf16(std::string_view(lpMultiByteStr, length), &valid);
    if (!valid && (dwFlags & MB_ERR_INVALID_CHARS) != 0) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    return DeliverConverted(converted, lpWideCharStr, cchWideChar);
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                               LPBOOL lpUsedDefaultChar) {
    CodePageKind kind = KindOf(CodePage);
    if (kind == CodePageKind::Unknown || lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 ||
        cbMultiByte < 0 || (lpMultiByteStr == nullptr && cbMultiByte != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // For CP_UTF8 Windows refuses a default character; an ANSI code page
    // accepts one, though with UTF-8 behind it nothing ever needs it.
    if (kind == CodePageKind::Utf8 && (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD allowed = WC_ERR_INVALID_CHARS;
    if (kind == CodePageKind::Ansi) {
        allowed |= WC_COMPOSITECHECK | WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR | WC_NO_BEST_FIT_CHARS;
    }
    if ((dwFlags & ~allowed) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    size_t length = cchWideChar == -1 ? tm350::text::Length(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
    if (cbMultiByte != 0 && Overlaps(lpWideCharStr, length * sizeof(WCHAR), lpMultiByteStr, cbMultiByte)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    bool valid = true;
    std::string converted =
        tm350::text::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t *>(lpWideCharStr), length), &valid);
    if (!valid && (dwFlags & WC_ERR_INVALID_CHARS) != 0) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = FALSE;
    return DeliverConverted(converted, lpMultiByteStr, cbMultiByte);
}

}  // extern "C"
