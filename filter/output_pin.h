// The filter's single output pin: it owns the camera settings, the raw frame
// buffers, the tables of the image pipeline and, while its streaming thread
// runs, the device channel. It offers 24-bit RGB pictures, answers the
// capture interfaces (stream configuration, pin category, its property page)
// and the camera control interface, and pumps frames from the camera through
// the pipeline into samples.
//
// Locks: the filter's state lock (media types, allocator sizing, the size
// setter); the pin lock (device binding and release, grouped settings,
// demosaic and tone table); the list lock (the raw buffer lists). The pin
// lock and the list lock are never held together.
#pragma once

#include <streams.h>

#include "camera/auto_exposure.h"
#include "camera/colour_processing.h"
#include "camera/device_channel.h"
#include "camera/raw_frame.h"
#include "filter/camera_settings.h"
#include "invc480.h"

class CNVC480;

// A raw frame buffer of the capture ring: a link and room for a frame.
struct CRawBuffer {
    CRawBuffer *next;
    BYTE data[0x280200];  // 2 621 952 bytes
};

class CPushPinNVC480 : public CSourceStream,
                       public IAMStreamConfig,
                       public IKsPropertySet,
                       public ISpecifyPropertyPages,
                       public INVC480 {
public:
    // Builds the pin "Out" (entering it in the filter's pin list), loads the
    // stored settings and builds the tables; opens no device.
    CPushPinNVC480(HRESULT *phr, CNVC480 *pFilter);
    // Releases the device and saves the settings.
    ~CPushPinNVC480() override;

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override;

    // ---- Formats and negotiation (pin_formats.cpp)
    HRESULT CheckMediaType(const CMediaType *pMediaType) override;
    HRESULT SetMediaType(const CMediaType *pMediaType) override;
    HRESULT GetMediaType(int iPosition, CMediaType *pMediaType) override;
    using CSourceStream::GetMediaType;
    HRESULT DecideBufferSize(IMemAllocator *pAlloc, ALLOCATOR_PROPERTIES *pRequest) override;
    // The pin does not adapt its rate to quality reports: E_FAIL.
    STDMETHODIMP Notify(IBaseFilter *pSender, Quality q) override;
    // The RGB24 type of size index `index`: only index 0 is built
    // (VFW_S_NO_MORE_ITEMS above it, E_INVALIDARG below 0).
    HRESULT BuildVideoType(int index, CMediaType *pMediaType);

    // IAMStreamConfig
    STDMETHODIMP SetFormat(AM_MEDIA_TYPE *pmt) override;
    STDMETHODIMP GetFormat(AM_MEDIA_TYPE **ppmt) override;
    STDMETHODIMP GetNumberOfCapabilities(int *piCount, int *piSize) override;
    STDMETHODIMP GetStreamCaps(int iIndex, AM_MEDIA_TYPE **ppmt, BYTE *pSCC) override;

    // IKsPropertySet: the pin category, read only.
    STDMETHODIMP Set(REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData, DWORD cbInstanceData,
                     LPVOID pPropData, DWORD cbPropData) override;
    STDMETHODIMP Get(REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData, DWORD cbInstanceData,
                     LPVOID pPropData, DWORD cbPropData, DWORD *pcbReturned) override;
    STDMETHODIMP QuerySupported(REFGUID guidPropSet, DWORD dwPropID, DWORD *pTypeSupport) override;

    // ISpecifyPropertyPages: the video size page.
    STDMETHODIMP GetPages(CAUUID *pPages) override;

    // ---- The camera control interface (camera_control.cpp)
    DECLARE_INVC480_METHODS

protected:
    // ---- The frame pump (frame_pump.cpp), on the streaming thread
    HRESULT OnThreadCreate() override;
    HRESULT OnThreadStartPlay() override;
    HRESULT OnThreadDestroy() override;
    HRESULT DoBufferProcessingLoop() override;
    HRESULT FillBuffer(IMediaSample *pSample) override;

    // Binds the camera (releasing any earlier binding) and starts the capture
    // thread in capture mode; whether a device is bound.
    BOOL BindDevice();
    // Ends the capture thread, then stops and deletes the device.
    void ReleaseDevice();
    // The capture thread: reads frames into free buffers, queues them ready.
    void CaptureLoop();
    static DWORD WINAPI CaptureThreadProc(LPVOID pPin);

    CNVC480 *const m_pNVC480;

    // Settings (filter/camera_settings.h) and what is built from them.
    CCameraSettings m_settings;
    BOOL m_bFormatSet = FALSE;  // SetFormat succeeded once; SetMediaType then keeps the size
    CToneTable m_tone;
    CGainTables m_gains;
    CAutoExposureState m_exposure;
    CDefectList m_defects;

    // The frame pump's state.
    REFERENCE_TIME m_rtStreamTime = 0;  // start of the next sample
    DWORD m_dwLastTick = 0;
    CDeviceChannel *m_pDevice = nullptr;  // owned; non-null exactly while bound
    CCritSec m_csPin;
    BOOL m_bCaptureMode = FALSE;  // a capture thread reads ahead (two or more processors)
    CCritSec m_csLists;
    HANDLE m_hBufferFree = NULL;   // auto-reset: wakes the capture thread
    HANDLE m_hFrameReady = NULL;   // auto-reset: a frame was queued
    HANDLE m_hCaptureThread = NULL;
    volatile LONG m_bCaptureHealthy = FALSE;
    volatile LONG m_bCaptureRun = FALSE;
    CRawBuffer *m_pReady = nullptr;  // FIFO head
    CRawBuffer *m_pFree = nullptr;   // LIFO head
    CRawBuffer m_buffers[3];
};
