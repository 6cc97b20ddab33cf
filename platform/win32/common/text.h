// Text conversions between the platform's UTF-16 (WCHAR) strings and the
// UTF-8 that Linux, the ANSI entry points and the on-disk formats use.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace tm350::text {

// std::wstring would call the C library's 32-bit wide functions, so the
// platform holds UTF-16 in std::u16string.
// Ill-formed input becomes U+FFFD, one per maximal ill-formed subsequence;
// `valid`, when given, tells whether there was any.
std::u16string Utf8ToUtf16(std::string_view utf8, bool *valid = nullptr);
std::string Utf16ToUtf8(std::u16string_view utf16, bool *valid = nullptr);

// A null-terminated WCHAR string as a view (nullptr gives an empty view).
std::u16string_view View(LPCWSTR text);
size_t Length(LPCWSTR text);

// Case folding for names the platform compares case-insensitively (registry
// keys and values, object names): ASCII and Latin-1 letters fold; other
// characters compare as they are.
char16_t FoldCase(char16_t c);
std::u16string FoldCase(std::u16string_view text);
bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b);

inline const WCHAR *AsWide(const std::u16string &s) { return reinterpret_cast<const WCHAR *>(s.c_str()); }

}  // namespace tm350::text
