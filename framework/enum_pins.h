// Enumerates a filter's pins. The filter's pin version tells it when the pin
// list changed under it.
#pragma once

#include <vector>

#include "base_filter.h"

class CEnumPins : public IEnumPins {
public:
    // pEnumPins, when given, is the enumerator to clone.
    CEnumPins(CBaseFilter *pFilter, CEnumPins *pEnumPins);
    virtual ~CEnumPins();

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // Returns pins this enumerator has not returned yet, in index order; a
    // changed pin list is re-read first.
    STDMETHODIMP Next(ULONG cPins, IPin **ppPins, ULONG *pcFetched) override;
    STDMETHODIMP Skip(ULONG cPins) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumPins **ppEnum) override;

private:
    BOOL AreWeOutOfSync() const { return m_pFilter->GetPinVersion() != m_Version; }
    void Refresh();
    bool WasReturned(CBasePin *pin) const;

    int m_Position;
    int m_PinCount;
    CBaseFilter *m_pFilter;  // referenced
    LONG m_Version;
    volatile LONG m_cRef = 1;
    std::vector<CBasePin *> m_PinCache;  // the pins returned so far
};
