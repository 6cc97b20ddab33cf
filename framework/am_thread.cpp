#include "am_thread.h"

#include <objbase.h>

CAMThread::CAMThread(HRESULT *phr) : m_EventSend(TRUE, phr), m_EventComplete(FALSE, phr) {}

CAMThread::~CAMThread() { Close(); }

DWORD WINAPI CAMThread::InitialThreadProc(LPVOID pv) {
    // The worker may talk to COM objects (the allocator, the downstream pin),
    // so it enters COM if the runtime is loaded, without making the module
    // depend on it.
    typedef HRESULT(STDAPICALLTYPE * CoInitializeExFunction)(LPVOID, DWORD);
    HRESULT hrCoInit = E_FAIL;
    HMODULE ole32 = GetModuleHandleA("ole32.dll");
    if (ole32 != NULL) {
        auto coInitializeEx = reinterpret_cast<CoInitializeExFunction>(
            reinterpret_cast<void *>(GetProcAddress(ole32, "CoInitializeEx")));
        if (coInitializeEx != NULL) hrCoInit = coInitializeEx(NULL, COINIT_DISABLE_OLE1DDE);
    }
    CAMThread *thread = static_cast<CAMThread *>(pv);
    DWORD result = thread->ThreadProc();
    if (SUCCEEDED(hrCoInit)) CoUninitialize();
    return result;
}

BOOL CAMThread::Create() {
    CAutoLock lock(&m_AccessLock);
    if (ThreadExists()) return FALSE;
    DWORD threadId = 0;
    m_hThread = CreateThread(NULL, 0, CAMThread::InitialThreadProc, this, 0, &threadId);
    return m_hThread != NULL;
}

void CAMThread::Close() {
    HANDLE thread = InterlockedExchangePointer(const_cast<PVOID volatile *>(&m_hThread), NULL);
    if (thread != NULL) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}

DWORD CAMThread::CallWorker(DWORD dwParam) {
    CAutoLock lock(&m_AccessLock);
    if (!ThreadExists()) return static_cast<DWORD>(E_FAIL);
    m_dwParam = dwParam;
    m_EventSend.Set();
    m_EventComplete.Wait();
    return m_dwReturnVal;
}

DWORD CAMThread::GetRequest() {
    m_EventSend.Wait();
    return m_dwParam;
}

BOOL CAMThread::CheckRequest(DWORD *pParam) {
    if (!m_EventSend.Check()) return FALSE;
    if (pParam != NULL) *pParam = m_dwParam;
    return TRUE;
}

void CAMThread::Reply(DWORD dw) {
    m_dwReturnVal = dw;
    // The request is over before the caller wakes, so its next request finds
    // the channel empty.
    m_EventSend.Reset();
    m_EventComplete.Set();
}
