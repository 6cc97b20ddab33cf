// The lstr* string functions. Like Windows they tolerate null pointers
// instead of faulting (Windows catches the fault and returns 0 or NULL).
//
// lstrcmp and lstrcmpi compare linguistically on Windows, not by code
// unit. This follows the user-locale order for the characters system code
// compares (ASCII and Latin-1): punctuation and symbols sort before digits,
// digits before letters, letters alphabetically whatever their case; for
// lstrcmp alone, a tie is then broken by case, lower before upper. Other
// characters sort after letters, by code point.
#include <windows.h>

#include "common/text.h"

#include <cstring>
#include <string>

namespace {

using tm350::text::FoldCase;

bool IsLetter(char16_t c) {
    char16_t folded = FoldCase(c);
    return (folded >= u'A' && folded <= u'Z') || (folded >= 0xC0 && folded <= 0xDE && folded != 0xD7) || c == 0xDF ||
           c == 0xFF;
}

// The primary sort key of one character: its class, then the character
// with case folded away.
unsigned PrimaryWeight(char16_t c) {
    unsigned rank;
    if (c >= u'0' && c <= u'9') {
        rank = 1;
    } else if (IsLetter(c)) {
        rank = 2;
    } else if (c < 0x100) {
        rank = 0;
    } else {
        rank = 3;
    }
    return (rank << 16) | FoldCase(c);
}

bool IsLower(char16_t c) { return FoldCase(c) != c; }

int Sign(long difference) { return difference < 0 ? -1 : difference > 0 ? 1 : 0; }

int Compare(LPCWSTR first, LPCWSTR second, bool ignore_case) {
    // A null string sorts before every other, as on Windows.
    if (first == nullptr || second == nullptr) return Sign((first != nullptr) - (second != nullptr));
    std::u16string_view a = tm350::text::View(first), b = tm350::text::View(second);
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        unsigned weight_a = PrimaryWeight(a[i]), weight_b = PrimaryWeight(b[i]);
        if (weight_a != weight_b) return weight_a < weight_b ? -1 : 1;
    }
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    if (ignore_case) return 0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) return IsLower(a[i]) ? -1 : 1;
    }
    return 0;
}

}  // namespace

extern "C" {

int WINAPI lstrlenA(LPCSTR lpString) { return lpString != nullptr ? static_cast<int>(strlen(lpString)) : 0; }

int WINAPI lstrlenW(LPCWSTR lpString) { return static_cast<int>(tm350::text::Length(lpString)); }

LPWSTR WINAPI lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2) {
    if (lpString1 == nullptr || lpString2 == nullptr) return nullptr;
    size_t length = tm350::text::Length(lpString2);
    memmove(lpString1, lpString2, (length + 1) * sizeof(WCHAR));
    return lpString1;
}

LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength) {
    if (lpString1 == nullptr || lpString2 == nullptr) return nullptr;
    if (iMaxLength <= 0) return lpString1;
    // At most iMaxLength - 1 characters, always terminated; never reads
    // past what it copies.
    int copied = 0;
    while (copied < iMaxLength - 1 && lpString2[copied] != 0) {
        lpString1[copied] = lpString2[copied];
        ++copied;
    }
    lpString1[copied] = 0;
    return lpString1;
}

LPWSTR WINAPI lstrcatW(LPWSTR lpString1, LPCWSTR lpString2) {
    if (lpString1 == nullptr || lpString2 == nullptr) return nullptr;
    lstrcpyW(lpString1 + tm350::text::Length(lpString1), lpString2);
    return lpString1;
}

int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2) { return Compare(lpString1, lpString2, false); }

int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) { return Compare(lpString1, lpString2, true); }

int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
    if (lpString1 == nullptr || lpString2 == nullptr) return Sign((lpString1 != nullptr) - (lpString2 != nullptr));
    std::u16string first = tm350::text::Utf8ToUtf16(lpString1), second = tm350::text::Utf8ToUtf16(lpString2);
    return Compare(tm350::text::AsWide(first), tm350::text::AsWide(second), true);
}

}  // extern "C"
