// The filter graph as an application drives it: run, pause and stop, and
// the graph's events. These interfaces derive from IDispatch so scripting
// clients can use them too.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oaidl.h>

DEFINE_GUID(LIBID_QuartzTypeLib, 0x56a868b0, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);

typedef LONG OAFilterState;
typedef LONG_PTR OAHWND;
typedef LONG_PTR OAEVENT;
#ifndef REFTIME_DEFINED
#define REFTIME_DEFINED
typedef DOUBLE REFTIME;
#endif

DEFINE_GUID(IID_IMediaControl, 0x56a868b1, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
MIDL_INTERFACE("56a868b1-0ad4-11ce-b03a-0020af0ba770") IMediaControl : public IDispatch {
    STDMETHOD(Run)() = 0;
    STDMETHOD(Pause)() = 0;
    STDMETHOD(Stop)() = 0;
    STDMETHOD(GetState)(LONG msTimeout, OAFilterState *pfs) = 0;
    STDMETHOD(RenderFile)(BSTR strFilename) = 0;
    STDMETHOD(AddSourceFilter)(BSTR strFilename, IDispatch **ppUnk) = 0;
    STDMETHOD(get_FilterCollection)(IDispatch **ppUnk) = 0;
    STDMETHOD(get_RegFilterCollection)(IDispatch **ppUnk) = 0;
    STDMETHOD(StopWhenReady)() = 0;
};
__CRT_UUID_DECL(IMediaControl, 0x56a868b1, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)

// Windows' headers give the interfaces below no __uuidof, so neither do
// these: code asks for them by IID_ name.
DEFINE_GUID(IID_IMediaEvent, 0x56a868b6, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
struct IMediaEvent : public IDispatch {
    STDMETHOD(GetEventHandle)(OAEVENT *hEvent) = 0;
    STDMETHOD(GetEvent)(LONG *lEventCode, LONG_PTR *lParam1, LONG_PTR *lParam2, LONG msTimeout) = 0;
    STDMETHOD(WaitForCompletion)(LONG msTimeout, LONG *pEvCode) = 0;
    STDMETHOD(CancelDefaultHandling)(LONG lEvCode) = 0;
    STDMETHOD(RestoreDefaultHandling)(LONG lEvCode) = 0;
    STDMETHOD(FreeEventParams)(LONG lEvCode, LONG_PTR lParam1, LONG_PTR lParam2) = 0;
};

DEFINE_GUID(IID_IMediaEventEx, 0x56a868c0, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
struct IMediaEventEx : public IMediaEvent {
    STDMETHOD(SetNotifyWindow)(OAHWND hwnd, LONG lMsg, LONG_PTR lInstanceData) = 0;
    STDMETHOD(SetNotifyFlags)(LONG lNoNotifyFlags) = 0;
    STDMETHOD(GetNotifyFlags)(LONG *lplNoNotifyFlags) = 0;
};

DEFINE_GUID(IID_IMediaPosition, 0x56a868b2, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
struct IMediaPosition : public IDispatch {
    STDMETHOD(get_Duration)(REFTIME *plength) = 0;
    STDMETHOD(put_CurrentPosition)(REFTIME llTime) = 0;
    STDMETHOD(get_CurrentPosition)(REFTIME *pllTime) = 0;
    STDMETHOD(get_StopTime)(REFTIME *pllTime) = 0;
    STDMETHOD(put_StopTime)(REFTIME llTime) = 0;
    STDMETHOD(get_PrerollTime)(REFTIME *pllTime) = 0;
    STDMETHOD(put_PrerollTime)(REFTIME llTime) = 0;
    STDMETHOD(put_Rate)(double dRate) = 0;
    STDMETHOD(get_Rate)(double *pdRate) = 0;
    STDMETHOD(CanSeekForward)(LONG *pCanSeekForward) = 0;
    STDMETHOD(CanSeekBackward)(LONG *pCanSeekBackward) = 0;
};
