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

constexpr char16_t kReplacement = 0xFFFD;

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

// Decodes UTF-8; `valid` turns false at the first ill-formed sequence.
std::u16string DecodeUtf8(std::string_view input, bool &valid) {
    std::u16string output;
    output.reserve(input.size());
    valid = true;
    size_t i = 0;
    while (i < input.size()) {
        auto byte = [&](size_t at) { return static_cast<unsigned char>(input[at]); };
        unsigned char lead = byte(i);
        if (lead < 0x80) {
            output.push_back(lead);
            ++i;
            continue;
        }
        // The continuation count and the allowed range of the first
        // continuation byte, which excludes overlong forms, surrogates and
        // code points past U+10FFFF.
        size_t continuations = 0;
        unsigned char low = 0x80, high = 0xBF;
        char32_t code = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            continuations = 1;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            continuations = 2;
            code = lead & 0x0F;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            continuations = 3;
            code = lead & 0x07;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        }
        size_t next = i + 1;
        bool complete = continuations > 0;
        for (size_t k = 0; k < continuations; ++k, ++next) {
            unsigned char lower_bound = k == 0 ? low : 0x80, upper_bound = k == 0 ? high : 0xBF;
            if (next >= input.size() || byte(next) < lower_bound || byte(next) > upper_bound) {
                complete = false;
                break;
            }
            code = (code << 6) | (byte(next) & 0x3F);
        }
        i = next;
        if (!complete) {
            valid = false;
            output.push_back(kReplacement);
        } else if (code >= 0x10000) {
            code -= 0x10000;
            output.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            output.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            output.push_back(static_cast<char16_t>(code));
        }
    }
    return output;
}

// Encodes UTF-16 as UTF-8; `valid` turns false at the first unpaired surrogate.
std::string EncodeUtf8(std::u16string_view input, bool &valid) {
    std::string output;
    output.reserve(input.size());
    valid = true;
    for (size_t i = 0; i < input.size(); ++i) {
        char32_t code = input[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < input.size() && input[i + 1] >= 0xDC00 &&
            input[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (input[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            valid = false;
            code = kReplacement;
        }
        if (code < 0x80) {
            output.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            output.push_back(static_cast<char>(0xC0 | (code >> 6)));
            output.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            output.push_back(static_cast<char>(0xE0 | (code >> 12)));
            output.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            output.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            output.push_back(static_cast<char>(0xF0 | (code >> 18)));
            output.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            output.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            output.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return output;
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
    std::u16string converted = DecodeUtf8(std::string_view(lpMultiByteStr, length), valid);
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
        EncodeUtf8(std::u16string_view(reinterpret_cast<const char16_t *>(lpWideCharStr), length), valid);
    if (!valid && (dwFlags & WC_ERR_INVALID_CHARS) != 0) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = FALSE;
    return DeliverConverted(converted, lpMultiByteStr, cbMultiByte);
}

}  // extern "C"
