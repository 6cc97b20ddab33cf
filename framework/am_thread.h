// A worker thread commanded through a one-slot channel: a caller posts one
// request and blocks until the worker replies to it; callers queue up on the
// access lock.
#pragma once

#include "sync.h"

class CAMThread {
public:
    explicit CAMThread(HRESULT *phr = NULL);
    virtual DWORD ThreadProc() = 0;
    virtual ~CAMThread();
    CAMThread(const CAMThread &) = delete;
    CAMThread &operator=(const CAMThread &) = delete;

    // Starts the worker unless one exists; true when a new one was started.
    BOOL Create();
    // Waits for the worker to end and forgets it.
    void Close();
    BOOL ThreadExists() const { return m_hThread != NULL; }

    // Caller side: posts dwParam and returns the worker's reply; E_FAIL
    // without a worker.
    DWORD CallWorker(DWORD dwParam);

    // Worker side. A request stays pending until Reply.
    DWORD GetRequest();
    BOOL CheckRequest(DWORD *pParam);
    void Reply(DWORD dw);
    HANDLE GetRequestHandle() const { return m_EventSend; }
    DWORD GetRequestParam() const { return m_dwParam; }

    static DWORD WINAPI InitialThreadProc(LPVOID pv);

private:
    CAMEvent m_EventSend;      // manual reset: set while a request is pending
    CAMEvent m_EventComplete;  // automatic reset: one per reply
    DWORD m_dwParam = 0;
    DWORD m_dwReturnVal = 0;

protected:
    HANDLE volatile m_hThread = NULL;
    CCritSec m_AccessLock;  // serialises callers
    CCritSec m_WorkerLock;  // for the derived class
};
