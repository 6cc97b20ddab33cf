// The registry's operations on keys and values, in UTF-16 and without the
// Win32 buffer conventions, which the entry points add. Every operation
// reads or changes the latest version on disk, so handles see changes made
// by other processes.
#pragma once

#include "advapi32/hive_format.h"

#include <windows.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tm350::registry {

struct SubkeyEntry {
    std::u16string name;
    uint64_t last_write_time = 0;
};

// Longest names and data, measured as UTF-16 for the W functions and as the
// UTF-8 the A functions hand out.
struct KeyInformation {
    DWORD subkey_count = 0;
    DWORD value_count = 0;
    DWORD longest_subkey_name = 0;
    DWORD longest_subkey_name_ansi = 0;
    DWORD longest_value_name = 0;
    DWORD longest_value_name_ansi = 0;
    DWORD largest_value_data = 0;
    DWORD largest_value_data_ansi = 0;
    uint64_t last_write_time = 0;
};

bool IsStringType(DWORD type);
// String data is stored as UTF-16; the A functions exchange it as UTF-8.
// Embedded and trailing nulls convert like any other character, so the
// terminators the caller included (or left out) carry over.
std::vector<BYTE> StringDataToUtf8(std::span<const BYTE> utf16);
std::vector<BYTE> StringDataToUtf16(std::span<const BYTE> utf8);

// Subkey paths are backslash-separated, relative to `parent`; an empty path
// names `parent` itself.
LSTATUS CreateKey(HKEY parent, std::u16string_view subkey, DWORD options, REGSAM access, HKEY &result,
                  DWORD &disposition);
LSTATUS OpenKey(HKEY parent, std::u16string_view subkey, REGSAM access, HKEY &result);
LSTATUS CloseKey(HKEY key);
LSTATUS DeleteKey(HKEY key, std::u16string_view subkey);
// Without a subkey, empties `key` but keeps it.
LSTATUS DeleteTree(HKEY key, std::optional<std::u16string_view> subkey);

LSTATUS QueryValue(HKEY key, std::u16string_view name, Value &value);
LSTATUS SetValue(HKEY key, std::u16string_view name, DWORD type, std::span<const BYTE> data);
LSTATUS DeleteValue(HKEY key, std::u16string_view name);

LSTATUS EnumerateSubkey(HKEY key, DWORD index, SubkeyEntry &entry);
LSTATUS EnumerateValue(HKEY key, DWORD index, Value &value);
LSTATUS QueryKeyInformation(HKEY key, KeyInformation &information);

}  // namespace tm350::registry
