// Events, semaphores and mutexes, and the names under which CreateXxx finds
// an existing object. Signal state is guarded by the dispatcher lock.
#include "kernel32/sync_objects.h"

#include "common/text.h"
#include "kernel32/log.h"
#include "kernel32/threads.h"

#include <algorithm>
#include <map>
#include <string>
#include <unordered_map>

namespace tm350::kernel {

// ---- Events

EventObject::EventObject(EventType type, bool initially_signalled) : type_(type), signalled_(initially_signalled) {}

bool EventObject::IsSignalledFor(DWORD) const { return signalled_; }

WaitSatisfaction EventObject::OnWaitSatisfied(DWORD) {
    if (type_ == EventType::AutoReset) signalled_ = false;
    return WaitSatisfaction::Normal;
}

void EventObject::Set() {
    DispatcherLock lock;
    signalled_ = true;
    SignalStateChanged(lock);
}

void EventObject::Reset() {
    DispatcherLock lock;
    signalled_ = false;
}

void EventObject::Pulse() {
    DispatcherLock lock;
    signalled_ = true;
    SignalStateChanged(lock);
    signalled_ = false;
}

bool EventObject::IsSet() const {
    DispatcherLock lock;
    return signalled_;
}

namespace {

// ---- Semaphores

class SemaphoreObject final : public DispatcherObject {
public:
    SemaphoreObject(LONG initial_count, LONG maximum_count) : count_(initial_count), maximum_(maximum_count) {}

    const char *TypeName() const override { return "Semaphore"; }
    bool IsSignalledFor(DWORD) const override { return count_ > 0; }
    WaitSatisfaction OnWaitSatisfied(DWORD) override {
        --count_;
        return WaitSatisfaction::Normal;
    }

    // False when the release would pass the maximum; the count is then unchanged.
    bool Release(LONG release_count, LONG *previous_count) {
        DispatcherLock lock;
        if (release_count > maximum_ - count_) return false;
        if (previous_count != nullptr) *previous_count = count_;
        count_ += release_count;
        SignalStateChanged(lock);
        return true;
    }

private:
    LONG count_;  // guarded by the dispatcher lock
    const LONG maximum_;
};

// ---- Mutexes

class MutexObject;

// Which mutexes each thread owns, so they can be abandoned when it ends.
// Guarded by the dispatcher lock. The references keep an owned mutex alive
// until it is released, even if every handle to it is closed.
std::unordered_map<DWORD, std::vector<std::shared_ptr<MutexObject>>> &OwnedMutexes() {
    static auto *owned = new std::unordered_map<DWORD, std::vector<std::shared_ptr<MutexObject>>>;
    return *owned;
}

class MutexObject final : public DispatcherObject {
public:
    const char *TypeName() const override { return "Mutex"; }
    bool IsSignalledFor(DWORD thread_id) const override { return owner_ == 0 || owner_ == thread_id; }

    WaitSatisfaction OnWaitSatisfied(DWORD thread_id) override {
        if (owner_ == 0) {
            owner_ = thread_id;
            OwnedMutexes()[thread_id].push_back(std::static_pointer_cast<MutexObject>(shared_from_this()));
        }
        ++recursion_;
        if (abandoned_) {
            abandoned_ = false;
            return WaitSatisfaction::Abandoned;
        }
        return WaitSatisfaction::Normal;
    }

    // False if `thread_id` does not own the mutex. The reference the owner
    // list held is handed back, to be dropped after unlocking.
    bool Release(DWORD thread_id, std::shared_ptr<MutexObject> &released) {
        DispatcherLock lock;
        if (owner_ != thread_id || owner_ == 0) return false;
        if (--recursion_ == 0) {
            released = Disown();
            SignalStateChanged(lock);
        }
        return true;
    }

    void Abandon(const DispatcherLock &lock) {
        owner_ = 0;
        recursion_ = 0;
        abandoned_ = true;
        SignalStateChanged(lock);
    }

private:
    std::shared_ptr<MutexObject> Disown() {
        auto &owned = OwnedMutexes()[owner_];
        auto found = std::find_if(owned.begin(), owned.end(), [this](const auto &mutex) { return mutex.get() == this; });
        std::shared_ptr<MutexObject> self = std::move(*found);
        owned.erase(found);
        if (owned.empty()) OwnedMutexes().erase(owner_);
        owner_ = 0;
        return self;
    }

    // All guarded by the dispatcher lock.
    DWORD owner_ = 0;  // thread id; 0 when free
    unsigned recursion_ = 0;
    bool abandoned_ = false;
};

// ---- Names

// Named objects, for CreateXxx to find what another CreateXxx made. Names
// compare case-sensitively, as in the Windows object namespace. An entry
// lives as long as its object.
class ObjectNames {
public:
    static ObjectNames &Instance() {
        static auto *names = new ObjectNames;
        return *names;
    }

