#include "advapi32/registry_operations.h"

#include "advapi32/hive_store.h"
#include "advapi32/key_handles.h"
#include "advapi32/registry_log.h"
#include "common/text.h"

#include <algorithm>
#include <cstring>

namespace tm350::registry {

namespace {

using KeyReader = std::function<LSTATUS(const Key &key)>;
using KeyMutator = std::function<LSTATUS(HiveContents &contents, Key &key, bool &modified)>;

REGSAM GrantedAccess(REGSAM desired) {
    constexpr REGSAM kGenericRights = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED;
    // The 32/64-bit views are one and the same here.
    REGSAM granted = desired & ~(kGenericRights | KEY_WOW64_32KEY | KEY_WOW64_64KEY);
    if (desired & GENERIC_READ) granted |= KEY_READ;
    if (desired & GENERIC_WRITE) granted |= KEY_WRITE;
    if (desired & GENERIC_EXECUTE) granted |= KEY_EXECUTE;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= KEY_ALL_ACCESS;
    return granted;
}

// A leading backslash or an empty name between two backslashes is an error;
// one trailing backslash is tolerated.
LSTATUS SplitPath(std::u16string_view path, std::vector<std::u16string_view> &components) {
    components.clear();
    if (path.empty()) return ERROR_SUCCESS;
    if (path.front() == u'\\') return ERROR_BAD_PATHNAME;
    if (path.back() == u'\\') path.remove_suffix(1);
    for (;;) {
        const size_t separator = path.find(u'\\');
        const std::u16string_view name = path.substr(0, separator);
        if (name.empty()) return ERROR_BAD_PATHNAME;
        components.push_back(name);
        if (separator == std::u16string_view::npos) return ERROR_SUCCESS;
        path.remove_prefix(separator + 1);
    }
}

// KeyType is Key or const Key, so readers and writers share the walk.
template <typename KeyType, typename Names>
KeyType *Walk(KeyType &from, const Names &names) {
    KeyType *current = &from;
    for (const auto &name : names) {
        current = current->FindSubkey(name);
        if (current == nullptr) return nullptr;
    }
    return current;
}

// The key a reference names, or null when it no longer exists.
template <typename Contents>
auto *Locate(Contents &contents, const KeyReference &reference) {
    auto *key = Walk(contents.root, reference.path);
    return key != nullptr && key->id == reference.key_id ? key : nullptr;
}

std::string Describe(const KeyReference &reference, std::span<const std::u16string_view> more = {}) {
    static constexpr const char *kRootNames[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"};
    std::string description = kRootNames[static_cast<int>(reference.location.kind)];
    for (const auto &name : reference.path) description += "\\" + text::Utf16ToUtf8(name);
    for (const auto &name : more) description += "\\" + text::Utf16ToUtf8(name);
    return description;
}

LSTATUS ResolveWithAccess(HKEY key, REGSAM rights, KeyReference &reference) {
    if (LSTATUS status = ResolveKey(key, reference); status != ERROR_SUCCESS) return status;
    return reference.Allows(rights) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

LSTATUS ReadKey(const KeyReference &reference, const KeyReader &reader) {
    return ReadHive(reference.location, [&](const HiveContents &contents) {
        const Key *key = Locate(contents, reference);
        return key != nullptr ? reader(*key) : ERROR_KEY_DELETED;
    });
}

LSTATUS ModifyKey(const KeyReference &reference, const KeyMutator &mutator) {
    return ModifyHive(reference.location, [&](HiveContents &contents, bool &modified) {
        Key *key = Locate(contents, reference);
        return key != nullptr ? mutator(contents, *key, modified) : ERROR_KEY_DELETED;
    });
}

DWORD ClampToDword(size_t size) { return static_cast<DWORD>(std::min<size_t>(size, MAXDWORD)); }

}  // namespace

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::vector<BYTE> StringDataToUtf8(std::span<const BYTE> utf16) {
    std::u16string units(utf16.size() / sizeof(char16_t), u'\0');
    if (!units.empty()) std::memcpy(units.data(), utf16.data(), units.size() * sizeof(char16_t));
    const std::string utf8 = text::Utf16ToUtf8(units);
    return std::vector<BYTE>(utf8.begin(), utf8.end());
}

std::vector<BYTE> StringDataToUtf16(std::span<const BYTE> utf8) {
    const std::u16string units = text::Utf8ToUtf16({reinterpret_cast<const char *>(utf8.data()), utf8.size()});
    std::vector<BYTE> bytes(units.size() * sizeof(char16_t));
    if (!bytes.empty()) std::memcpy(bytes.data(), units.data(), bytes.size());
    return bytes;
}

LSTATUS CreateKey(HKEY parent, std::u16string_view subkey, DWORD options, REGSAM access, HKEY &result,
                  DWORD &disposition) {
    constexpr DWORD kKnownOptions =
        REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK | REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK;
    if (options & ~kKnownOptions) return ERROR_INVALID_PARAMETER;
    // Symbolic links are not provided. Volatile keys are kept like the rest:
    // nothing here outlives a reboot that a volatile key would not.
    if (options & REG_OPTION_CREATE_LINK) return ERROR_NOT_SUPPORTED;

    KeyReference reference;
    if (LSTATUS status = ResolveKey(parent, reference); status != ERROR_SUCCESS) return status;
    std::vector<std::u16string_view> components;
    if (LSTATUS status = SplitPath(subkey, components); status != ERROR_SUCCESS) return status;
    if (reference.path.size() + components.size() > kMaximumKeyDepth) return ERROR_INVALID_PARAMETER;
    for (const auto &name : components) {
        if (name.size() > kMaximumKeyNameLength) return ERROR_INVALID_PARAMETER;
    }

    // The names as stored, which keep the case they were created with.
    std::vector<std::u16string> names;
    uint64_t key_id = 0;
    bool exists = false;
    LSTATUS status = ReadKey(reference, [&](const Key &key) {
        const Key *current = &key;
        for (const auto &name : components) {
            current = current->FindSubkey(name);
            if (current == nullptr) return ERROR_SUCCESS;
            names.emplace_back(current->name);
        }
        key_id = current->id;
        exists = true;
        return ERROR_SUCCESS;
    });
    if (status != ERROR_SUCCESS) return status;

    bool created = false;
    if (!exists) {
        status = ModifyKey(reference, [&](HiveContents &contents, Key &key, bool &modified) {
            names.clear();
            const uint64_t now = CurrentFileTime();
            Key *current = &key;
            for (const auto &name : components) {
                Key *next = current->FindSubkey(name);
                if (next == nullptr) {
                    if (!reference.Allows(KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
                    Key fresh;
                    fresh.name = name;
                    fresh.id = contents.TakeKeyId();
                    fresh.last_write_time = now;
                    current->last_write_time = now;
                    next = &current->InsertSubkey(std::move(fresh));
                    modified = created = true;
                }
                names.emplace_back(next->name);
                current = next;
            }
            key_id = current->id;
            return ERROR_SUCCESS;
        });
        if (status != ERROR_SUCCESS) return status;
        if (created) LogEvent("created %s", Describe(reference, components).c_str());
    }

    KeyReference opened = reference;
    opened.path.insert(opened.path.end(), names.begin(), names.end());
    opened.key_id = key_id;
    opened.access = GrantedAccess(access);
    result = RegisterKey(std::move(opened));
    disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LSTATUS OpenKey(HKEY parent, std::u16string_view subkey, REGSAM access, HKEY &result) {
    KeyReference reference;
    if (LSTATUS status = ResolveKey(parent, reference); status != ERROR_SUCCESS) return status;
    std::vector<std::u16string_view> components;
    if (LSTATUS status = SplitPath(subkey, components); status != ERROR_SUCCESS) return status;

    KeyReference opened = reference;
    opened.access = GrantedAccess(access);
    LSTATUS status = ReadKey(reference, [&](const Key &key) {
        const Key *current = &key;
        for (const auto &name : components) {
            current = current->FindSubkey(name);
            if (current == nullptr) return ERROR_FILE_NOT_FOUND;
            opened.path.emplace_back(current->name);
        }
        opened.key_id = current->id;
        return ERROR_SUCCESS;
    });
    if (status != ERROR_SUCCESS) return status;
    result = RegisterKey(std::move(opened));
    return ERROR_SUCCESS;
}

LSTATUS CloseKey(HKEY key) {
    if (key == nullptr) return ERROR_INVALID_HANDLE;
    return ReleaseKey(key);
}

LSTATUS DeleteKey(HKEY key, std::u16string_view subkey) {
    // Deleting needs no rights on `key` itself, as on Windows.
    KeyReference reference;
    if (LSTATUS status = ResolveKey(key, reference); status != ERROR_SUCCESS) return status;
    std::vector<std::u16string_view> components;
    if (LSTATUS status = SplitPath(subkey, components); status != ERROR_SUCCESS) return status;
    if (components.empty() && reference.path.empty()) return ERROR_ACCESS_DENIED;  // a hive's root

    LSTATUS status = ModifyHive(reference.location, [&](HiveContents &contents, bool &modified) {
        Key *named = Locate(contents, reference);
        if (named == nullptr) return ERROR_KEY_DELETED;
        Key *parent = nullptr;
        Key *target = nullptr;
        if (components.empty()) {
            // An empty subkey deletes the key the handle refers to.
            target = named;
            parent = Walk(contents.root, std::span(reference.path).first(reference.path.size() - 1));
        } else {
            parent = Walk(*named, std::span(components).first(components.size() - 1));
            target = parent != nullptr ? parent->FindSubkey(components.back()) : nullptr;
            if (target == nullptr) return ERROR_FILE_NOT_FOUND;
        }
        if (!target->subkeys.empty()) return ERROR_ACCESS_DENIED;
        parent->RemoveSubkey(std::u16string(target->name));
        parent->last_write_time = CurrentFileTime();
        modified = true;
        return ERROR_SUCCESS;
    });
    if (status == ERROR_SUCCESS) LogEvent("deleted %s", Describe(reference, components).c_str());
    return status;
}

LSTATUS DeleteTree(HKEY key, std::optional<std::u16string_view> subkey) {
    KeyReference reference;
    if (LSTATUS status = ResolveWithAccess(key, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, reference);
        status != ERROR_SUCCESS) {
        return status;
    }
    std::vector<std::u16string_view> components;
    if (LSTATUS status = SplitPath(subkey.value_or(u""), components); status != ERROR_SUCCESS) return status;

    LSTATUS status = ModifyKey(reference, [&](HiveContents &, Key &named, bool &modified) {
        if (components.empty()) {
            modified = !named.subkeys.empty() || !named.values.empty();
            named.subkeys.clear();
            named.values.clear();
        } else {
            Key *parent = Walk(named, std::span(components).first(components.size() - 1));
            if (parent == nullptr || !parent->RemoveSubkey(components.back())) return ERROR_FILE_NOT_FOUND;
            parent->last_write_time = CurrentFileTime();
            modified = true;
        }
        if (modified) named.last_write_time = CurrentFileTime();
        return ERROR_SUCCESS;
    });
    if (status == ERROR_SUCCESS) LogEvent("deleted the tree %s", Describe(reference, components).c_str());
    return status;
}

LSTATUS QueryValue(HKEY key, std::u16string_view name, Value &value) {
    KeyReference reference;
    if (LSTATUS status = ResolveWithAccess(key, KEY_QUERY_VALUE, reference); status != ERROR_SUCCESS) return status;
    return ReadKey(reference, [&](const Key &named) {
        const Value *found = named.FindValue(name);
        if (found == nullptr) return ERROR_FILE_NOT_FOUND;
        value = *found;
        return ERROR_SUCCESS;
    });
}

LSTATUS SetValue(HKEY key, std::u16string_view name, DWORD type, std::span<const BYTE> data) {
    if (name.size() > kMaximumValueNameLength) return ERROR_INVALID_PARAMETER;
    KeyReference reference;
    if (LSTATUS status = ResolveWithAccess(key, KEY_SET_VALUE, reference); status != ERROR_SUCCESS) return status;
    return ModifyKey(reference, [&](HiveContents &, Key &named, bool &modified) {
        Value *value = named.FindValue(name);
        if (value == nullptr) {
            value = &named.values.emplace_back();
            value->name = name;
        }
        value->type = type;
        value->data.assign(data.begin(), data.end());
        named.last_write_time = CurrentFileTime();
        modified = true;
        return ERROR_SUCCESS;
    });
}

LSTATUS DeleteValue(HKEY key, std::u16string_view name) {
    KeyReference reference;
    if (LSTATUS status = ResolveWithAccess(key, KEY_SET_VALUE, reference); status != ERROR_SUCCESS) return status;
    return ModifyKey(reference, [&](HiveContents &, Key &named, bool &modified) {
        if (!named.RemoveValue(name)) return ERROR_FILE_NOT_FOUND;
        named.last_write_time = CurrentFileTime();
        modified = true;
        return ERROR_SUCCESS;
    });
}

LSTATUS EnumerateSubkey(HKEY key, DWORD index, SubkeyEntry &entry) {
    KeyReference reference;
    if (LSTATUS status = ResolveWithAccess(key, KEY_ENUMERATE_SUB_KEYS, reference); status != ERROR_SUCCESS) {
        return status;
    }
    return ReadKey(reference, [&](const Key &named) {
        if (index >= named.subkeys.size()) return ERROR_NO_MORE_ITEMS;
        entry.name = named.subkeys[index].name;
        entry.last_write_time = named.subkeys[index].last_write_time;
        return ERROR_SUCCESS;
    });
}

LSTATUS EnumerateValue(HKEY key, DWORD index, Value &value) {
    KeyReference reference;
    if (LSTATUS status = ResolveWithAccess(key, KEY_QUERY_VALUE, reference); status != ERROR_SUCCESS) return status;
    return ReadKey(reference, [&](const Key &named) {
        if (index >= named.values.size()) return ERROR_NO_MORE_ITEMS;
        value = named.values[index];
        return ERROR_SUCCESS;
    });
}

LSTATUS QueryKeyInformation(HKEY key, KeyInformation &information) {
    KeyReference reference;
    if (LSTATUS status = ResolveWithAccess(key, KEY_QUERY_VALUE, reference); status != ERROR_SUCCESS) return status;
    return ReadKey(reference, [&](const Key &named) {
        KeyInformation result;
        result.subkey_count = ClampToDword(named.subkeys.size());
        result.value_count = ClampToDword(named.values.size());
        result.last_write_time = named.last_write_time;
        for (const Key &subkey : named.subkeys) {
            result.longest_subkey_name = std::max(result.longest_subkey_name, ClampToDword(subkey.name.size()));
            result.longest_subkey_name_ansi =
                std::max(result.longest_subkey_name_ansi, ClampToDword(text::Utf16ToUtf8(subkey.name).size()));
        }
        for (const Value &value : named.values) {
            result.longest_value_name = std::max(result.longest_value_name, ClampToDword(value.name.size()));
            result.longest_value_name_ansi =
                std::max(result.longest_value_name_ansi, ClampToDword(text::Utf16ToUtf8(value.name).size()));
            result.largest_value_data = std::max(result.largest_value_data, ClampToDword(value.data.size()));
            const size_t ansi_size =
                IsStringType(value.type) ? StringDataToUtf8(value.data).size() : value.data.size();
            result.largest_value_data_ansi = std::max(result.largest_value_data_ansi, ClampToDword(ansi_size));
        }
        information = result;
        return ERROR_SUCCESS;
    });
}

}  // namespace tm350::registry
