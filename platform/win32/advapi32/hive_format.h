// The contents of one registry hive in memory, and its on-disk encoding.
//
// A hive file is: the magic "TM350REG", a 32-bit format version, a 64-bit
// body length, the body, and a CRC-32 of everything before it. The body holds
// the next key id and then the root key, written depth first. All integers
// are little-endian; names and string data are UTF-16 as on Windows.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tm350::registry {

// Windows' own limits. They also bound the decoder's recursion.
constexpr size_t kMaximumKeyDepth = 512;
constexpr size_t kMaximumKeyNameLength = 255;
constexpr size_t kMaximumValueNameLength = 16383;

struct Value {
    std::u16string name;  // as created; "" is the key's default value
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct Key {
    std::u16string name;  // as created; the root's name is empty
    // Unique over the hive's history, so a handle can tell its key from a
    // later key created at the same path.
    uint64_t id = 0;
    uint64_t last_write_time = 0;  // FILETIME ticks
    std::vector<Value> values;     // in creation order
    std::vector<Key> subkeys;      // sorted by case-folded name, names unique

    Key *FindSubkey(std::u16string_view subkey_name);
    const Key *FindSubkey(std::u16string_view subkey_name) const;
    // Keeps subkeys sorted; the caller checked that no such subkey exists.
    Key &InsertSubkey(Key subkey);
    bool RemoveSubkey(std::u16string_view subkey_name);

    Value *FindValue(std::u16string_view value_name);
    const Value *FindValue(std::u16string_view value_name) const;
    bool RemoveValue(std::u16string_view value_name);
};

struct HiveContents {
    static constexpr uint64_t kRootKeyId = 1;

    uint64_t next_key_id = 0;
    Key root;

    // An empty hive whose key ids start at a random point, so handles that
    // outlived a removed store never match keys of its successor.
    static HiveContents Empty();
    uint64_t TakeKeyId() { return next_key_id++; }
};

// Orders names as the registry enumerates them: case-insensitively.
int CompareNames(std::u16string_view a, std::u16string_view b);

// The current time as a FILETIME tick count (100 ns since 1601).
uint64_t CurrentFileTime();

uint32_t Crc32(std::span<const std::byte> bytes);

std::vector<std::byte> EncodeHive(const HiveContents &hive);
// Empty when the bytes are not a well-formed hive: wrong magic or version,
// wrong length, checksum mismatch, or a structure that breaks the invariants.
std::optional<HiveContents> DecodeHive(std::span<const std::byte> bytes);

}  // namespace tm350::registry
