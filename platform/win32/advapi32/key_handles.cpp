#include "advapi32/key_handles.h"

#include <mutex>
#include <pthread.h>
#include <optional>
#include <unordered_map>

namespace tm350::registry {

namespace {

class KeyHandleTable {
public:
    HKEY Insert(KeyReference reference) {
        std::lock_guard guard(mutex_);
        const uintptr_t value = next_value_;
        // Multiples of four, as Windows hands out, far below the predefined
        // range; 64 bits never wrap in practice, so values are never reused.
        next_value_ += 4;
        entries_.emplace(value, std::move(reference));
        return reinterpret_cast<HKEY>(value);
    }

    std::optional<KeyReference> Find(HKEY key) {
        std::lock_guard guard(mutex_);
        auto found = entries_.find(reinterpret_cast<uintptr_t>(key));
        if (found == entries_.end()) return std::nullopt;
        return found->second;
    }

    bool Erase(HKEY key) {
        std::lock_guard guard(mutex_);
        return entries_.erase(reinterpret_cast<uintptr_t>(key)) != 0;
    }

    // Held across fork() so a child never inherits it locked by a thread
    // that does not exist in the child.
    void LockForFork() { mutex_.lock(); }
    void UnlockAfterFork() { mutex_.unlock(); }

private:
    std::mutex mutex_;
    uintptr_t next_value_ = 0x1000;
    std::unordered_map<uintptr_t, KeyReference> entries_;
};

KeyHandleTable &Table() {
    // Never destroyed: handles may be closed from other libraries' static
    // destructors after this one's would have run.
    static KeyHandleTable *table = [] {
        auto *created = new KeyHandleTable;
        pthread_atfork([] { Table().LockForFork(); }, [] { Table().UnlockAfterFork(); },
                       [] { Table().UnlockAfterFork(); });
        return created;
    }();
    return *table;
}

std::optional<HiveKind> ProvidedHive(HKEY key) {
    if (key == HKEY_CLASSES_ROOT) return HiveKind::ClassesRoot;
    if (key == HKEY_CURRENT_USER) return HiveKind::CurrentUser;
    if (key == HKEY_LOCAL_MACHINE) return HiveKind::LocalMachine;
    return std::nullopt;
}

}  // namespace

bool IsPredefinedKey(HKEY key) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(key);
    return value >= reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT) &&
           value <= reinterpret_cast<uintptr_t>(HKEY_DYN_DATA);
}

LSTATUS ResolveKey(HKEY key, KeyReference &reference) {
    if (key == nullptr) return ERROR_INVALID_HANDLE;
    if (IsPredefinedKey(key)) {
        const std::optional<HiveKind> hive = ProvidedHive(key);
        if (!hive) return ERROR_NOT_SUPPORTED;
        KeyReference root;
        root.location.directory = CurrentRegistryDirectory();
        root.location.kind = *hive;
        if (root.location.directory.empty()) return ERROR_REGISTRY_IO_FAILED;
        root.access = KEY_ALL_ACCESS;
        reference = std::move(root);
        return ERROR_SUCCESS;
    }
    std::optional<KeyReference> found = Table().Find(key);
    if (!found) return ERROR_INVALID_HANDLE;
    reference = std::move(*found);
    return ERROR_SUCCESS;
}

HKEY RegisterKey(KeyReference reference) { return Table().Insert(std::move(reference)); }

LSTATUS ReleaseKey(HKEY key) {
    if (IsPredefinedKey(key)) return ERROR_SUCCESS;
    return Table().Erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // namespace tm350::registry
