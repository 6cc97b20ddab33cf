// The compiled resource format (.res) that resource compilers write and
// that modules here carry in place of a PE resource section: a sequence of
// DWORD-aligned records, each a header (data size, header size, type, name,
// language ...) followed by its data. The first record, empty, marks the
// format.
#pragma once

#include <windows.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tm350::resources {

// A resource type or name: a 16-bit number, or a string kept as stored.
struct ResourceId {
    bool is_number = false;
    WORD number = 0;
    std::u16string text;
};

// One resource of a parsed file. The spans point into the parsed bytes, so
// they live as long as those do (for a module: until it unloads).
struct ResourceEntry {
    const BYTE *record = nullptr;  // where the record starts; identifies it
    ResourceId type;
    ResourceId name;
    WORD language = 0;
    std::span<const BYTE> data;
};

// The resources of a .res image, in file order, without the marker record;
// nothing if a record runs past the end or its header does not add up.
// `bytes` must start DWORD-aligned, as records and data are read in place.
std::optional<std::vector<ResourceEntry>> ParseResourceFile(std::span<const BYTE> bytes);

}  // namespace tm350::resources
