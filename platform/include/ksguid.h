// Included before ks.h and ksmedia.h, turns their identifier declarations
// into definitions in this translation unit.
#define INITGUID
#include <guiddef.h>

// STATIC_name is one flat list of values; the extra macro step expands it
// before it is split into Data1..Data3 and the braced Data4.
#define TM350_GUID_INITIALIZER(...) TM350_GUID_INITIALIZER_PARTS(__VA_ARGS__)
#define TM350_GUID_INITIALIZER_PARTS(l, w1, w2, ...) {l, w1, w2, {__VA_ARGS__}}
#undef DEFINE_GUIDEX
#define DEFINE_GUIDEX(name) EXTERN_C __attribute__((weak)) const GUID name = TM350_GUID_INITIALIZER(STATICGUIDOF(name))
#ifndef STATICGUIDOF
#define STATICGUIDOF(guid) STATIC_##guid
#endif