    // A handle to the object named `name` if one exists (ERROR_ALREADY_EXISTS,
    // or NULL with ERROR_INVALID_HANDLE if it is not a T), otherwise to a new
    // object from `make` (last error ERROR_SUCCESS).
    template <class T, class Make>
    HANDLE OpenOrCreate(std::u16string_view name, Make make) {
        std::shared_ptr<KernelObject> existing;
        HANDLE handle = nullptr;
        {
            std::lock_guard lock(mutex_);
            std::erase_if(objects_, [](const auto &entry) { return entry.second.expired(); });
            auto found = objects_.find(std::u16string(name));
            if (found != objects_.end()) existing = found->second.lock();
            if (existing == nullptr) {
                std::shared_ptr<T> created = make();
                if (created == nullptr) return nullptr;
                handle = InsertObject(created);
                if (handle == nullptr) return nullptr;
                objects_[std::u16string(name)] = created;
                SetLastError(ERROR_SUCCESS);
                return handle;
            }
        }
        // Outside the lock: the reference may be the last one.
        if (std::dynamic_pointer_cast<T>(existing) == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        handle = InsertObject(existing);
        if (handle != nullptr) SetLastError(ERROR_ALREADY_EXISTS);
        return handle;
    }

private:
    std::mutex mutex_;  // taken before the handle table's
    std::map<std::u16string, std::weak_ptr<KernelObject>> objects_;
};

template <class T, class Make>
HANDLE CreateObject(LPCWSTR name, Make make) {
    std::u16string_view view = text::View(name);
    if (view.empty()) {
        std::shared_ptr<T> object = make();
        if (object == nullptr) return nullptr;
        HANDLE handle = InsertObject(object);
        if (handle != nullptr) SetLastError(ERROR_SUCCESS);
        return handle;
    }
    if (view.size() > MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    return ObjectNames::Instance().OpenOrCreate<T>(view, make);
}

std::u16string WideName(LPCSTR name) { return name != nullptr ? text::Utf8ToUtf16(name) : std::u16string(); }

}  // namespace

std::vector<std::shared_ptr<KernelObject>> AbandonMutexesOwnedBy(DWORD thread_id, const DispatcherLock &lock) {
    std::vector<std::shared_ptr<KernelObject>> abandoned;
    auto found = OwnedMutexes().find(thread_id);
    if (found == OwnedMutexes().end()) return abandoned;
    std::vector<std::shared_ptr<MutexObject>> owned = std::move(found->second);
    OwnedMutexes().erase(found);
    for (auto &mutex : owned) {
        mutex->Abandon(lock);
        abandoned.push_back(std::move(mutex));
    }
    return abandoned;
}

}  // namespace tm350::kernel

using namespace tm350::kernel;

extern "C" {

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName) {
    return CreateObject<EventObject>(lpName, [&] {
        return std::make_shared<EventObject>(bManualReset ? EventType::ManualReset : EventType::AutoReset,
                                             bInitialState != FALSE);
    });
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
    std::u16string name = WideName(lpName);
    return CreateEventW(lpEventAttributes, bManualReset, bInitialState, tm350::text::AsWide(name));
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    auto event = ReferenceObject<EventObject>(hEvent);
    if (event == nullptr) return FALSE;
    event->Set();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    auto event = ReferenceObject<EventObject>(hEvent);
    if (event == nullptr) return FALSE;
    event->Reset();
    return TRUE;
}

BOOL WINAPI PulseEvent(HANDLE hEvent) {
    auto event = ReferenceObject<EventObject>(hEvent);
    if (event == nullptr) return FALSE;
    event->Pulse();
    return TRUE;
}

HANDLE WINAPI CreateSemaphoreW(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount, LONG lMaximumCount,
                               LPCWSTR lpName) {
    if (lMaximumCount <= 0 || lInitialCount < 0 || lInitialCount > lMaximumCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return CreateObject<SemaphoreObject>(
        lpName, [&] { return std::make_shared<SemaphoreObject>(lInitialCount, lMaximumCount); });
}

HANDLE WINAPI CreateSemaphoreA(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount, LONG lMaximumCount,
                               LPCSTR lpName) {
    std::u16string name = WideName(lpName);
    return CreateSemaphoreW(lpSemaphoreAttributes, lInitialCount, lMaximumCount, tm350::text::AsWide(name));
}

BOOL WINAPI ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount) {
    auto semaphore = ReferenceObject<SemaphoreObject>(hSemaphore);
    if (semaphore == nullptr) return FALSE;
    if (lReleaseCount <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!semaphore->Release(lReleaseCount, lpPreviousCount)) {
        SetLastError(ERROR_TOO_MANY_POSTS);
        return FALSE;
    }
    return TRUE;
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName) {
    return CreateObject<MutexObject>(lpName, [&] {
        auto mutex = std::make_shared<MutexObject>();
        if (bInitialOwner) {
            EnsureThreadCleanup();
            DispatcherLock lock;
            mutex->OnWaitSatisfied(CurrentThreadId());
        }
        return mutex;
    });
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName) {
    std::u16string name = WideName(lpName);
    return CreateMutexW(lpMutexAttributes, bInitialOwner, tm350::text::AsWide(name));
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    auto mutex = ReferenceObject<MutexObject>(hMutex);
    if (mutex == nullptr) return FALSE;
    std::shared_ptr<MutexObject> released;
    if (!mutex->Release(CurrentThreadId(), released)) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
