// What Windows setup leaves in a new machine's registry: the system's own
// COM classes. A hive file that was never written reads as these contents,
// so every registry, a fresh one included, has them; once the hive is
// written (by anyone, for any key) the file alone decides, so a class the
// user unregistered stays unregistered, as on Windows.
#pragma once

#include "advapi32/hive_format.h"
#include "advapi32/hive_store.h"

namespace tm350::registry {

HiveContents InstalledContents(HiveKind kind);

}  // namespace tm350::registry
