// The sample grabber's interfaces: an application sees each sample that
// passes through the grabber, by callback or from its buffer. The grabber
// and null renderer classes are not declared here, as on Windows: programs
// declare CLSID_SampleGrabber and CLSID_NullRenderer themselves, and the
// identifier library defines them.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oaidl.h>
#include <ocidl.h>
#include <strmif.h>

struct ISampleGrabberCB;

DEFINE_GUID(IID_ISampleGrabberCB, 0x0579154a, 0x2b53, 0x4994, 0xb0, 0xd0, 0xe7, 0x73, 0x14, 0x8e, 0xff, 0x85);
MIDL_INTERFACE("0579154a-2b53-4994-b0d0-e773148eff85") ISampleGrabberCB : public IUnknown {
    STDMETHOD(SampleCB)(double SampleTime, IMediaSample *pSample) = 0;
    STDMETHOD(BufferCB)(double SampleTime, BYTE *pBuffer, LONG BufferLen) = 0;
};
__CRT_UUID_DECL(ISampleGrabberCB, 0x0579154a, 0x2b53, 0x4994, 0xb0, 0xd0, 0xe7, 0x73, 0x14, 0x8e, 0xff, 0x85)

DEFINE_GUID(IID_ISampleGrabber, 0x6b652fff, 0x11fe, 0x4fce, 0x92, 0xad, 0x02, 0x66, 0xb5, 0xd7, 0xc7, 0x8f);
MIDL_INTERFACE("6b652fff-11fe-4fce-92ad-0266b5d7c78f") ISampleGrabber : public IUnknown {
    STDMETHOD(SetOneShot)(BOOL OneShot) = 0;
    STDMETHOD(SetMediaType)(const AM_MEDIA_TYPE *pType) = 0;
    STDMETHOD(GetConnectedMediaType)(AM_MEDIA_TYPE *pType) = 0;
    STDMETHOD(SetBufferSamples)(BOOL BufferThem) = 0;
    STDMETHOD(GetCurrentBuffer)(LONG *pBufferSize, LONG *pBuffer) = 0;
    STDMETHOD(GetCurrentSample)(IMediaSample **ppSample) = 0;
    STDMETHOD(SetCallback)(ISampleGrabberCB *pCallback, LONG WhichMethodToCallback) = 0;
};
__CRT_UUID_DECL(ISampleGrabber, 0x6b652fff, 0x11fe, 0x4fce, 0x92, 0xad, 0x02, 0x66, 0xb5, 0xd7, 0xc7, 0x8f)
