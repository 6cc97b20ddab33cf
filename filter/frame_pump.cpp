// The output pin's frame pump: binding the camera on the streaming thread,
// the capture thread that reads raw frames ahead into three buffers, the
// per-frame work of FillBuffer and the pin's own buffer loop.
//
// Threads: everything here runs on the streaming thread, except CaptureLoop
// (the capture thread) and ReleaseDevice when the pin's destructor calls it
// (on the application's thread, once the streaming thread has ended). The
// device pointer changes only on the streaming thread, under the pin lock,
// and never while the capture thread runs, so both threads read it without
// the lock.
#include <evcode.h>

#include <cstdlib>
#include <memory>
#include <new>

#include "camera/demosaic.h"
#include "camera/device_binding.h"
#include "camera/picture_pipeline.h"
#include "nvc480_identity.h"
#include "output_pin.h"

namespace {

// Sample durations in milliseconds: the camera's frame period at each speed.
const REFERENCE_TIME kNormalSpeedFrameMs = 133;
const REFERENCE_TIME kHighSpeedFrameMs = 67;

// Collects what one automatic exposure step wants written to the camera, so
// the step can update the exposure settings under the pin lock and the slow
// register writes can follow without it.
class CExposureWrites final : public CExposureWriter {
public:
    BOOL SetAnalogGain(WORD gain) override {
        m_gain = gain;
        m_hasGain = TRUE;
        return TRUE;
    }
    BOOL SetExposure(WORD rows) override {
        m_rows = rows;
        m_hasRows = TRUE;
        return TRUE;
    }
    // In the order the step made them: gain, then exposure.
    void WriteTo(CExposureWriter &camera) const {
        if (m_hasGain) camera.SetAnalogGain(m_gain);
        if (m_hasRows) camera.SetExposure(m_rows);
    }

private:
    WORD m_gain = 0;
    WORD m_rows = 0;
    BOOL m_hasGain = FALSE;
    BOOL m_hasRows = FALSE;
};

LONG ReadFlag(volatile LONG *flag) { return InterlockedCompareExchange(flag, 0, 0); }

}  // namespace

HRESULT CPushPinNVC480::OnThreadCreate() {
    m_rtStreamTime = 0;
    const BOOL bound = BindDevice();
    m_dwLastTick = GetTickCount();
    return bound ? S_OK : E_FAIL;
}

HRESULT CPushPinNVC480::OnThreadStartPlay() {
    if (m_pDevice == nullptr) return E_FAIL;
    m_pDevice->StartStreaming();
    // The capture thread issues its first reads only now: each read waits at
    // most READ_WAIT_LIMIT_MS for data, and a camera that is not streaming
    // yet sends none, so reads issued at binding would fail the capture
    // thread whenever the loop starts later than that (a slow or loaded
    // machine between the pause's two commands). Waking it more than once
    // is harmless: it reads only into free buffers.
    if (m_hCaptureThread != NULL) SetEvent(m_hBufferFree);
    return S_OK;
}

HRESULT CPushPinNVC480::OnThreadDestroy() {
    ReleaseDevice();
    return S_OK;
}

BOOL CPushPinNVC480::BindDevice() {
    ReleaseDevice();
    {
        CAutoLock lock(&m_csPin);
        m_pDevice = BindCamera(NVC480_INSTANCE, m_settings, m_defects);
    }
    if (m_pDevice == nullptr) return FALSE;

    if (m_bCaptureMode) {
        InterlockedExchange(&m_bCaptureRun, TRUE);
        // Cleared, not set: OnThreadStartPlay lets the thread read.
        ResetEvent(m_hBufferFree);
        ResetEvent(m_hFrameReady);
        {
            CAutoLock lists(&m_csLists);
            m_buffers[0].next = &m_buffers[1];
            m_buffers[1].next = &m_buffers[2];
            m_buffers[2].next = nullptr;
            m_pFree = &m_buffers[0];
            m_pReady = nullptr;
        }
        // Healthy before the thread exists, so that a failure it meets at
        // once is not overwritten.
        InterlockedExchange(&m_bCaptureHealthy, TRUE);
        m_hCaptureThread = CreateThread(NULL, 0, CaptureThreadProc, this, 0, NULL);
        if (m_hCaptureThread == NULL) {
            InterlockedExchange(&m_bCaptureHealthy, FALSE);
            InterlockedExchange(&m_bCaptureRun, FALSE);
            m_bCaptureMode = FALSE;  // direct reads from now on
        }
    }
    return TRUE;
}

