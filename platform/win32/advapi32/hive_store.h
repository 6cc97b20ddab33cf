// Persistence of the hives: where they live, reading the latest committed
// contents, and changing them safely against other threads and processes.
//
// Each hive is one file in the registry directory, replaced as a whole on
// every change: the new contents go to a temporary file that is synced and
// then renamed over the old one, so a reader or a process killed mid-write
// only ever sees a complete version. Writers hold an exclusive flock on the
// hive's lock file from reading the latest version until the rename, so
// concurrent changes from several processes are applied one after another.
#pragma once

#include "advapi32/hive_format.h"

#include <windows.h>

#include <filesystem>
#include <functional>

namespace tm350::registry {

enum class HiveKind { ClassesRoot, CurrentUser, LocalMachine };

struct HiveLocation {
    std::filesystem::path directory;
    HiveKind kind = HiveKind::CurrentUser;
};

// TM350_REGISTRY if set, else $XDG_DATA_HOME/tm350/registry, else
// ~/.local/share/tm350/registry. Read on every call, never cached. Empty when
// no home directory can be found.
std::filesystem::path CurrentRegistryDirectory();

// Runs `reader` on the latest committed contents of the hive; returns its
// status, or ERROR_REGISTRY_CORRUPT / ERROR_REGISTRY_IO_FAILED when the hive
// cannot be read. A hive that was never written reads as a new machine's
// (installed_classes.h). The store's
// process-wide lock is held during the call: `reader` must not re-enter the
// store.
LSTATUS ReadHive(const HiveLocation &location, const std::function<LSTATUS(const HiveContents &)> &reader);

// Runs `mutator` on a copy of the latest contents while holding the hive's
// cross-process lock, and commits the copy if the mutator succeeds and says
// it changed something. On failure the store is left exactly as it was.
using HiveMutator = std::function<LSTATUS(HiveContents &contents, bool &modified)>;
LSTATUS ModifyHive(const HiveLocation &location, const HiveMutator &mutator);

}  // namespace tm350::registry
