// Enumerates a pin's preferred media types, as the pin's GetMediaType gives
// them by position. The pin's type version tells it when they changed.
#pragma once

#include <strmif.h>
#include <vfwmsgs.h>

class CBasePin;

class CEnumMediaTypes : public IEnumMediaTypes {
public:
    // pEnumMediaTypes, when given, is the enumerator to clone.
    CEnumMediaTypes(CBasePin *pPin, CEnumMediaTypes *pEnumMediaTypes);
    virtual ~CEnumMediaTypes();

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // Each type is a task-memory record the caller deletes.
    STDMETHODIMP Next(ULONG cMediaTypes, AM_MEDIA_TYPE **ppMediaTypes, ULONG *pcFetched) override;
    STDMETHODIMP Skip(ULONG cMediaTypes) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumMediaTypes **ppEnum) override;

private:
    BOOL AreWeOutOfSync() const;

    int m_Position;
    CBasePin *m_pPin;  // referenced
    LONG m_Version;
    volatile LONG m_cRef = 1;
};