void CPushPinNVC480::ReleaseDevice() {
    if (m_hCaptureThread != NULL) {
        InterlockedExchange(&m_bCaptureRun, FALSE);
        // A read in progress would otherwise wait for a camera that may have
        // stopped sending.
        if (m_pDevice != nullptr) m_pDevice->EndReadFrame();
        SetEvent(m_hBufferFree);
        WaitForSingleObject(m_hCaptureThread, INFINITE);
        CloseHandle(m_hCaptureThread);
        m_hCaptureThread = NULL;
    }
    CAutoLock lock(&m_csPin);
    if (m_pDevice != nullptr) {
        m_pDevice->StopStreaming();
        delete m_pDevice;
        m_pDevice = nullptr;
    }
}

DWORD WINAPI CPushPinNVC480::CaptureThreadProc(LPVOID pPin) {
    static_cast<CPushPinNVC480 *>(pPin)->CaptureLoop();
    return 0;
}

void CPushPinNVC480::CaptureLoop() {
    while (ReadFlag(&m_bCaptureRun)) {
        WaitForSingleObject(m_hBufferFree, INFINITE);
        CRawBuffer *buffer;
        {
            CAutoLock lists(&m_csLists);
            buffer = m_pFree;
            if (buffer != nullptr) m_pFree = buffer->next;
        }
        while (buffer != nullptr && ReadFlag(&m_bCaptureRun)) {
            const int result = m_pDevice->ReadFrame(buffer->data);
            if (result < 0) {
                InterlockedExchange(&m_bCaptureHealthy, FALSE);
                // A FillBuffer waiting for a frame learns of the failure now
                // rather than at the next command.
                SetEvent(m_hFrameReady);
                return;
            }
            // The camera's next frame begins as this one ends and only a
            // little of it fits in the camera's FIFO: the next read has to
            // follow at once. So the frame is queued and the next buffer
            // taken in one go, and the streaming thread is woken only after
            // the list lock is free again.
            CRawBuffer *next;
            {
                CAutoLock lists(&m_csLists);
                if (result == 0) {
                    buffer->next = m_pFree;
                    m_pFree = buffer;
                } else {
                    buffer->next = nullptr;
                    CRawBuffer **tail = &m_pReady;
                    while (*tail != nullptr) tail = &(*tail)->next;
                    *tail = buffer;
                }
                next = m_pFree;
                if (next != nullptr) m_pFree = next->next;
            }
            if (result > 0) SetEvent(m_hFrameReady);
            buffer = next;
        }
    }
}

