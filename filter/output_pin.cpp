// The output pin's life: what it holds from construction (settings, tables,
// events, the raw buffer lists) to destruction, and the interfaces it
// answers for itself.
#include "output_pin.h"

#include "nvc480_filter.h"
#include "settings_store.h"

CPushPinNVC480::CPushPinNVC480(HRESULT *phr, CNVC480 *pFilter)
    : CSourceStream(L"NVC480 output pin", phr, pFilter, L"Out"), m_pNVC480(pFilter) {
    m_hBufferFree = CreateEvent(NULL, FALSE, FALSE, NULL);
    m_hFrameReady = CreateEvent(NULL, FALSE, FALSE, NULL);

    // Reading ahead on a thread of its own only pays when USB transfers can
    // overlap picture processing on another processor.
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    m_bCaptureMode = system.dwNumberOfProcessors >= 2;
    if (m_bCaptureMode) {
        SetEvent(m_hBufferFree);
        ResetEvent(m_hFrameReady);
        m_buffers[0].next = &m_buffers[1];
        m_buffers[1].next = &m_buffers[2];
        m_buffers[2].next = nullptr;
        m_pFree = &m_buffers[0];
        m_pReady = nullptr;
    }

    m_defects.count = 0;
    m_settings.SetDefaults();
    LoadCameraSettings(m_settings);
    BuildToneTable(m_tone, m_settings.Gamma, m_settings.Contrast);
    BuildGainTables(m_gains, m_settings.r, m_settings.g, m_settings.b);
}

CPushPinNVC480::~CPushPinNVC480() {
    ReleaseDevice();
    // Every destruction stores the settings, whether or not the pin streamed.
    SaveCameraSettings(m_settings);
    if (m_hBufferFree != NULL) CloseHandle(m_hBufferFree);
    if (m_hFrameReady != NULL) CloseHandle(m_hFrameReady);
}

STDMETHODIMP CPushPinNVC480::NonDelegatingQueryInterface(REFIID riid, void **ppv) {
    CheckPointer(ppv, E_POINTER);
    if (riid == IID_INVC480) return GetInterface(static_cast<INVC480 *>(this), ppv);
    if (riid == IID_IAMStreamConfig) return GetInterface(static_cast<IAMStreamConfig *>(this), ppv);
    if (riid == IID_IKsPropertySet) return GetInterface(static_cast<IKsPropertySet *>(this), ppv);
    if (riid == IID_ISpecifyPropertyPages) return GetInterface(static_cast<ISpecifyPropertyPages *>(this), ppv);
    return CSourceStream::NonDelegatingQueryInterface(riid, ppv);
}
