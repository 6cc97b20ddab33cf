// The locks and events the filter module synchronises with.
#pragma once

#include <windows.h>

class CCritSec {
public:
    CCritSec() { InitializeCriticalSection(&m_CritSec); }
    ~CCritSec() { DeleteCriticalSection(&m_CritSec); }
    CCritSec(const CCritSec &) = delete;
    CCritSec &operator=(const CCritSec &) = delete;

    void Lock() { EnterCriticalSection(&m_CritSec); }
    void Unlock() { LeaveCriticalSection(&m_CritSec); }

private:
    CRITICAL_SECTION m_CritSec;
};

// Holds a CCritSec for the lifetime of a scope.
class CAutoLock {
public:
    explicit CAutoLock(CCritSec *plock) : m_pLock(plock) { m_pLock->Lock(); }
    ~CAutoLock() { m_pLock->Unlock(); }
    CAutoLock(const CAutoLock &) = delete;
    CAutoLock &operator=(const CAutoLock &) = delete;

private:
    CCritSec *const m_pLock;
};

// An unnamed event, initially not set. A failed creation is reported through
// phr, unless that already holds a failure.
class CAMEvent {
public:
    explicit CAMEvent(BOOL fManualReset = FALSE, HRESULT *phr = NULL) {
        m_hEvent = CreateEventW(NULL, fManualReset, FALSE, NULL);
        if (m_hEvent == NULL && phr != NULL && SUCCEEDED(*phr)) *phr = E_OUTOFMEMORY;
    }
    ~CAMEvent() {
        if (m_hEvent != NULL) CloseHandle(m_hEvent);
    }
    CAMEvent(const CAMEvent &) = delete;
    CAMEvent &operator=(const CAMEvent &) = delete;

    operator HANDLE() const { return m_hEvent; }
    void Set() { SetEvent(m_hEvent); }
    void Reset() { ResetEvent(m_hEvent); }
    // True only when the event was signalled within dwTimeout milliseconds.
    BOOL Wait(DWORD dwTimeout = INFINITE) { return WaitForSingleObject(m_hEvent, dwTimeout) == WAIT_OBJECT_0; }
    BOOL Check() { return Wait(0); }

protected:
    HANDLE m_hEvent;
};
