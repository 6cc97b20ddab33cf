// BSTR strings. A BSTR is the address of its first character inside one
// task-memory block: a 32-bit byte count, the characters, and a null
// character that is not counted. Blocks come from CoTaskMemAlloc, as on
// Windows, where a BSTR may cross module and apartment boundaries.
#include <ole2.h>

#include <cstdint>
#include <cstring>

namespace {

constexpr size_t kPrefixBytes = sizeof(UINT);
constexpr size_t kTerminatorBytes = sizeof(OLECHAR);

BYTE *BlockOf(BSTR text) { return reinterpret_cast<BYTE *>(text) - kPrefixBytes; }

// A string of byte_length bytes, filled from `source` when it is given and
// with zeros otherwise (Windows leaves them unspecified). Null when the
// length does not fit the 32-bit count or memory runs out.
BSTR AllocateBytes(const void *source, uint64_t byte_length) {
    if (byte_length > UINT32_MAX - kPrefixBytes - kTerminatorBytes) return NULL;
    BYTE *block = static_cast<BYTE *>(CoTaskMemAlloc(kPrefixBytes + byte_length + kTerminatorBytes));
    if (block == NULL) return NULL;
    const UINT stored_length = static_cast<UINT>(byte_length);
    memcpy(block, &stored_length, kPrefixBytes);
    BYTE *text = block + kPrefixBytes;
    if (source != NULL) {
        memcpy(text, source, byte_length);
    } else {
        memset(text, 0, byte_length);
    }
    memset(text + byte_length, 0, kTerminatorBytes);
    return reinterpret_cast<BSTR>(text);
}

UINT CharacterCount(const OLECHAR *text) {
    UINT count = 0;
    while (text[count] != 0) ++count;
    return count;
}

// Replaces *target only once the new string exists, so `source` may point
// into the string it replaces and a failure leaves *target as it was.
INT Replace(BSTR *target, BSTR replacement, bool allocation_failed) {
    if (allocation_failed) return FALSE;
    SysFreeString(*target);
    *target = replacement;
    return TRUE;
}

}  // namespace

WINOLEAUTAPI_(BSTR) SysAllocString(const OLECHAR *psz) {
    if (psz == NULL) return NULL;
    return AllocateBytes(psz, uint64_t{CharacterCount(psz)} * sizeof(OLECHAR));
}

WINOLEAUTAPI_(BSTR) SysAllocStringLen(const OLECHAR *strIn, UINT ui) {
    return AllocateBytes(strIn, uint64_t{ui} * sizeof(OLECHAR));
}

WINOLEAUTAPI_(BSTR) SysAllocStringByteLen(LPCSTR psz, UINT len) { return AllocateBytes(psz, len); }

WINOLEAUTAPI_(INT) SysReAllocString(BSTR *pbstr, const OLECHAR *psz) {
    if (pbstr == NULL) return FALSE;
    BSTR replacement = SysAllocString(psz);
    return Replace(pbstr, replacement, psz != NULL && replacement == NULL);
}

WINOLEAUTAPI_(INT) SysReAllocStringLen(BSTR *pbstr, const OLECHAR *psz, UINT len) {
    if (pbstr == NULL) return FALSE;
    BSTR replacement = SysAllocStringLen(psz, len);
    return Replace(pbstr, replacement, replacement == NULL);
}

WINOLEAUTAPI_(void) SysFreeString(BSTR bstrString) {
    if (bstrString != NULL) CoTaskMemFree(BlockOf(bstrString));
}

WINOLEAUTAPI_(UINT) SysStringByteLen(BSTR bstr) {
    if (bstr == NULL) return 0;
    UINT byte_length;
    memcpy(&byte_length, BlockOf(bstr), kPrefixBytes);
    return byte_length;
}

WINOLEAUTAPI_(UINT) SysStringLen(BSTR bstr) { return SysStringByteLen(bstr) / sizeof(OLECHAR); }
