// GUIDs as registry strings: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", 38
// characters and a terminator.
#include <objbase.h>

#include <cstdio>

EXTERN_C const GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
EXTERN_C const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
EXTERN_C const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

constexpr int kGuidStringLength = 38;

void FormatGuid(REFGUID guid, char (&text)[kGuidStringLength + 1]) {
    snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
             guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
             guid.Data4[6], guid.Data4[7]);
}

int HexDigit(OLECHAR c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// Reads `digits` hex digits at text[position]; false on any other character.
bool ReadHex(LPCOLESTR text, int position, int digits, unsigned int &value) {
    value = 0;
    for (int i = 0; i < digits; ++i) {
        int digit = HexDigit(text[position + i]);
        if (digit < 0) return false;
        value = (value << 4) | static_cast<unsigned int>(digit);
    }
    return true;
}

bool ParseGuid(LPCOLESTR text, GUID &guid) {
    // Every position is checked in order, so a short string stops at its
    // terminator before anything past it is read.
    if (text[0] != L'{') return false;
    unsigned int part = 0;
    if (!ReadHex(text, 1, 8, part)) return false;
    guid.Data1 = part;
    if (text[9] != L'-' || !ReadHex(text, 10, 4, part)) return false;
    guid.Data2 = static_cast<unsigned short>(part);
    if (text[14] != L'-' || !ReadHex(text, 15, 4, part)) return false;
    guid.Data3 = static_cast<unsigned short>(part);
    if (text[19] != L'-') return false;
    static const int kBytePositions[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (i == 2 && text[24] != L'-') return false;
        if (!ReadHex(text, kBytePositions[i], 2, part)) return false;
        guid.Data4[i] = static_cast<unsigned char>(part);
    }
    return text[37] == L'}' && text[38] == 0;
}

HRESULT AllocateGuidString(REFGUID guid, LPOLESTR *result) {
    if (result == NULL) return E_INVALIDARG;
    *result = static_cast<LPOLESTR>(CoTaskMemAlloc((kGuidStringLength + 1) * sizeof(OLECHAR)));
    if (*result == NULL) return E_OUTOFMEMORY;
    StringFromGUID2(guid, *result, kGuidStringLength + 1);
    return S_OK;
}

}  // namespace

WINOLEAPI_(int) StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    if (lpsz == NULL || cchMax < kGuidStringLength + 1) return 0;
    char text[kGuidStringLength + 1];
    FormatGuid(rguid, text);
    for (int i = 0; i <= kGuidStringLength; ++i) lpsz[i] = static_cast<OLECHAR>(text[i]);
    return kGuidStringLength + 1;
}

WINOLEAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR *lplpsz) { return AllocateGuidString(rclsid, lplpsz); }

WINOLEAPI StringFromIID(REFIID riid, LPOLESTR *lplpsz) { return AllocateGuidString(riid, lplpsz); }

WINOLEAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    if (pclsid == NULL) return E_INVALIDARG;
    if (lpsz == NULL) {
        *pclsid = GUID_NULL;
        return S_OK;
    }
    GUID guid;
    if (!ParseGuid(lpsz, guid)) return CO_E_CLASSSTRING;
    *pclsid = guid;
    return S_OK;
}

WINOLEAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
    if (lpiid == NULL) return E_INVALIDARG;
    if (lpsz == NULL) {
        *lpiid = GUID_NULL;
        return S_OK;
    }
    GUID guid;
    if (!ParseGuid(lpsz, guid)) return E_INVALIDARG;
    *lpiid = guid;
    return S_OK;
}
