// An output pin that delivers samples into the downstream pin's memory
// input. Connecting it decides the allocator the samples come from.
#pragma once

#include "base_pin.h"

class CBaseOutputPin : public CBasePin {
public:
    CBaseOutputPin(LPCWSTR pObjectName, CBaseFilter *pFilter, CCritSec *pLock, HRESULT *phr, LPCWSTR pName);
    ~CBaseOutputPin() override;

    // Connection: the peer must be an input pin with a memory input.
    HRESULT CheckConnect(IPin *pPin) override;
    HRESULT BreakConnect() override;
    HRESULT CompleteConnect(IPin *pReceivePin) override;

    // Chooses the allocator: the downstream pin's own if it has one that
    // fits, else a new platform memory allocator.
    virtual HRESULT DecideAllocator(IMemInputPin *pPin, IMemAllocator **pAlloc);
    // Sets the allocator's buffer count and size from the downstream pin's
    // requirements in ppropInputRequest.
    virtual HRESULT DecideBufferSize(IMemAllocator *pAlloc, ALLOCATOR_PROPERTIES *ppropInputRequest) = 0;
    virtual HRESULT InitAllocator(IMemAllocator **ppAlloc);

    // Delivery; these take no lock, they run on the streaming thread.
    virtual HRESULT GetDeliveryBuffer(IMediaSample **ppSample, REFERENCE_TIME *pStartTime,
                                      REFERENCE_TIME *pEndTime, DWORD dwFlags);
    virtual HRESULT Deliver(IMediaSample *pSample);
    virtual HRESULT DeliverEndOfStream();
    virtual HRESULT DeliverBeginFlush();
    virtual HRESULT DeliverEndFlush();
    virtual HRESULT DeliverNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate);

    // Commit and decommit of the allocator as the filter starts and stops.
    HRESULT Active() override;
    HRESULT Inactive() override;

    // An output pin receives no stream control calls.
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;

protected:
    IMemAllocator *m_pAllocator = NULL;  // referenced
    IMemInputPin *m_pInputPin = NULL;    // referenced
};
