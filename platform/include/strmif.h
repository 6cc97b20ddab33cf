// The media framework's core interfaces: filters, pins, media types,
// allocators and samples, clocks, the filter graph, the filter mapper, the
// device enumerator, stream configuration and pin properties.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <unknwn.h>
#include <objidl.h>
#include <oaidl.h>
#include <ocidl.h>

struct IPin;
struct IEnumPins;
struct IEnumMediaTypes;
struct IBaseFilter;
struct IFilterGraph;
struct IEnumFilters;
struct IMediaFilter;
struct IReferenceClock;
struct IMediaSample;
struct IMemAllocator;
struct IMemAllocatorNotifyCallbackTemp;
struct IMemInputPin;
struct IEnumRegFilters;
struct IGraphBuilder;
struct IFileSinkFilter;
struct IAMCopyCaptureFileProgress;

// Flags of ICreateDevEnum::CreateClassEnumerator.
#define CDEF_CLASS_DEFAULT 0x1
#define CDEF_BYPASS_CLASS_MANAGER 0x2
#define CDEF_MERIT_ABOVE_DO_NOT_USE 0x8
#define CDEF_DEVMON_CMGR_DEVICE 0x10
#define CDEF_DEVMON_DMO 0x20
#define CDEF_DEVMON_PNP_DEVICE 0x40
#define CDEF_DEVMON_FILTER 0x80
#define CDEF_DEVMON_SELECTIVE_MASK 0xf0

DEFINE_GUID(IID_ICreateDevEnum, 0x29840822, 0x5b84, 0x11d0, 0xbd, 0x3b, 0x00, 0xa0, 0xc9, 0x11, 0xce, 0x86);
MIDL_INTERFACE("29840822-5b84-11d0-bd3b-00a0c911ce86") ICreateDevEnum : public IUnknown {
    STDMETHOD(CreateClassEnumerator)(REFCLSID clsidDeviceClass, IEnumMoniker **ppEnumMoniker, DWORD dwFlags) = 0;
};
__CRT_UUID_DECL(ICreateDevEnum, 0x29840822, 0x5b84, 0x11d0, 0xbd, 0x3b, 0x00, 0xa0, 0xc9, 0x11, 0xce, 0x86)

#define CHARS_IN_GUID 39

typedef struct _AMMediaType {
    GUID majortype;
    GUID subtype;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    ULONG lSampleSize;
    GUID formattype;
    IUnknown *pUnk;
    ULONG cbFormat;
    BYTE *pbFormat;
} AM_MEDIA_TYPE;

typedef enum _PinDirection {
    PINDIR_INPUT = 0,
    PINDIR_OUTPUT = 1
} PIN_DIRECTION;

#define MAX_PIN_NAME 128
#define MAX_FILTER_NAME 128

// Times and durations in units of 100 ns.
#ifndef REFERENCE_TIME_DEFINED
#define REFERENCE_TIME_DEFINED
typedef LONGLONG REFERENCE_TIME;
#endif
#ifndef REFTIME_DEFINED
#define REFTIME_DEFINED
typedef double REFTIME;
#endif

typedef DWORD_PTR HSEMAPHORE;
typedef DWORD_PTR HEVENT;

typedef struct _AllocatorProperties {
    LONG cBuffers;
    LONG cbBuffer;
    LONG cbAlign;
    LONG cbPrefix;
} ALLOCATOR_PROPERTIES;

typedef struct _PinInfo {
    IBaseFilter *pFilter;
    PIN_DIRECTION dir;
    WCHAR achName[128];
} PIN_INFO;

