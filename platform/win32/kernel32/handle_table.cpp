// The process handle table. A handle is (slot + 1) * 4, so it is never NULL
// and never one of the pseudo-handles at the top of the address range.
// Freed slots wait in a first-in-first-out queue and are reused only once
// many others have been freed, so a stale handle does not at once name the
// next object created.
#include "kernel32/kernel_objects.h"
#include "kernel32/log.h"
#include "kernel32/threads.h"

#include <unistd.h>

#include <deque>
#include <optional>

namespace tm350::kernel {

namespace {

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

// The calling process: what GetCurrentProcess names. Never signalled, since
// no thread of the process can see it end.
class ProcessObject final : public DispatcherObject {
public:
    const char *TypeName() const override { return "Process"; }
    bool IsSignalledFor(DWORD) const override { return false; }
};

std::shared_ptr<ProcessObject> CurrentProcessObject() {
    static auto *process = new std::shared_ptr<ProcessObject>(std::make_shared<ProcessObject>());
    return *process;
}

}  // namespace

class HandleTable {
public:
    static HandleTable &Instance() {
        // Never destroyed: handles may be used from threads still running at exit.
        static auto *table = new HandleTable;
        return *table;
    }

    HANDLE Insert(std::shared_ptr<KernelObject> object) {
        std::lock_guard lock(mutex_);
        size_t slot;
        if (free_slots_.size() > kReuseDelay) {
            slot = free_slots_.front();
            free_slots_.pop_front();
        } else if (slots_.size() < kMaximumHandles) {
            slot = slots_.size();
            slots_.emplace_back();
        } else {
            return nullptr;
        }
        object->handle_count_.fetch_add(1, std::memory_order_acq_rel);
        slots_[slot] = std::move(object);
        return HandleOf(slot);
    }

    std::shared_ptr<KernelObject> Find(HANDLE handle) {
        auto slot = SlotOf(handle);
        if (!slot) return nullptr;
        std::lock_guard lock(mutex_);
        return *slot < slots_.size() ? slots_[*slot] : nullptr;
    }

    // The object the handle named, with the handle gone; nullptr if the
    // handle named nothing. The caller drops the reference outside the lock.
    std::shared_ptr<KernelObject> Remove(HANDLE handle) {
        auto slot = SlotOf(handle);
        if (!slot) return nullptr;
        std::lock_guard lock(mutex_);
        if (*slot >= slots_.size() || slots_[*slot] == nullptr) return nullptr;
        free_slots_.push_back(*slot);
        return std::move(slots_[*slot]);
    }

    static bool LastHandleReleased(KernelObject &object) {
        return object.handle_count_.fetch_sub(1, std::memory_order_acq_rel) == 1;
    }

private:
    static constexpr size_t kReuseDelay = 4096;
    // As on Windows, a process holds at most about sixteen million handles.
    static constexpr size_t kMaximumHandles = size_t{1} << 24;

    static HANDLE HandleOf(size_t slot) { return reinterpret_cast<HANDLE>((slot + 1) * 4); }

    static std::optional<size_t> SlotOf(HANDLE handle) {
        auto value = reinterpret_cast<ULONG_PTR>(handle);
        if (value == 0 || value % 4 != 0 || value / 4 > kMaximumHandles) return std::nullopt;
        return value / 4 - 1;
    }

    std::mutex mutex_;  // a leaf lock: nothing else is taken, and no object dies, under it
    std::deque<std::shared_ptr<KernelObject>> slots_;
    std::deque<size_t> free_slots_;
};

KernelObject::~KernelObject() = default;

HANDLE InsertObject(std::shared_ptr<KernelObject> object) {
    HANDLE handle = HandleTable::Instance().Insert(std::move(object));
    if (handle == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return handle;
}

std::shared_ptr<KernelObject> ReferenceObject(HANDLE handle) {
    std::shared_ptr<KernelObject> object;
    if (handle == kCurrentProcess) {
        object = CurrentProcessObject();
    } else if (handle == kCurrentThread) {
        object = CurrentThreadObject();
    } else {
        object = HandleTable::Instance().Find(handle);
    }
    if (object == nullptr) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

namespace {

bool IsPseudoHandle(HANDLE handle) { return handle == kCurrentProcess || handle == kCurrentThread; }

bool IsCurrentProcess(HANDLE handle) {
    return std::dynamic_pointer_cast<ProcessObject>(ReferenceObject(handle)) != nullptr;
}

}  // namespace

}  // namespace tm350::kernel

using namespace tm350::kernel;

extern "C" {

BOOL WINAPI CloseHandle(HANDLE hObject) {
    // Closing a pseudo-handle is allowed and does nothing.
    if (IsPseudoHandle(hObject)) return TRUE;
    std::shared_ptr<KernelObject> object = HandleTable::Instance().Remove(hObject);
    if (object == nullptr) {
        Log("CloseHandle(%p): not a handle", hObject);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (HandleTable::LastHandleReleased(*object)) object->OnLastHandleClosed();
    return TRUE;
}

BOOL WINAPI DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                            LPHANDLE lpTargetHandle, DWORD dwDesiredAccess, BOOL bInheritHandle,
                            DWORD dwOptions) {
    // There is only one process; access rights and inheritance mean nothing here.
    if (!IsCurrentProcess(hSourceProcessHandle) || !IsCurrentProcess(hTargetProcessHandle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::shared_ptr<KernelObject> object = ReferenceObject(hSourceHandle);
    BOOL succeeded = object != nullptr;
    if (succeeded && lpTargetHandle != nullptr) {
        *lpTargetHandle = InsertObject(object);
        succeeded = *lpTargetHandle != nullptr;
    }
    // The source closes whether or not the duplicate could be made.
    if ((dwOptions & DUPLICATE_CLOSE_SOURCE) != 0 && object != nullptr) {
        DWORD error = GetLastError();
        CloseHandle(hSourceHandle);
        SetLastError(error);
    }
    return succeeded;
}

HANDLE WINAPI GetCurrentProcess(void) { return kCurrentProcess; }

DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

}  // extern "C"
