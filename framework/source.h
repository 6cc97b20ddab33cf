// A source filter: a filter whose pins are source streams. It owns the
// state lock it shares with its pins, and the pin list the pins enter and
// leave themselves.
#pragma once

#include "base_filter.h"

class CSourceStream;

class CSource : public CBaseFilter {
public:
    CSource(LPCWSTR pName, LPUNKNOWN lpunk, CLSID clsid, HRESULT *phr);
    CSource(LPCWSTR pName, LPUNKNOWN lpunk, CLSID clsid);
    // Deletes the pins still in the list, last first.
    ~CSource() override;

    int GetPinCount() override;
    CBasePin *GetPin(int n) override;

    CCritSec *pStateLock() { return &m_cStateLock; }

    // Called by a pin's constructor and destructor.
    HRESULT AddPin(CSourceStream *pStream);
    HRESULT RemovePin(CSourceStream *pStream);

    // The pin's 0-based position in the list, or -1.
    int FindPinNumber(IPin *iPin);

protected:
    int m_iPins = 0;
    CSourceStream **m_paStreams = NULL;
    CCritSec m_cStateLock;
};
