// The output pin of a source filter, with a streaming thread of its own that
// fills samples and delivers them. The filter's state changes command the
// thread: leaving Stopped starts it (CMD_INIT, then CMD_PAUSE: samples flow
// from then on), returning to Stopped ends it (CMD_STOP, CMD_EXIT).
#pragma once

#include "am_thread.h"
#include "base_output_pin.h"
#include "source.h"

class CSourceStream : public CAMThread, public CBaseOutputPin {
public:
    CSourceStream(LPCWSTR pObjectName, HRESULT *phr, CSource *pms, LPCWSTR pName);
    ~CSourceStream() override;

protected:
    // Any value may arrive; the thread refuses those it does not know.
    enum Command : DWORD { CMD_INIT, CMD_PAUSE, CMD_RUN, CMD_STOP, CMD_EXIT };

    // The thread's procedure: init, then commands until CMD_EXIT.
    DWORD ThreadProc() override;

    // Fills one sample. S_OK delivers it; S_FALSE ends the stream; a failure
    // ends it with an error the graph is told about.
    virtual HRESULT FillBuffer(IMediaSample *pSamp) = 0;
    // On the streaming thread: when it starts (a failure stops it), when it
    // ends, and each time the buffer loop starts.
    virtual HRESULT OnThreadCreate() { return S_OK; }
    virtual HRESULT OnThreadDestroy() { return S_OK; }
    virtual HRESULT OnThreadStartPlay() { return S_OK; }
    // Fills and delivers until a CMD_STOP arrives or the stream ends.
    virtual HRESULT DoBufferProcessingLoop();

public:
    // The single type this pin offers; the base has none.
    virtual HRESULT GetMediaType(CMediaType *pMediaType) { return E_UNEXPECTED; }
    HRESULT GetMediaType(int iPosition, CMediaType *pMediaType) override;
    // S_OK for the single type of GetMediaType, else E_FAIL.
    HRESULT CheckMediaType(const CMediaType *pMediaType) override;

    // The filter's state changes, under its state lock.
    HRESULT Active() override;
    HRESULT Inactive() override;
    using CBaseOutputPin::Run;

    // The pin's 1-based position in the filter, as FindPin takes it.
    STDMETHODIMP QueryId(LPWSTR *Id) override;

protected:
    HRESULT Init() { return static_cast<HRESULT>(CallWorker(CMD_INIT)); }
    HRESULT Exit() { return static_cast<HRESULT>(CallWorker(CMD_EXIT)); }
    HRESULT Run() { return static_cast<HRESULT>(CallWorker(CMD_RUN)); }
    HRESULT Pause() { return static_cast<HRESULT>(CallWorker(CMD_PAUSE)); }
    HRESULT Stop() { return static_cast<HRESULT>(CallWorker(CMD_STOP)); }
    Command GetRequest() { return static_cast<Command>(CAMThread::GetRequest()); }
    BOOL CheckRequest(Command *pCom) {
        DWORD param = 0;
        if (!CAMThread::CheckRequest(&param)) return FALSE;
        if (pCom != NULL) *pCom = static_cast<Command>(param);
        return TRUE;
    }

    CSource *m_pFilter;
};