DEFINE_GUID(IID_IPin, 0x56a86891, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
MIDL_INTERFACE("56a86891-0ad4-11ce-b03a-0020af0ba770") IPin : public IUnknown {
    STDMETHOD(Connect)(IPin *pReceivePin, const AM_MEDIA_TYPE *pmt) = 0;
    STDMETHOD(ReceiveConnection)(IPin *pConnector, const AM_MEDIA_TYPE *pmt) = 0;
    STDMETHOD(Disconnect)() = 0;
    STDMETHOD(ConnectedTo)(IPin **pPin) = 0;
    STDMETHOD(ConnectionMediaType)(AM_MEDIA_TYPE *pmt) = 0;
    STDMETHOD(QueryPinInfo)(PIN_INFO *pInfo) = 0;
    STDMETHOD(QueryDirection)(PIN_DIRECTION *pPinDir) = 0;
    STDMETHOD(QueryId)(LPWSTR *Id) = 0;
    STDMETHOD(QueryAccept)(const AM_MEDIA_TYPE *pmt) = 0;
    STDMETHOD(EnumMediaTypes)(IEnumMediaTypes **ppEnum) = 0;
    STDMETHOD(QueryInternalConnections)(IPin **apPin, ULONG *nPin) = 0;
    STDMETHOD(EndOfStream)() = 0;
    STDMETHOD(BeginFlush)() = 0;
    STDMETHOD(EndFlush)() = 0;
    STDMETHOD(NewSegment)(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) = 0;
};
__CRT_UUID_DECL(IPin, 0x56a86891, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
typedef IPin *PPIN;

DEFINE_GUID(IID_IEnumPins, 0x56a86892, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
MIDL_INTERFACE("56a86892-0ad4-11ce-b03a-0020af0ba770") IEnumPins : public IUnknown {
    STDMETHOD(Next)(ULONG cPins, IPin **ppPins, ULONG *pcFetched) = 0;
    STDMETHOD(Skip)(ULONG cPins) = 0;
    STDMETHOD(Reset)() = 0;
    STDMETHOD(Clone)(IEnumPins **ppEnum) = 0;
};
__CRT_UUID_DECL(IEnumPins, 0x56a86892, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
typedef IEnumPins *PENUMPINS;

DEFINE_GUID(IID_IEnumMediaTypes, 0x89c31040, 0x846b, 0x11ce, 0x97, 0xd3, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a);
MIDL_INTERFACE("89c31040-846b-11ce-97d3-00aa0055595a") IEnumMediaTypes : public IUnknown {
    STDMETHOD(Next)(ULONG cMediaTypes, AM_MEDIA_TYPE **ppMediaTypes, ULONG *pcFetched) = 0;
    STDMETHOD(Skip)(ULONG cMediaTypes) = 0;
    STDMETHOD(Reset)() = 0;
    STDMETHOD(Clone)(IEnumMediaTypes **ppEnum) = 0;
};
__CRT_UUID_DECL(IEnumMediaTypes, 0x89c31040, 0x846b, 0x11ce, 0x97, 0xd3, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a)
typedef IEnumMediaTypes *PENUMMEDIATYPES;

DEFINE_GUID(IID_IFilterGraph, 0x56a8689f, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
MIDL_INTERFACE("56a8689f-0ad4-11ce-b03a-0020af0ba770") IFilterGraph : public IUnknown {
    STDMETHOD(AddFilter)(IBaseFilter *pFilter, LPCWSTR pName) = 0;
    STDMETHOD(RemoveFilter)(IBaseFilter *pFilter) = 0;
    STDMETHOD(EnumFilters)(IEnumFilters **ppEnum) = 0;
    STDMETHOD(FindFilterByName)(LPCWSTR pName, IBaseFilter **ppFilter) = 0;
    STDMETHOD(ConnectDirect)(IPin *ppinOut, IPin *ppinIn, const AM_MEDIA_TYPE *pmt) = 0;
    STDMETHOD(Reconnect)(IPin *ppin) = 0;
    STDMETHOD(Disconnect)(IPin *ppin) = 0;
    STDMETHOD(SetDefaultSyncSource)() = 0;
};
__CRT_UUID_DECL(IFilterGraph, 0x56a8689f, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
typedef IFilterGraph *PFILTERGRAPH;

DEFINE_GUID(IID_IEnumFilters, 0x56a86893, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
MIDL_INTERFACE("56a86893-0ad4-11ce-b03a-0020af0ba770") IEnumFilters : public IUnknown {
    STDMETHOD(Next)(ULONG cFilters, IBaseFilter **ppFilter, ULONG *pcFetched) = 0;
    STDMETHOD(Skip)(ULONG cFilters) = 0;
    STDMETHOD(Reset)() = 0;
    STDMETHOD(Clone)(IEnumFilters **ppEnum) = 0;
};
__CRT_UUID_DECL(IEnumFilters, 0x56a86893, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
typedef IEnumFilters *PENUMFILTERS;

typedef enum _FilterState {
    State_Stopped = 0,
    State_Paused = 1,
    State_Running = 2
} FILTER_STATE;

DEFINE_GUID(IID_IMediaFilter, 0x56a86899, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
MIDL_INTERFACE("56a86899-0ad4-11ce-b03a-0020af0ba770") IMediaFilter : public IPersist {
    STDMETHOD(Stop)() = 0;
    STDMETHOD(Pause)() = 0;
    STDMETHOD(Run)(REFERENCE_TIME tStart) = 0;
    STDMETHOD(GetState)(DWORD dwMilliSecsTimeout, FILTER_STATE *State) = 0;
    STDMETHOD(SetSyncSource)(IReferenceClock *pClock) = 0;
    STDMETHOD(GetSyncSource)(IReferenceClock **pClock) = 0;
};
__CRT_UUID_DECL(IMediaFilter, 0x56a86899, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
typedef IMediaFilter *PMEDIAFILTER;

typedef struct _FilterInfo {
    WCHAR achName[128];
    IFilterGraph *pGraph;
} FILTER_INFO;

DEFINE_GUID(IID_IBaseFilter, 0x56a86895, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
MIDL_INTERFACE("56a86895-0ad4-11ce-b03a-0020af0ba770") IBaseFilter : public IMediaFilter {
    STDMETHOD(EnumPins)(IEnumPins **ppEnum) = 0;
    STDMETHOD(FindPin)(LPCWSTR Id, IPin **ppPin) = 0;
    STDMETHOD(QueryFilterInfo)(FILTER_INFO *pInfo) = 0;
    STDMETHOD(JoinFilterGraph)(IFilterGraph *pGraph, LPCWSTR pName) = 0;
    STDMETHOD(QueryVendorInfo)(LPWSTR *pVendorInfo) = 0;
};
__CRT_UUID_DECL(IBaseFilter, 0x56a86895, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
typedef IBaseFilter *PFILTER;

DEFINE_GUID(IID_IReferenceClock, 0x56a86897, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
MIDL_INTERFACE("56a86897-0ad4-11ce-b03a-0020af0ba770") IReferenceClock : public IUnknown {
    STDMETHOD(GetTime)(REFERENCE_TIME *pTime) = 0;
    STDMETHOD(AdviseTime)(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT hEvent,
                          DWORD_PTR *pdwAdviseCookie) = 0;
    STDMETHOD(AdvisePeriodic)(REFERENCE_TIME startTime, REFERENCE_TIME periodTime, HSEMAPHORE hSemaphore,
                              DWORD_PTR *pdwAdviseCookie) = 0;
    STDMETHOD(Unadvise)(DWORD_PTR dwAdviseCookie) = 0;
};
__CRT_UUID_DECL(IReferenceClock, 0x56a86897, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
typedef IReferenceClock *PREFERENCECLOCK;

DEFINE_GUID(IID_IMediaSample, 0x56a8689a, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
MIDL_INTERFACE("56a8689a-0ad4-11ce-b03a-0020af0ba770") IMediaSample : public IUnknown {
    STDMETHOD(GetPointer)(BYTE **ppBuffer) = 0;
    STDMETHOD_(LONG, GetSize)() = 0;
    STDMETHOD(GetTime)(REFERENCE_TIME *pTimeStart, REFERENCE_TIME *pTimeEnd) = 0;
    STDMETHOD(SetTime)(REFERENCE_TIME *pTimeStart, REFERENCE_TIME *pTimeEnd) = 0;
    STDMETHOD(IsSyncPoint)() = 0;
    STDMETHOD(SetSyncPoint)(BOOL bIsSyncPoint) = 0;
    STDMETHOD(IsPreroll)() = 0;
    STDMETHOD(SetPreroll)(BOOL bIsPreroll) = 0;
    STDMETHOD_(LONG, GetActualDataLength)() = 0;
    STDMETHOD(SetActualDataLength)(LONG a) = 0;
    STDMETHOD(GetMediaType)(AM_MEDIA_TYPE **ppMediaType) = 0;
    STDMETHOD(SetMediaType)(AM_MEDIA_TYPE *pMediaType) = 0;
    STDMETHOD(IsDiscontinuity)() = 0;
    STDMETHOD(SetDiscontinuity)(BOOL bDiscontinuity) = 0;
    STDMETHOD(GetMediaTime)(LONGLONG *pTimeStart, LONGLONG *pTimeEnd) = 0;
    STDMETHOD(SetMediaTime)(LONGLONG *pTimeStart, LONGLONG *pTimeEnd) = 0;
};
__CRT_UUID_DECL(IMediaSample, 0x56a8689a, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
typedef IMediaSample *PMEDIASAMPLE;

enum tagAM_SAMPLE_PROPERTY_FLAGS {
    AM_SAMPLE_SPLICEPOINT = 0x1,
    AM_SAMPLE_PREROLL = 0x2,
    AM_SAMPLE_DATADISCONTINUITY = 0x4,
    AM_SAMPLE_TYPECHANGED = 0x8,
    AM_SAMPLE_TIMEVALID = 0x10,
    AM_SAMPLE_TIMEDISCONTINUITY = 0x40,
    AM_SAMPLE_FLUSH_ON_PAUSE = 0x80,
    AM_SAMPLE_STOPVALID = 0x100,
    AM_SAMPLE_ENDOFSTREAM = 0x200,
    AM_STREAM_MEDIA = 0,
    AM_STREAM_CONTROL = 1
};

typedef struct tagAM_SAMPLE2_PROPERTIES {
    DWORD cbData;
    DWORD dwTypeSpecificFlags;
    DWORD dwSampleFlags;
    LONG lActual;
    REFERENCE_TIME tStart;
    REFERENCE_TIME tStop;
    DWORD dwStreamId;
    AM_MEDIA_TYPE *pMediaType;
    BYTE *pbBuffer;
    LONG cbBuffer;
} AM_SAMPLE2_PROPERTIES;

DEFINE_GUID(IID_IMediaSample2, 0x36b73884, 0xc2c8, 0x11cf, 0x8b, 0x46, 0x00, 0x80, 0x5f, 0x6c, 0xef, 0x60);
MIDL_INTERFACE("36b73884-c2c8-11cf-8b46-00805f6cef60") IMediaSample2 : public IMediaSample {
    STDMETHOD(GetProperties)(DWORD cbProperties, BYTE *pbProperties) = 0;
    STDMETHOD(SetProperties)(DWORD cbProperties, const BYTE *pbProperties) = 0;
};
__CRT_UUID_DECL(IMediaSample2, 0x36b73884, 0xc2c8, 0x11cf, 0x8b, 0x46, 0x00, 0x80, 0x5f, 0x6c, 0xef, 0x60)
typedef IMediaSample2 *PMEDIASAMPLE2;

// Flags of IMemAllocator::GetBuffer.
#define AM_GBF_PREVFRAMESKIPPED 1
#define AM_GBF_NOTASYNCPOINT 2
#define AM_GBF_NOWAIT 4
#define AM_GBF_NODDSURFACELOCK 8

DEFINE_GUID(IID_IMemAllocator, 0x56a8689c, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
MIDL_INTERFACE("56a8689c-0ad4-11ce-b03a-0020af0ba770") IMemAllocator : public IUnknown {
    STDMETHOD(SetProperties)(ALLOCATOR_PROPERTIES *pRequest, ALLOCATOR_PROPERTIES *pActual) = 0;
    STDMETHOD(GetProperties)(ALLOCATOR_PROPERTIES *pProps) = 0;
    STDMETHOD(Commit)() = 0;
    STDMETHOD(Decommit)() = 0;
    STDMETHOD(GetBuffer)(IMediaSample **ppBuffer, REFERENCE_TIME *pStartTime, REFERENCE_TIME *pEndTime,
                         DWORD dwFlags) = 0;
    STDMETHOD(ReleaseBuffer)(IMediaSample *pBuffer) = 0;
};
__CRT_UUID_DECL(IMemAllocator, 0x56a8689c, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
typedef IMemAllocator *PMEMALLOCATOR;

DEFINE_GUID(IID_IMemAllocatorCallbackTemp, 0x379a0cf0, 0xc1de, 0x11d2, 0xab, 0xf5, 0x00, 0xa0, 0xc9, 0x05, 0xf3, 0x75);
MIDL_INTERFACE("379a0cf0-c1de-11d2-abf5-00a0c905f375") IMemAllocatorCallbackTemp : public IMemAllocator {
    STDMETHOD(SetNotify)(IMemAllocatorNotifyCallbackTemp *pNotify) = 0;
    STDMETHOD(GetFreeCount)(LONG *plBuffersFree) = 0;
};
__CRT_UUID_DECL(IMemAllocatorCallbackTemp, 0x379a0cf0, 0xc1de, 0x11d2, 0xab, 0xf5, 0x00, 0xa0, 0xc9, 0x05, 0xf3, 0x75)

DEFINE_GUID(IID_IMemAllocatorNotifyCallbackTemp, 0x92980b30, 0xc1de, 0x11d2, 0xab, 0xf5, 0x00, 0xa0, 0xc9, 0x05, 0xf3, 0x75);
MIDL_INTERFACE("92980b30-c1de-11d2-abf5-00a0c905f375") IMemAllocatorNotifyCallbackTemp : public IUnknown {
    STDMETHOD(NotifyRelease)() = 0;
};
__CRT_UUID_DECL(IMemAllocatorNotifyCallbackTemp, 0x92980b30, 0xc1de, 0x11d2, 0xab, 0xf5, 0x00, 0xa0, 0xc9, 0x05, 0xf3, 0x75)

DEFINE_GUID(IID_IMemInputPin, 0x56a8689d, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
MIDL_INTERFACE("56a8689d-0ad4-11ce-b03a-0020af0ba770") IMemInputPin : public IUnknown {
    STDMETHOD(GetAllocator)(IMemAllocator **ppAllocator) = 0;
    STDMETHOD(NotifyAllocator)(IMemAllocator *pAllocator, BOOL bReadOnly) = 0;
    STDMETHOD(GetAllocatorRequirements)(ALLOCATOR_PROPERTIES *pProps) = 0;
    STDMETHOD(Receive)(IMediaSample *pSample) = 0;
    STDMETHOD(ReceiveMultiple)(IMediaSample **pSamples, LONG nSamples, LONG *nSamplesProcessed) = 0;
    STDMETHOD(ReceiveCanBlock)() = 0;
};
__CRT_UUID_DECL(IMemInputPin, 0x56a8689d, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
typedef IMemInputPin *PMEMINPUTPIN;

DEFINE_GUID(IID_IAMovieSetup, 0xa3d8cec0, 0x7e5a, 0x11cf, 0xbb, 0xc5, 0x00, 0x80, 0x5f, 0x6c, 0xef, 0x20);
MIDL_INTERFACE("a3d8cec0-7e5a-11cf-bbc5-00805f6cef20") IAMovieSetup : public IUnknown {
    STDMETHOD(Register)() = 0;
    STDMETHOD(Unregister)() = 0;
};
__CRT_UUID_DECL(IAMovieSetup, 0xa3d8cec0, 0x7e5a, 0x11cf, 0xbb, 0xc5, 0x00, 0x80, 0x5f, 0x6c, 0xef, 0x20)
typedef IAMovieSetup *PAMOVIESETUP;

enum tagAM_MEDIAEVENT_FLAGS {
    AM_MEDIAEVENT_NONOTIFY = 0x1
};

typedef struct {
    CLSID Clsid;
    LPWSTR Name;
} REGFILTER;

DEFINE_GUID(IID_IEnumRegFilters, 0x56a868a4, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
MIDL_INTERFACE("56a868a4-0ad4-11ce-b03a-0020af0ba770") IEnumRegFilters : public IUnknown {
    STDMETHOD(Next)(ULONG cFilters, REGFILTER **apRegFilter, ULONG *pcFetched) = 0;
    STDMETHOD(Skip)(ULONG cFilters) = 0;
    STDMETHOD(Reset)() = 0;
    STDMETHOD(Clone)(IEnumRegFilters **ppEnum) = 0;
};
__CRT_UUID_DECL(IEnumRegFilters, 0x56a868a4, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
typedef IEnumRegFilters *PENUMREGFILTERS;

enum {
    MERIT_PREFERRED = 0x800000,
    MERIT_NORMAL = 0x600000,
    MERIT_UNLIKELY = 0x400000,
    MERIT_DO_NOT_USE = 0x200000,
    MERIT_SW_COMPRESSOR = 0x100000,
    MERIT_HW_COMPRESSOR = 0x100050
};

DEFINE_GUID(IID_IFilterMapper, 0x56a868a3, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
MIDL_INTERFACE("56a868a3-0ad4-11ce-b03a-0020af0ba770") IFilterMapper : public IUnknown {
    STDMETHOD(RegisterFilter)(CLSID clsid, LPCWSTR Name, DWORD dwMerit) = 0;
    STDMETHOD(RegisterFilterInstance)(CLSID clsid, LPCWSTR Name, CLSID *MRId) = 0;
    STDMETHOD(RegisterPin)(CLSID Filter, LPCWSTR Name, BOOL bRendered, BOOL bOutput, BOOL bZero, BOOL bMany,
                           CLSID ConnectsToFilter, LPCWSTR ConnectsToPin) = 0;
    STDMETHOD(RegisterPinType)(CLSID clsFilter, LPCWSTR strName, CLSID clsMajorType, CLSID clsSubType) = 0;
    STDMETHOD(UnregisterFilter)(CLSID Filter) = 0;
    STDMETHOD(UnregisterFilterInstance)(CLSID MRId) = 0;
    STDMETHOD(UnregisterPin)(CLSID Filter, LPCWSTR Name) = 0;
    STDMETHOD(EnumMatchingFilters)(IEnumRegFilters **ppEnum, DWORD dwMerit, BOOL bInputNeeded, CLSID clsInMaj,
                                   CLSID clsInSub, BOOL bRender, BOOL bOutputNeeded, CLSID clsOutMaj,
                                   CLSID clsOutSub) = 0;
};
__CRT_UUID_DECL(IFilterMapper, 0x56a868a3, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)

typedef struct {
    const CLSID *clsMajorType;
    const CLSID *clsMinorType;
} REGPINTYPES;

typedef struct {
    LPWSTR strName;
    BOOL bRendered;
    BOOL bOutput;
    BOOL bZero;
    BOOL bMany;
    const CLSID *clsConnectsToFilter;
    const WCHAR *strConnectsToPin;
    UINT nMediaTypes;
    const REGPINTYPES *lpMediaType;
} REGFILTERPINS;

typedef struct {
    CLSID clsMedium;
    DWORD dw1;
    DWORD dw2;
} REGPINMEDIUM;

enum {
    REG_PINFLAG_B_ZERO = 0x1,
    REG_PINFLAG_B_RENDERER = 0x2,
    REG_PINFLAG_B_MANY = 0x4,
    REG_PINFLAG_B_OUTPUT = 0x8
};

typedef struct {
    DWORD dwFlags;
    UINT cInstances;
    UINT nMediaTypes;
    const REGPINTYPES *lpMediaType;
    UINT nMediums;
    const REGPINMEDIUM *lpMedium;
    const CLSID *clsPinCategory;
} REGFILTERPINS2;

// dwVersion 1 uses cPins and rgPins, version 2 cPins2 and rgPins2.
typedef struct {
    DWORD dwVersion;
    DWORD dwMerit;
    union {
        struct {
            ULONG cPins;
            const REGFILTERPINS *rgPins;
        };
        struct {
            ULONG cPins2;
            const REGFILTERPINS2 *rgPins2;
        };
    };
} REGFILTER2;

DEFINE_GUID(IID_IFilterMapper2, 0xb79bb0b0, 0x33c1, 0x11d1, 0xab, 0xe1, 0x00, 0xa0, 0xc9, 0x05, 0xf3, 0x75);
MIDL_INTERFACE("b79bb0b0-33c1-11d1-abe1-00a0c905f375") IFilterMapper2 : public IUnknown {
    STDMETHOD(CreateCategory)(REFCLSID clsidCategory, DWORD dwCategoryMerit, LPCWSTR Description) = 0;
    STDMETHOD(UnregisterFilter)(const CLSID *pclsidCategory, LPCOLESTR szInstance, REFCLSID Filter) = 0;
    STDMETHOD(RegisterFilter)(REFCLSID clsidFilter, LPCWSTR Name, IMoniker **ppMoniker, const CLSID *pclsidCategory,
                              LPCOLESTR szInstance, const REGFILTER2 *prf2) = 0;
    STDMETHOD(EnumMatchingFilters)(IEnumMoniker **ppEnum, DWORD dwFlags, BOOL bExactMatch, DWORD dwMerit,
                                   BOOL bInputNeeded, DWORD cInputTypes, const GUID *pInputTypes,
                                   const REGPINMEDIUM *pMedIn, const CLSID *pPinCategoryIn, BOOL bRender,
                                   BOOL bOutputNeeded, DWORD cOutputTypes, const GUID *pOutputTypes,
                                   const REGPINMEDIUM *pMedOut, const CLSID *pPinCategoryOut) = 0;
};
__CRT_UUID_DECL(IFilterMapper2, 0xb79bb0b0, 0x33c1, 0x11d1, 0xab, 0xe1, 0x00, 0xa0, 0xc9, 0x05, 0xf3, 0x75)

typedef enum tagQualityMessageType {
    Famine = 0,
    Flood = 1
} QualityMessageType;

typedef struct tagQuality {
    QualityMessageType Type;
    LONG Proportion;
    REFERENCE_TIME Late;
    REFERENCE_TIME TimeStamp;
} Quality;

struct IQualityControl;
typedef IQualityControl *PQUALITYCONTROL;

DEFINE_GUID(IID_IQualityControl, 0x56a868a5, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
MIDL_INTERFACE("56a868a5-0ad4-11ce-b03a-0020af0ba770") IQualityControl : public IUnknown {
    STDMETHOD(Notify)(IBaseFilter *pSelf, Quality q) = 0;
    STDMETHOD(SetSink)(IQualityControl *piqc) = 0;
};
__CRT_UUID_DECL(IQualityControl, 0x56a868a5, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)

DEFINE_GUID(IID_IMediaEventSink, 0x56a868a2, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
MIDL_INTERFACE("56a868a2-0ad4-11ce-b03a-0020af0ba770") IMediaEventSink : public IUnknown {
    STDMETHOD(Notify)(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) = 0;
};
__CRT_UUID_DECL(IMediaEventSink, 0x56a868a2, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)
typedef IMediaEventSink *PMEDIAEVENTSINK;

DEFINE_GUID(IID_IGraphBuilder, 0x56a868a9, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70);
MIDL_INTERFACE("56a868a9-0ad4-11ce-b03a-0020af0ba770") IGraphBuilder : public IFilterGraph {
    STDMETHOD(Connect)(IPin *ppinOut, IPin *ppinIn) = 0;
    STDMETHOD(Render)(IPin *ppinOut) = 0;
    STDMETHOD(RenderFile)(LPCWSTR lpcwstrFile, LPCWSTR lpcwstrPlayList) = 0;
    STDMETHOD(AddSourceFilter)(LPCWSTR lpcwstrFileName, LPCWSTR lpcwstrFilterName, IBaseFilter **ppFilter) = 0;
    STDMETHOD(SetLogFile)(DWORD_PTR hFile) = 0;
    STDMETHOD(Abort)() = 0;
    STDMETHOD(ShouldOperationContinue)() = 0;
};
__CRT_UUID_DECL(IGraphBuilder, 0x56a868a9, 0x0ad4, 0x11ce, 0xb0, 0x3a, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70)

DEFINE_GUID(IID_ICaptureGraphBuilder2, 0x93e5a4e0, 0x2d50, 0x11d2, 0xab, 0xfa, 0x00, 0xa0, 0xc9, 0xc6, 0xe3, 0x8d);
MIDL_INTERFACE("93e5a4e0-2d50-11d2-abfa-00a0c9c6e38d") ICaptureGraphBuilder2 : public IUnknown {
    STDMETHOD(SetFiltergraph)(IGraphBuilder *pfg) = 0;
    STDMETHOD(GetFiltergraph)(IGraphBuilder **ppfg) = 0;
    STDMETHOD(SetOutputFileName)(const GUID *pType, LPCOLESTR lpstrFile, IBaseFilter **ppf,
                                 IFileSinkFilter **ppSink) = 0;
    STDMETHOD(FindInterface)(const GUID *pCategory, const GUID *pType, IBaseFilter *pf, REFIID riid, void **ppint) = 0;
    STDMETHOD(RenderStream)(const GUID *pCategory, const GUID *pType, IUnknown *pSource, IBaseFilter *pfCompressor,
                            IBaseFilter *pfRenderer) = 0;
    STDMETHOD(ControlStream)(const GUID *pCategory, const GUID *pType, IBaseFilter *pFilter, REFERENCE_TIME *pstart,
                             REFERENCE_TIME *pstop, WORD wStartCookie, WORD wStopCookie) = 0;
    STDMETHOD(AllocCapFile)(LPCOLESTR lpstr, DWORDLONG dwlSize) = 0;
    STDMETHOD(CopyCaptureFile)(LPOLESTR lpwstrOld, LPOLESTR lpwstrNew, int fAllowEscAbort,
                               IAMCopyCaptureFileProgress *pCallback) = 0;
    STDMETHOD(FindPin)(IUnknown *pSource, PIN_DIRECTION pindir, const GUID *pCategory, const GUID *pType,
                       BOOL fUnconnected, int num, IPin **ppPin) = 0;
};
__CRT_UUID_DECL(ICaptureGraphBuilder2, 0x93e5a4e0, 0x2d50, 0x11d2, 0xab, 0xfa, 0x00, 0xa0, 0xc9, 0xc6, 0xe3, 0x8d)

enum _AM_RENSDEREXFLAGS {
    AM_RENDEREX_RENDERTOEXISTINGRENDERERS = 0x1
};

DEFINE_GUID(IID_IFilterGraph2, 0x36b73882, 0xc2c8, 0x11cf, 0x8b, 0x46, 0x00, 0x80, 0x5f, 0x6c, 0xef, 0x60);
MIDL_INTERFACE("36b73882-c2c8-11cf-8b46-00805f6cef60") IFilterGraph2 : public IGraphBuilder {
    STDMETHOD(AddSourceFilterForMoniker)(IMoniker *pMoniker, IBindCtx *pCtx, LPCWSTR lpcwstrFilterName,
                                         IBaseFilter **ppFilter) = 0;
    STDMETHOD(ReconnectEx)(IPin *ppin, const AM_MEDIA_TYPE *pmt) = 0;
    STDMETHOD(RenderEx)(IPin *pPinOut, DWORD dwFlags, DWORD *pvContext) = 0;
};
__CRT_UUID_DECL(IFilterGraph2, 0x36b73882, 0xc2c8, 0x11cf, 0x8b, 0x46, 0x00, 0x80, 0x5f, 0x6c, 0xef, 0x60)

typedef struct _VIDEO_STREAM_CONFIG_CAPS {
    GUID guid;
    ULONG VideoStandard;
    SIZE InputSize;
    SIZE MinCroppingSize;
    SIZE MaxCroppingSize;
    int CropGranularityX;
    int CropGranularityY;
    int CropAlignX;
    int CropAlignY;
    SIZE MinOutputSize;
    SIZE MaxOutputSize;
    int OutputGranularityX;
    int OutputGranularityY;
    int StretchTapsX;
    int StretchTapsY;
    int ShrinkTapsX;
    int ShrinkTapsY;
    LONGLONG MinFrameInterval;
    LONGLONG MaxFrameInterval;
    LONG MinBitsPerSecond;
    LONG MaxBitsPerSecond;
} VIDEO_STREAM_CONFIG_CAPS;

typedef struct _AUDIO_STREAM_CONFIG_CAPS {
    GUID guid;
    ULONG MinimumChannels;
    ULONG MaximumChannels;
    ULONG ChannelsGranularity;
    ULONG MinimumBitsPerSample;
    ULONG MaximumBitsPerSample;
    ULONG BitsPerSampleGranularity;
    ULONG MinimumSampleFrequency;
    ULONG MaximumSampleFrequency;
    ULONG SampleFrequencyGranularity;
} AUDIO_STREAM_CONFIG_CAPS;

DEFINE_GUID(IID_IAMStreamConfig, 0xc6e13340, 0x30ac, 0x11d0, 0xa1, 0x8c, 0x00, 0xa0, 0xc9, 0x11, 0x89, 0x56);
MIDL_INTERFACE("c6e13340-30ac-11d0-a18c-00a0c9118956") IAMStreamConfig : public IUnknown {
    STDMETHOD(SetFormat)(AM_MEDIA_TYPE *pmt) = 0;
    STDMETHOD(GetFormat)(AM_MEDIA_TYPE **pmt) = 0;
    STDMETHOD(GetNumberOfCapabilities)(int *piCount, int *piSize) = 0;
    STDMETHOD(GetStreamCaps)(int iIndex, AM_MEDIA_TYPE **pmt, BYTE *pSCC) = 0;
};
__CRT_UUID_DECL(IAMStreamConfig, 0xc6e13340, 0x30ac, 0x11d0, 0xa1, 0x8c, 0x00, 0xa0, 0xc9, 0x11, 0x89, 0x56)

#ifndef _IKsPropertySet_
#define _IKsPropertySet_
#define KSPROPERTY_SUPPORT_GET 1
#define KSPROPERTY_SUPPORT_SET 2

typedef enum AMPROPERTY_PIN {
    AMPROPERTY_PIN_CATEGORY = 0,
    AMPROPERTY_PIN_MEDIUM = 1
} AMPROPERTY_PIN;

DEFINE_GUID(IID_IKsPropertySet, 0x31efac30, 0x515c, 0x11d0, 0xa9, 0xaa, 0x00, 0xaa, 0x00, 0x61, 0xbe, 0x93);
MIDL_INTERFACE("31efac30-515c-11d0-a9aa-00aa0061be93") IKsPropertySet : public IUnknown {
    STDMETHOD(Set)(REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData, DWORD cbInstanceData, LPVOID pPropData,
                   DWORD cbPropData) = 0;
    STDMETHOD(Get)(REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData, DWORD cbInstanceData, LPVOID pPropData,
                   DWORD cbPropData, DWORD *pcbReturned) = 0;
    STDMETHOD(QuerySupported)(REFGUID guidPropSet, DWORD dwPropID, DWORD *pTypeSupport) = 0;
};
__CRT_UUID_DECL(IKsPropertySet, 0x31efac30, 0x515c, 0x11d0, 0xa9, 0xaa, 0x00, 0xaa, 0x00, 0x61, 0xbe, 0x93)
#endif

enum _AM_FILTER_MISC_FLAGS {
    AM_FILTER_MISC_FLAGS_IS_RENDERER = 0x1,
    AM_FILTER_MISC_FLAGS_IS_SOURCE = 0x2
};

DEFINE_GUID(IID_IAMFilterMiscFlags, 0x2dd74950, 0xa890, 0x11d1, 0xab, 0xe8, 0x00, 0xa0, 0xc9, 0x05, 0xf3, 0x75);
MIDL_INTERFACE("2dd74950-a890-11d1-abe8-00a0c905f375") IAMFilterMiscFlags : public IUnknown {
    STDMETHOD_(ULONG, GetMiscFlags)() = 0;
};
__CRT_UUID_DECL(IAMFilterMiscFlags, 0x2dd74950, 0xa890, 0x11d1, 0xab, 0xe8, 0x00, 0xa0, 0xc9, 0x05, 0xf3, 0x75)
