// GUIDs, interface and class identifiers, DEFINE_GUID and __uuidof.
//
// DEFINE_GUID stays outside the include guard, as on Windows: a translation
// unit that includes initguid.h after other headers turns the DEFINE_GUIDs
// of the headers it includes next into definitions.
#ifndef TM350_GUIDDEF_H
#define TM350_GUIDDEF_H

#include <winnt.h>

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
    unsigned int Data1;
    unsigned short Data2;
    unsigned short Data3;
    unsigned char Data4[8];
} GUID;
#endif

typedef GUID *LPGUID;
typedef const GUID *LPCGUID;
typedef GUID IID, *LPIID;
typedef GUID CLSID, *LPCLSID;
typedef GUID FMTID;

#ifdef __cplusplus
#define REFGUID const GUID &
#define REFIID const IID &
#define REFCLSID const IID &
#define REFFMTID const IID &
#else
#define REFGUID const GUID *
#define REFIID const IID *
#define REFCLSID const IID *
#endif


#ifdef __cplusplus
inline bool IsEqualGUID(REFGUID a, REFGUID b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)
#define InlineIsEqualGUID(a, b) IsEqualGUID(a, b)

// __uuidof(Interface) as mingw-w64 provides it: each interface header
// attaches its identifier with __CRT_UUID_DECL.
template <typename T>
const GUID &__tm350_uuidof();
#define __uuidof(type) __tm350_uuidof<__typeof__(type)>()
#define __CRT_UUID_DECL(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)            \
    template <>                                                                      \
    inline const GUID &__tm350_uuidof<type>() {                                      \
        static const GUID the_id = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}};    \
        return the_id;                                                               \
    }                                                                                \
    template <>                                                                      \
    inline const GUID &__tm350_uuidof<type *>() { return __tm350_uuidof<type>(); }
#endif
#endif // TM350_GUIDDEF_H

// Without INITGUID a GUID is only declared; one translation unit that
// includes initguid.h first defines it, as on Windows.
#undef DEFINE_GUID
#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    EXTERN_C __attribute__((weak)) const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) EXTERN_C const GUID name
#endif
#define DEFINE_OLEGUID(name, l, w1, w2) DEFINE_GUID(name, l, w1, w2, 0xC0, 0, 0, 0, 0, 0, 0, 0x46)
