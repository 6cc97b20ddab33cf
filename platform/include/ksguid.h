// Included before ks.h and ksmedia.h, turns their identifier declarations
// into definitions in this translation unit.
#define INITGUID
#include <guiddef.h>

#undef DEFINE_GUIDEX
#define DEFINE_GUIDEX(name) EXTERN_C __attribute__((weak)) const GUID name = {STATICGUIDOF(name)}
#ifndef STATICGUIDOF
#define STATICGUIDOF(guid) STATIC_##guid
#endif
