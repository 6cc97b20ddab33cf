// The kernel streaming proxy's identifiers and IKsPropertySet, which
// strmif.h declares too: whichever comes first declares it.
#pragma once

#ifndef STATIC_IID_IKsPropertySet
#define STATIC_IID_IKsPropertySet 0x31EFAC30, 0x515C, 0x11d0, 0xA9, 0xAA, 0x00, 0xAA, 0x00, 0x61, 0xBE, 0x93
#endif
#define STATIC_CLSID_Proxy 0x17CCA71B, 0xECD7, 0x11D0, 0xB9, 0x08, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96

#ifdef _KS_
#ifndef _IKsPropertySet_
DEFINE_GUIDEX(IID_IKsPropertySet);
#endif
DEFINE_GUIDSTRUCT("17CCA71B-ECD7-11D0-B908-00A0C9223196", CLSID_Proxy);
#define CLSID_Proxy DEFINE_GUIDNAMED(CLSID_Proxy)
#else
#ifndef _IKsPropertySet_
DEFINE_GUID(IID_IKsPropertySet, STATIC_IID_IKsPropertySet);
#endif
DEFINE_GUID(CLSID_Proxy, STATIC_CLSID_Proxy);
#endif

#ifndef _IKsPropertySet_
#define _IKsPropertySet_
#define KSPROPERTY_SUPPORT_GET 1
#define KSPROPERTY_SUPPORT_SET 2

struct IKsPropertySet;
#undef INTERFACE
#define INTERFACE IKsPropertySet
DECLARE_INTERFACE_(IKsPropertySet, IUnknown) {
    STDMETHOD(Set)(THIS_ REFGUID PropSet, ULONG Id, LPVOID InstanceData, ULONG InstanceLength, LPVOID PropertyData,
                   ULONG DataLength) PURE;
    STDMETHOD(Get)(THIS_ REFGUID PropSet, ULONG Id, LPVOID InstanceData, ULONG InstanceLength, LPVOID PropertyData,
                   ULONG DataLength, ULONG *BytesReturned) PURE;
    STDMETHOD(QuerySupported)(THIS_ REFGUID PropSet, ULONG Id, ULONG *TypeSupport) PURE;
};
#endif
