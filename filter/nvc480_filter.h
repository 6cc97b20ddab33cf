// The video capture source filter: a source filter of the framework with
// one output pin, which owns everything of the capture. The filter adds its
// build's identity, the camera control interface (forwarded to the pin), its
// property page and the statement that it is a live source that cannot cue.
#pragma once

#include <streams.h>

#include "invc480.h"

class CPushPinNVC480;

class CNVC480 : public CSource, public INVC480, public ISpecifyPropertyPages, public IAMFilterMiscFlags {
public:
    // The factory template's creation function: the filter, or nullptr with
    // E_OUTOFMEMORY in *phr (phr may be null).
    static CUnknown *WINAPI CreateInstance(LPUNKNOWN pUnk, HRESULT *phr);

    CNVC480(LPUNKNOWN pUnk, HRESULT *phr);
    ~CNVC480() override;

    DECLARE_IUNKNOWN
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void **ppv) override;

    // Paused is VFW_S_CANT_CUE: a live source has nothing to show before it runs.
    STDMETHODIMP GetState(DWORD dwMSecs, FILTER_STATE *State) override;

    // ISpecifyPropertyPages: the setup page.
    STDMETHODIMP GetPages(CAUUID *pPages) override;

    // IAMFilterMiscFlags: a source.
    STDMETHODIMP_(ULONG) GetMiscFlags() override;

    // INVC480: each method checks the getters' pointers and forwards to the pin.
    DECLARE_INVC480_METHODS

private:
    CPushPinNVC480 *m_pPin = nullptr;  // owned
};