HRESULT CPushPinNVC480::FillBuffer(IMediaSample *pSample) {
    if (m_pDevice == nullptr) return E_FAIL;
    CheckPointer(pSample, E_POINTER);
    BYTE *picture = NULL;
    if (FAILED(pSample->GetPointer(&picture)) || picture == NULL) return E_POINTER;

    // The connected type cannot change while the streaming thread runs.
    if (m_mt.FormatLength() < sizeof(VIDEOINFOHEADER) || m_mt.Format() == NULL) return E_FAIL;
    const BITMAPINFOHEADER &header = reinterpret_cast<const VIDEOINFOHEADER *>(m_mt.Format())->bmiHeader;
    const int w = header.biWidth;
    const int h = std::abs(header.biHeight);
    // The picture is taken from inside one raw buffer: lines of w + 152
    // bytes after two leading lines.
    if (w <= 0 || h <= 0 || static_cast<ULONGLONG>(h + 2) * static_cast<ULONGLONG>(w + 152) > sizeof m_buffers[0].data) {
        return E_FAIL;
    }
    const LONG imageSize = static_cast<LONG>(GetBitmapSize(&header));
    if (pSample->GetSize() < imageSize) return E_FAIL;

    // The capture thread may fill a buffer again as soon as the picture no
    // longer reads it.
    auto returnRawBuffer = [this](CRawBuffer *buffer) {
        if (buffer == nullptr) return;
        {
            CAutoLock lists(&m_csLists);
            buffer->next = m_pFree;
            m_pFree = buffer;
        }
        SetEvent(m_hBufferFree);
    };
    // The step updates the exposure settings under the pin lock, so they
    // change as a group for the settings interface; the register writes,
    // the slow part, follow without it.
    auto autoExpose = [this](BYTE brightness) {
        CExposureWrites writes;
        {
            CAutoLock lock(&m_csPin);
            AutoExposeBrightness(brightness, m_settings, m_exposure, writes);
        }
        writes.WriteTo(*m_pDevice);
    };
    auto develop = [&](BYTE *raw, CRawBuffer *buffer) {
        CorrectDefects(raw, w, h, m_defects);
        BYTE brightness = 0;
        BOOL balancePending;
        {
            CAutoLock lock(&m_csPin);
            balancePending = m_settings.bAutoWB != 0;
            if (!balancePending) brightness = DevelopPicture(raw, picture, w, h, m_settings, m_gains, m_tone);
        }
        if (!balancePending) {
            returnRawBuffer(buffer);
            autoExpose(brightness);
            return;
        }
        // A one-push white balance takes its gains from the whole demosaiced
        // picture before any colour step, so this frame goes through a
        // scratch picture. Without memory for one it is finished in place,
        // unsmoothed.
        std::unique_ptr<BYTE[]> scratch(new (std::nothrow) BYTE[static_cast<size_t>(w) * h * 3]);
        BYTE *demosaiced = scratch ? scratch.get() : picture;
        {
            CAutoLock lock(&m_csPin);
            Demosaic(raw, demosaiced, w, h, m_settings.Speed);
        }
        returnRawBuffer(buffer);
        autoExpose(MeasureBrightness(demosaiced, w, h));
        CCameraSettings measured;
        {
            CAutoLock lock(&m_csPin);
            measured = m_settings;
        }
        OnePushWhiteBalance(demosaiced, w, h, measured);
        CAutoLock lock(&m_csPin);
        // A SetWhiteBalance that withdrew the request meanwhile keeps its gains.
        if (m_settings.bAutoWB) {
            m_settings.r = measured.r;
            m_settings.g = measured.g;
            m_settings.b = measured.b;
            BuildGainTables(m_gains, m_settings.r, m_settings.g, m_settings.b);
            m_settings.bAutoWB = 0;
        }
        FinishPicture(demosaiced, picture, w, h, m_settings, m_gains, m_tone);
    };

    if (m_bCaptureMode) {
        if (!ReadFlag(&m_bCaptureHealthy)) return E_FAIL;
        CRawBuffer *buffer;
        {
            CAutoLock lists(&m_csLists);
            buffer = m_pReady;
            if (buffer != nullptr) m_pReady = buffer->next;
        }
        if (buffer == nullptr) {
            // A pending command or a frame (or the capture thread's failure)
            // ends the wait; the loop then asks again.
            HANDLE waits[2] = {GetRequestHandle(), m_hFrameReady};
            WaitForMultipleObjects(2, waits, FALSE, INFINITE);
            return ReadFlag(&m_bCaptureHealthy) ? S_FALSE : E_FAIL;
        }
        develop(buffer->data, buffer);
    } else {
        const int result = m_pDevice->ReadFrame(m_buffers[0].data);
        if (result < 0) return E_FAIL;
        if (result == 0) return S_FALSE;
        develop(m_buffers[0].data, nullptr);
    }
    pSample->SetActualDataLength(imageSize);

    m_dwLastTick = GetTickCount();
    REFERENCE_TIME start = m_rtStreamTime;
    m_rtStreamTime += (m_settings.Speed != 0 ? kHighSpeedFrameMs : kNormalSpeedFrameMs) * 10000;
    REFERENCE_TIME stop = m_rtStreamTime;
    pSample->SetTime(&start, &stop);
    pSample->SetSyncPoint(TRUE);
    return S_OK;
}

HRESULT CPushPinNVC480::DoBufferProcessingLoop() {
    OnThreadStartPlay();
    for (;;) {
        Command command;
        if (CheckRequest(&command)) {
            if (command == CMD_STOP) return S_FALSE;  // left for ThreadProc to answer
            Reply(command == CMD_RUN || command == CMD_PAUSE ? S_OK : static_cast<DWORD>(E_UNEXPECTED));
            continue;
        }
        IMediaSample *sample = NULL;
        HRESULT hr = GetDeliveryBuffer(&sample, NULL, NULL, 0);
        if (FAILED(hr) || sample == NULL) {
            // A stop decommits the allocator first, so this never outlasts
            // the next command.
            Sleep(1);
            continue;
        }
        hr = FillBuffer(sample);
        if (hr == S_OK) {
            hr = Deliver(sample);
            sample->Release();
            // Downstream wants no more until the next RUN or PAUSE.
            if (hr != S_OK) return S_OK;
        } else if (hr == S_FALSE) {
            // No frame this time; a live source has not ended its stream.
            sample->Release();
        } else {
            sample->Release();
            DeliverEndOfStream();
            m_pFilter->NotifyEvent(EC_ERRORABORT, hr, 0);
            return hr;
        }
    }
}
