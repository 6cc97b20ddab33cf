#include "source_stream.h"

#include <evcode.h>

CSourceStream::CSourceStream(LPCWSTR pObjectName, HRESULT *phr, CSource *pms, LPCWSTR pName)
    : CAMThread(phr), CBaseOutputPin(pObjectName, pms, pms->pStateLock(), phr, pName), m_pFilter(pms) {
    HRESULT hr = m_pFilter->AddPin(this);
    if (FAILED(hr) && phr != NULL) *phr = hr;
}

CSourceStream::~CSourceStream() { m_pFilter->RemovePin(this); }

STDMETHODIMP CSourceStream::QueryId(LPWSTR *Id) {
    CheckPointer(Id, E_POINTER);
    *Id = NULL;
    int position = m_pFilter->FindPinNumber(this);
    if (position < 0) return VFW_E_NOT_FOUND;
    const int kLength = 12;
    *Id = static_cast<LPWSTR>(CoTaskMemAlloc(kLength * sizeof(WCHAR)));
    if (*Id == NULL) return E_OUTOFMEMORY;
    // Decimal digits of position + 1, most significant first.
    WCHAR digits[kLength];
    int count = 0;
    for (unsigned value = static_cast<unsigned>(position) + 1; value != 0; value /= 10) {
        digits[count++] = static_cast<WCHAR>(L'0' + value % 10);
    }
    for (int i = 0; i < count; i++) (*Id)[i] = digits[count - 1 - i];
    (*Id)[count] = L'\0';
    return S_OK;
}

HRESULT CSourceStream::GetMediaType(int iPosition, CMediaType *pMediaType) {
    CheckPointer(pMediaType, E_POINTER);
    if (iPosition < 0) return E_INVALIDARG;
    if (iPosition > 0) return VFW_S_NO_MORE_ITEMS;
    return GetMediaType(pMediaType);
}

HRESULT CSourceStream::CheckMediaType(const CMediaType *pMediaType) {
    CheckPointer(pMediaType, E_POINTER);
    CAutoLock lock(m_pFilter->pStateLock());
    CMediaType mine;
    if (FAILED(GetMediaType(&mine))) return E_FAIL;
    return mine == *pMediaType ? S_OK : E_FAIL;
}

HRESULT CSourceStream::Active() {
    CAutoLock lock(m_pFilter->pStateLock());
    if (m_pFilter->IsActive()) return S_FALSE;
    if (!IsConnected()) return S_OK;
    HRESULT hr = CBaseOutputPin::Active();
    if (FAILED(hr)) return hr;
    if (!Create()) {
        CBaseOutputPin::Inactive();
        return E_FAIL;
    }
    hr = Init();
    if (FAILED(hr)) {
        // The thread has ended after its failed start; forgetting it and the
        // committed buffers lets the next pause try again from the beginning.
        Close();
        CBaseOutputPin::Inactive();
        return hr;
    }
    return Pause();
}

HRESULT CSourceStream::Inactive() {
    CAutoLock lock(m_pFilter->pStateLock());
    if (!IsConnected()) return S_OK;
    // Decommitting first releases a streaming thread waiting for a buffer,
    // so that it can see the stop.
    HRESULT hr = CBaseOutputPin::Inactive();
    if (FAILED(hr)) return hr;
    if (ThreadExists()) {
        hr = Stop();
        if (FAILED(hr)) return hr;
        hr = Exit();
        if (FAILED(hr)) return hr;
        Close();
    }
    return S_OK;
}

DWORD CSourceStream::ThreadProc() {
    Command com;
    do {
        com = GetRequest();
        if (com != CMD_INIT) Reply(static_cast<DWORD>(E_UNEXPECTED));
    } while (com != CMD_INIT);

    HRESULT hr = OnThreadCreate();
    if (FAILED(hr)) {
        OnThreadDestroy();
        Reply(static_cast<DWORD>(hr));
        return 1;
    }
    Reply(S_OK);

    for (;;) {
        com = GetRequest();
        if (com == CMD_EXIT) {
            Reply(S_OK);
            break;
        }
        switch (com) {
        case CMD_RUN:
        case CMD_PAUSE:
            Reply(S_OK);
            DoBufferProcessingLoop();
            break;
        case CMD_STOP:
            Reply(S_OK);
            break;
        default:
            Reply(static_cast<DWORD>(E_NOTIMPL));
            break;
        }
    }
    hr = OnThreadDestroy();
    return FAILED(hr) ? 1 : 0;
}

HRESULT CSourceStream::DoBufferProcessingLoop() {
    OnThreadStartPlay();
    Command com;
    do {
        while (!CheckRequest(&com)) {
            IMediaSample *sample = NULL;
            HRESULT hr = GetDeliveryBuffer(&sample, NULL, NULL, 0);
            if (FAILED(hr) || sample == NULL) {
                // No buffer now; a stop decommits the allocator, so waiting
                // here never outlasts the next command.
                Sleep(1);
                continue;
            }
            hr = FillBuffer(sample);
            if (hr == S_OK) {
                hr = Deliver(sample);
                sample->Release();
                // Downstream wants no more until the next command.
                if (hr != S_OK) return S_OK;
            } else if (SUCCEEDED(hr)) {
                sample->Release();
                DeliverEndOfStream();
                return S_OK;
            } else {
                sample->Release();
                DeliverEndOfStream();
                m_pFilter->NotifyEvent(EC_ERRORABORT, hr, 0);
                return hr;
            }
        }
        // A command arrived between samples.
        if (com == CMD_RUN || com == CMD_PAUSE) {
            Reply(S_OK);
        } else if (com != CMD_STOP) {
            Reply(static_cast<DWORD>(E_UNEXPECTED));
        }
    } while (com != CMD_STOP);
    // The stop stays pending for ThreadProc to answer.
    return S_FALSE;
}
