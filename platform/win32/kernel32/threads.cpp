// Threads: CreateThread on POSIX threads, thread objects, per-thread last
// error. Every thread that may own a mutex or be waited on carries a
// thread_local record whose destructor runs as the thread ends (by return,
// ExitThread or pthread_exit) and does what Windows does then: abandon the
// thread's mutexes and signal its thread object.
#include "kernel32/threads.h"

#include "kernel32/log.h"
#include "kernel32/sync_objects.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>

namespace tm350::kernel {

namespace {

thread_local DWORD t_last_error = ERROR_SUCCESS;
thread_local DWORD t_thread_id = 0;

class ThreadRecord {
public:
    ThreadRecord() = default;
    ThreadRecord(const ThreadRecord &) = delete;
    ThreadRecord &operator=(const ThreadRecord &) = delete;
    ~ThreadRecord() { Finish(); }

    std::shared_ptr<ThreadObject> object;  // made lazily for threads CreateThread did not start
    DWORD exit_code = 0;                   // what the thread returned or passed to ExitThread

private:
    void Finish() {
        const DWORD thread_id = CurrentThreadId();
        std::vector<std::shared_ptr<KernelObject>> abandoned;
        {
            DispatcherLock lock;
            abandoned = AbandonMutexesOwnedBy(thread_id, lock);
            if (object != nullptr) object->Terminate(exit_code, lock);
        }
        if (!abandoned.empty()) Log("thread %u ended owning %zu mutex(es): abandoned", thread_id, abandoned.size());
        if (object != nullptr) Log("thread %u ended with exit code %u", thread_id, exit_code);
    }
};

ThreadRecord &CurrentRecord() {
    thread_local ThreadRecord record;
    return record;
}

void *ThreadMain(void *argument) {
    auto *start = static_cast<std::shared_ptr<ThreadObject> *>(argument);
    ThreadRecord &record = CurrentRecord();
    record.object = std::move(*start);
    delete start;
    record.object->AnnounceStarted(CurrentThreadId());
    record.object->WaitUntilResumed();
    record.exit_code = record.object->Run();
    return nullptr;
}

bool IsValidPriority(int priority) {
    switch (priority) {
    case THREAD_PRIORITY_IDLE:
    case THREAD_PRIORITY_LOWEST:
    case THREAD_PRIORITY_BELOW_NORMAL:
    case THREAD_PRIORITY_NORMAL:
    case THREAD_PRIORITY_ABOVE_NORMAL:
    case THREAD_PRIORITY_HIGHEST:
    case THREAD_PRIORITY_TIME_CRITICAL:
        return true;
    default:
        return false;
    }
}

}  // namespace

ThreadObject::ThreadObject(LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD suspend_count)
    : routine_(routine), parameter_(parameter), suspend_count_(suspend_count), announced_(false) {}

ThreadObject::ThreadObject(DWORD running_thread_id)
    : id_(running_thread_id), suspend_count_(0), announced_(true) {}

DWORD ThreadObject::ExitCode() const {
    DispatcherLock lock;
    return terminated_ ? exit_code_ : STILL_ACTIVE;
}

void ThreadObject::AnnounceStarted(DWORD thread_id) {
    std::lock_guard lock(start_mutex_);
    id_.store(thread_id, std::memory_order_release);
    announced_ = true;
    start_changed_.notify_all();
}

void ThreadObject::WaitUntilAnnounced() {
    std::unique_lock lock(start_mutex_);
    start_changed_.wait(lock, [this] { return announced_; });
}

void ThreadObject::WaitUntilResumed() {
    std::unique_lock lock(start_mutex_);
    start_changed_.wait(lock, [this] { return suspend_count_ == 0; });
}

DWORD ThreadObject::Resume() {
    std::lock_guard lock(start_mutex_);
    DWORD previous = suspend_count_;
    if (suspend_count_ > 0 && --suspend_count_ == 0) start_changed_.notify_all();
    return previous;
}

void ThreadObject::Terminate(DWORD exit_code, const DispatcherLock &lock) {
    exit_code_ = exit_code;
    terminated_ = true;
    SignalStateChanged(lock);
}

DWORD CurrentThreadId() {
    if (t_thread_id == 0) t_thread_id = static_cast<DWORD>(gettid());
    return t_thread_id;
}

std::shared_ptr<ThreadObject> CurrentThreadObject() {
    ThreadRecord &record = CurrentRecord();
    if (record.object == nullptr) record.object = std::make_shared<ThreadObject>(CurrentThreadId());
    return record.object;
}

void EnsureThreadCleanup() { CurrentRecord(); }

}  // namespace tm350::kernel

using namespace tm350::kernel;

extern "C" {

DWORD WINAPI GetLastError(void) { return t_last_error; }

void WINAPI SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                           LPDWORD lpThreadId) {
    if (lpStartAddress == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto object = std::make_shared<ThreadObject>(lpStartAddress, lpParameter,
                                                 (dwCreationFlags & CREATE_SUSPENDED) != 0 ? 1 : 0);
    HANDLE handle = InsertObject(object);
    if (handle == nullptr) return nullptr;

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    // Windows reserves at least a megabyte whatever the caller asks for, so
    // a request only ever makes the stack larger than the default.
    size_t default_size = 0;
    pthread_attr_getstacksize(&attributes, &default_size);
    if (dwStackSize > default_size) {
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        pthread_attr_setstacksize(&attributes, (dwStackSize + page - 1) / page * page);
    }
    // The new thread takes over this reference, so the object lives while
    // the thread runs even if every handle to it is closed.
    auto *start = new std::shared_ptr<ThreadObject>(object);
    pthread_t thread;
    int error = pthread_create(&thread, &attributes, ThreadMain, start);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        delete start;
        CloseHandle(handle);
        Log("CreateThread: pthread_create failed (%d)", error);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    object->WaitUntilAnnounced();
    if (lpThreadId != nullptr) *lpThreadId = object->Id();
    Log("thread %u created%s", object->Id(), (dwCreationFlags & CREATE_SUSPENDED) != 0 ? " suspended" : "");
    return handle;
}

DWORD WINAPI ResumeThread(HANDLE hThread) {
    auto thread = ReferenceObject<ThreadObject>(hThread);
    if (thread == nullptr) return static_cast<DWORD>(-1);
    return thread->Resume();
}

void WINAPI ExitThread(DWORD dwExitCode) {
    CurrentRecord().exit_code = dwExitCode;
    // Unwinds the thread's stack; the record's destructor does the rest.
    pthread_exit(nullptr);
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    auto thread = ReferenceObject<ThreadObject>(hThread);
    if (thread == nullptr) return FALSE;
    if (lpExitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpExitCode = thread->ExitCode();
    return TRUE;
}

HANDLE WINAPI GetCurrentThread(void) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)); }

DWORD WINAPI GetCurrentThreadId(void) { return CurrentThreadId(); }

DWORD WINAPI GetThreadId(HANDLE Thread) {
    auto thread = ReferenceObject<ThreadObject>(Thread);
    return thread != nullptr ? thread->Id() : 0;
}

BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority) {
    auto thread = ReferenceObject<ThreadObject>(hThread);
    if (thread == nullptr) return FALSE;
    if (!IsValidPriority(nPriority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Kept, not applied: raising a Linux thread's priority needs privileges
    // a user process does not have.
    thread->SetPriority(nPriority);
    return TRUE;
}

int WINAPI GetThreadPriority(HANDLE hThread) {
    auto thread = ReferenceObject<ThreadObject>(hThread);
    return thread != nullptr ? thread->Priority() : THREAD_PRIORITY_ERROR_RETURN;
}

}  // extern "C"
