// HKEY values and what they refer to.
//
// An opened HKEY names a key by its hive and path, plus the key's id so that
// a handle whose key was deleted (even if another key has since been created
// at the same path) reports ERROR_KEY_DELETED. Handle values come from a
// counter and are never reused. The predefined roots need no table entry and
// are always valid; they follow the registry directory of the moment, while
// an opened handle stays with the directory its key was opened in.
#pragma once

#include "advapi32/hive_store.h"

#include <windows.h>

#include <string>
#include <vector>

namespace tm350::registry {

struct KeyReference {
    HiveLocation location;
    std::vector<std::u16string> path;  // subkey names from the hive's root
    uint64_t key_id = HiveContents::kRootKeyId;
    REGSAM access = 0;  // the rights granted when the handle was opened

    bool Allows(REGSAM rights) const { return (access & rights) == rights; }
};

bool IsPredefinedKey(HKEY key);

// ERROR_INVALID_HANDLE for null, closed or unknown handles; ERROR_NOT_SUPPORTED
// for the predefined keys this registry does not provide (HKEY_USERS and
// the like).
LSTATUS ResolveKey(HKEY key, KeyReference &reference);

// Thread-safe; the table owns the references.
HKEY RegisterKey(KeyReference reference);
LSTATUS ReleaseKey(HKEY key);

}  // namespace tm350::registry
