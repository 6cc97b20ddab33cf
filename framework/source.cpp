#include "source.h"

#include <new>

#include "source_stream.h"

CSource::CSource(LPCWSTR pName, LPUNKNOWN lpunk, CLSID clsid, HRESULT *phr)
    : CBaseFilter(pName, lpunk, &m_cStateLock, clsid, phr) {}

CSource::CSource(LPCWSTR pName, LPUNKNOWN lpunk, CLSID clsid) : CBaseFilter(pName, lpunk, &m_cStateLock, clsid) {}

CSource::~CSource() {
    // Each pin's destructor takes it out of the list.
    while (m_iPins != 0) delete m_paStreams[m_iPins - 1];
    delete[] m_paStreams;
}

int CSource::GetPinCount() {
    CAutoLock lock(&m_cStateLock);
    return m_iPins;
}

CBasePin *CSource::GetPin(int n) {
    CAutoLock lock(&m_cStateLock);
    if (n < 0 || n >= m_iPins) return NULL;
    return m_paStreams[n];
}

HRESULT CSource::AddPin(CSourceStream *pStream) {
    CAutoLock lock(&m_cStateLock);
    CSourceStream **streams = new (std::nothrow) CSourceStream *[m_iPins + 1];
    if (streams == NULL) return E_OUTOFMEMORY;
    for (int i = 0; i < m_iPins; i++) streams[i] = m_paStreams[i];
    streams[m_iPins] = pStream;
    delete[] m_paStreams;
    m_paStreams = streams;
    m_iPins++;
    IncrementPinVersion();
    return S_OK;
}

HRESULT CSource::RemovePin(CSourceStream *pStream) {
    CAutoLock lock(&m_cStateLock);
    for (int i = 0; i < m_iPins; i++) {
        if (m_paStreams[i] != pStream) continue;
        for (int j = i + 1; j < m_iPins; j++) m_paStreams[j - 1] = m_paStreams[j];
        m_iPins--;
        if (m_iPins == 0) {
            delete[] m_paStreams;
            m_paStreams = NULL;
        }
        IncrementPinVersion();
        return S_OK;
    }
    return S_FALSE;
}

int CSource::FindPinNumber(IPin *iPin) {
    CAutoLock lock(&m_cStateLock);
    for (int i = 0; i < m_iPins; i++) {
        if (static_cast<IPin *>(m_paStreams[i]) == iPin) return i;
    }
    return -1;
}
