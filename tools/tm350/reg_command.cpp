// tm350 reg query|add|delete: the registry of this machine seen and changed
// from the command line, with reg.exe's arguments and output layout.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

#include "tools/tm350/commands.h"

namespace tm350::tool {

namespace {

struct Root {
    const char *long_name;
    const char *short_name;
    HKEY handle;
};

const Root kRoots[] = {
    {"HKEY_CURRENT_USER", "HKCU", HKEY_CURRENT_USER},
    {"HKEY_LOCAL_MACHINE", "HKLM", HKEY_LOCAL_MACHINE},
    {"HKEY_CLASSES_ROOT", "HKCR", HKEY_CLASSES_ROOT},
};

struct KeyPath {
    const Root *root = nullptr;
    std::string subkey;  // without leading or trailing backslashes

    std::string FullName() const {
        return subkey.empty() ? root->long_name : std::string(root->long_name) + "\\" + subkey;
    }
};

// The arguments common to the three verbs.
struct RegArguments {
    KeyPath key;
    std::optional<std::string> value_name;  // "" is the default value (/ve)
    bool all_values = false;                // /va
    bool recursive = false;                 // /s
    bool force = false;                     // /f
    std::string type = "REG_SZ";            // /t
    std::optional<std::string> data;        // /d
};

void ReportError(const std::string &message) { fprintf(stderr, "ERROR: %s\n", message.c_str()); }

std::string Win32Message(LONG error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        return "The system was unable to find the specified registry key or value.";
    case ERROR_ACCESS_DENIED:
        return "Access is denied.";
    case ERROR_REGISTRY_CORRUPT:
    case ERROR_BADDB:
        return "The registry store is damaged (error " + std::to_string(error) + ").";
    default:
        return "The operation failed with error " + std::to_string(error) + ".";
    }
}

std::optional<KeyPath> ParseKeyPath(const std::string &text) {
    std::string root_name = text.substr(0, text.find('\\'));
    for (const Root &root : kRoots) {
        if (strcasecmp(root_name.c_str(), root.long_name) == 0 || strcasecmp(root_name.c_str(), root.short_name) == 0) {
            KeyPath path;
            path.root = &root;
            if (root_name.size() < text.size()) path.subkey = text.substr(root_name.size() + 1);
            while (!path.subkey.empty() && path.subkey.back() == '\\') path.subkey.pop_back();
            return path;
        }
    }
    return std::nullopt;
}

bool IsSwitch(const std::string &argument, const char *name) { return strcasecmp(argument.c_str(), name) == 0; }

std::optional<RegArguments> ParseArguments(const Arguments &arguments, size_t first) {
    if (first >= arguments.size()) {
        ReportError("Missing the key name.");
        return std::nullopt;
    }
    RegArguments parsed;
    std::optional<KeyPath> key = ParseKeyPath(arguments[first]);
    if (!key) {
        ReportError("Invalid key name \"" + arguments[first] + "\" (use HKCU, HKLM or HKCR).");
        return std::nullopt;
    }
    parsed.key = *key;
    for (size_t i = first + 1; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        bool has_next = i + 1 < arguments.size();
        if (IsSwitch(argument, "/v") && has_next) {
            parsed.value_name = arguments[++i];
        } else if (IsSwitch(argument, "/ve")) {
            parsed.value_name = "";
        } else if (IsSwitch(argument, "/va")) {
            parsed.all_values = true;
        } else if (IsSwitch(argument, "/s")) {
            parsed.recursive = true;
        } else if (IsSwitch(argument, "/f")) {
            parsed.force = true;
        } else if (IsSwitch(argument, "/t") && has_next) {
            parsed.type = arguments[++i];
        } else if (IsSwitch(argument, "/d") && has_next) {
            parsed.data = arguments[++i];
        } else {
            ReportError("Invalid syntax near \"" + argument + "\".");
            return std::nullopt;
        }
    }
    return parsed;
}

struct TypeName {
    DWORD type;
    const char *name;
};

const TypeName kTypes[] = {
    {REG_SZ, "REG_SZ"},         {REG_EXPAND_SZ, "REG_EXPAND_SZ"}, {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {REG_DWORD, "REG_DWORD"},   {REG_QWORD, "REG_QWORD"},         {REG_BINARY, "REG_BINARY"},
    {REG_NONE, "REG_NONE"},
};

std::string NameOfType(DWORD type) {
    for (const TypeName &entry : kTypes) {
        if (entry.type == type) return entry.name;
    }
    return "REG_UNKNOWN(" + std::to_string(type) + ")";
}

std::optional<DWORD> TypeOfName(const std::string &name) {
    for (const TypeName &entry : kTypes) {
        if (strcasecmp(name.c_str(), entry.name) == 0) return entry.type;
    }
    return std::nullopt;
}

std::string FormatData(DWORD type, const std::vector<BYTE> &data) {
    char text[32];
    switch (type) {
    case REG_DWORD:
        if (data.size() == sizeof(DWORD)) {
            DWORD value;
            memcpy(&value, data.data(), sizeof(value));
            snprintf(text, sizeof(text), "0x%x", static_cast<unsigned>(value));
            return text;
        }
        break;
    case REG_QWORD:
        if (data.size() == sizeof(ULONGLONG)) {
            ULONGLONG value;
            memcpy(&value, data.data(), sizeof(value));
            snprintf(text, sizeof(text), "0x%llx", value);
            return text;
        }
        break;
    case REG_SZ:
    case REG_EXPAND_SZ:
        return std::string(reinterpret_cast<const char *>(data.data()), strnlen(reinterpret_cast<const char *>(data.data()), data.size()));
    case REG_MULTI_SZ: {
        // Items separated by "\0", as reg.exe shows them.
        std::string joined;
        size_t position = 0;
        while (position < data.size() && data[position] != 0) {
            const char *item = reinterpret_cast<const char *>(data.data()) + position;
            size_t length = strnlen(item, data.size() - position);
            if (!joined.empty()) joined += "\\0";
            joined.append(item, length);
            position += length + 1;
        }
        return joined;
    }
    default:
        break;
    }
    std::string hex;
    for (BYTE byte : data) {
        snprintf(text, sizeof(text), "%02X", byte);
        hex += text;
    }
    return hex;
}

// Reads the value at `index`, growing the buffers until they fit.
LONG EnumValue(HKEY key, DWORD index, std::string &name, DWORD &type, std::vector<BYTE> &data) {
    std::vector<char> name_buffer(256);
    data.resize(256);
    for (;;) {
        DWORD name_length = static_cast<DWORD>(name_buffer.size());
        DWORD data_size = static_cast<DWORD>(data.size());
        LONG result = RegEnumValueA(key, index, name_buffer.data(), &name_length, NULL, &type, data.data(), &data_size);
        if (result == ERROR_MORE_DATA) {
            name_buffer.resize(name_buffer.size() * 2);
            data.resize(std::max<size_t>(data.size() * 2, data_size));
            if (name_buffer.size() > (1u << 20) || data.size() > (64u << 20)) return ERROR_MORE_DATA;
            continue;
        }
        if (result != ERROR_SUCCESS) return result;
        name.assign(name_buffer.data(), name_length);
        data.resize(data_size);
        return ERROR_SUCCESS;
    }
}

LONG EnumSubkey(HKEY key, DWORD index, std::string &name) {
    std::vector<char> buffer(256);
    for (;;) {
        DWORD length = static_cast<DWORD>(buffer.size());
        LONG result = RegEnumKeyExA(key, index, buffer.data(), &length, NULL, NULL, NULL, NULL);
        if (result == ERROR_MORE_DATA && buffer.size() < (1u << 16)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (result != ERROR_SUCCESS) return result;
        name.assign(buffer.data(), length);
        return ERROR_SUCCESS;
    }
}

void PrintValue(const std::string &name, DWORD type, const std::vector<BYTE> &data) {
    printf("    %s    %s    %s\n", name.empty() ? "(Default)" : name.c_str(), NameOfType(type).c_str(),
           FormatData(type, data).c_str());
}

LONG QueryKey(HKEY key, const std::string &full_name, bool recursive) {
    printf("\n%s\n", full_name.c_str());
    std::string name;
    DWORD type = 0;
    std::vector<BYTE> data;
    LONG result = ERROR_SUCCESS;
    for (DWORD index = 0; (result = EnumValue(key, index, name, type, data)) == ERROR_SUCCESS; ++index) {
        PrintValue(name, type, data);
    }
    if (result != ERROR_NO_MORE_ITEMS) return result;
    if (!recursive) printf("\n");
    for (DWORD index = 0; (result = EnumSubkey(key, index, name)) == ERROR_SUCCESS; ++index) {
        std::string child_name = full_name + "\\" + name;
        if (!recursive) {
            printf("%s\n", child_name.c_str());
            continue;
        }
        HKEY child = NULL;
        LONG opened = RegOpenKeyExA(key, name.c_str(), 0, KEY_READ, &child);
        if (opened != ERROR_SUCCESS) return opened;
        LONG child_result = QueryKey(child, child_name, true);
        RegCloseKey(child);
        if (child_result != ERROR_SUCCESS) return child_result;
    }
    return result == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : result;
}

int Query(const RegArguments &arguments) {
    HKEY key = NULL;
    LONG result = RegOpenKeyExA(arguments.key.root->handle, arguments.key.subkey.c_str(), 0, KEY_READ, &key);
    if (result != ERROR_SUCCESS) {
        ReportError(Win32Message(result));
        return 1;
    }
    if (arguments.value_name) {
        DWORD type = 0;
        DWORD size = 0;
        const char *name = arguments.value_name->c_str();
        result = RegQueryValueExA(key, name, NULL, &type, NULL, &size);
        std::vector<BYTE> data(size);
        if (result == ERROR_SUCCESS) result = RegQueryValueExA(key, name, NULL, &type, data.data(), &size);
        if (result == ERROR_SUCCESS) {
            data.resize(size);
            printf("\n%s\n", arguments.key.FullName().c_str());
            PrintValue(*arguments.value_name, type, data);
            printf("\n");
        }
    } else {
        result = QueryKey(key, arguments.key.FullName(), arguments.recursive);
    }
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) {
        ReportError(Win32Message(result));
        return 1;
    }
    return 0;
}

std::optional<ULONGLONG> ParseNumber(const std::string &text, ULONGLONG maximum) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
    errno = 0;
    char *end = nullptr;
    ULONGLONG value = strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || value > maximum) return std::nullopt;
    return value;
}

std::optional<std::vector<BYTE>> EncodeData(DWORD type, const std::string &text) {
    std::vector<BYTE> data;
    switch (type) {
    case REG_DWORD: {
        auto number = ParseNumber(text, MAXDWORD);
        if (!number) return std::nullopt;
        DWORD value = static_cast<DWORD>(*number);
        data.resize(sizeof(value));
        memcpy(data.data(), &value, sizeof(value));
        return data;
    }
    case REG_QWORD: {
        auto number = ParseNumber(text, ~0ULL);
        if (!number) return std::nullopt;
        data.resize(sizeof(*number));
        memcpy(data.data(), &*number, sizeof(*number));
        return data;
    }
    case REG_SZ:
    case REG_EXPAND_SZ:
        data.assign(text.begin(), text.end());
        data.push_back(0);
        return data;
    case REG_MULTI_SZ: {
        size_t start = 0;
        while (start < text.size()) {
            size_t separator = text.find("\\0", start);
            std::string item = text.substr(start, separator == std::string::npos ? std::string::npos : separator - start);
            data.insert(data.end(), item.begin(), item.end());
            data.push_back(0);
            if (separator == std::string::npos) break;
            start = separator + 2;
        }
        data.push_back(0);
        return data;
    }
    default: {
        if (text.size() % 2 != 0) return std::nullopt;
        for (size_t i = 0; i < text.size(); i += 2) {
            auto byte = ParseNumber("0x" + text.substr(i, 2), 0xFF);
            if (!byte) return std::nullopt;
            data.push_back(static_cast<BYTE>(*byte));
        }
        return data;
    }
    }
}

int Add(const RegArguments &arguments) {
    std::optional<DWORD> type = TypeOfName(arguments.type);
    if (!type) {
        ReportError("Unsupported value type \"" + arguments.type + "\".");
        return 1;
    }
    std::optional<std::vector<BYTE>> data;
    if (arguments.value_name) {
        data = EncodeData(*type, arguments.data.value_or(*type == REG_DWORD || *type == REG_QWORD ? "0" : ""));
        if (!data) {
            ReportError("Invalid data \"" + arguments.data.value_or("") + "\" for " + arguments.type + ".");
            return 1;
        }
    }
    HKEY key = NULL;
    LONG result = RegCreateKeyExA(arguments.key.root->handle, arguments.key.subkey.c_str(), 0, NULL, 0,
                                  KEY_ALL_ACCESS, NULL, &key, NULL);
    if (result == ERROR_SUCCESS && data) {
        const char *name = arguments.value_name->c_str();
        // reg.exe asks before overwriting; with no one to ask, only /f overwrites.
        if (!arguments.force && RegQueryValueExA(key, name, NULL, NULL, NULL, NULL) == ERROR_SUCCESS) {
            RegCloseKey(key);
            ReportError("The value exists; use /f to overwrite it.");
            return 1;
        }
        result = RegSetValueExA(key, name, 0, *type, data->data(), static_cast<DWORD>(data->size()));
    }
    if (key != NULL) RegCloseKey(key);
    if (result != ERROR_SUCCESS) {
        ReportError(Win32Message(result));
        return 1;
    }
    printf("The operation completed successfully.\n");
    return 0;
}

LONG DeleteTree(HKEY parent, const std::string &subkey) {
    HKEY key = NULL;
    LONG result = RegOpenKeyExA(parent, subkey.c_str(), 0, KEY_ALL_ACCESS, &key);
    if (result != ERROR_SUCCESS) return result;
    std::string child;
    // Always take the first child: deleting shifts the indexes.
    while ((result = EnumSubkey(key, 0, child)) == ERROR_SUCCESS) {
        result = DeleteTree(key, child);
        if (result != ERROR_SUCCESS) break;
    }
    RegCloseKey(key);
    if (result != ERROR_NO_MORE_ITEMS) return result;
    return RegDeleteKeyA(parent, subkey.c_str());
}

int Delete(const RegArguments &arguments) {
    LONG result = ERROR_SUCCESS;
    if (arguments.value_name || arguments.all_values) {
        HKEY key = NULL;
        result = RegOpenKeyExA(arguments.key.root->handle, arguments.key.subkey.c_str(), 0, KEY_ALL_ACCESS, &key);
        if (result == ERROR_SUCCESS) {
            if (arguments.value_name) {
                result = RegDeleteValueA(key, arguments.value_name->c_str());
            } else {
                std::string name;
                DWORD type = 0;
                std::vector<BYTE> data;
                while ((result = EnumValue(key, 0, name, type, data)) == ERROR_SUCCESS) {
                    result = RegDeleteValueA(key, name.c_str());
                    if (result != ERROR_SUCCESS) break;
                }
                if (result == ERROR_NO_MORE_ITEMS) result = ERROR_SUCCESS;
            }
            RegCloseKey(key);
        }
    } else if (arguments.key.subkey.empty()) {
        ReportError("A root key cannot be deleted.");
        return 1;
    } else {
        result = DeleteTree(arguments.key.root->handle, arguments.key.subkey);
    }
    if (result != ERROR_SUCCESS) {
        ReportError(Win32Message(result));
        return 1;
    }
    printf("The operation completed successfully.\n");
    return 0;
}

}  // namespace

int RunReg(const Arguments &arguments) {
    if (arguments.empty()) {
        ReportError("Missing the operation (query, add or delete).");
        return 1;
    }
    std::optional<RegArguments> parsed = ParseArguments(arguments, 1);
    if (!parsed) return 1;
    const std::string &verb = arguments[0];
    if (strcasecmp(verb.c_str(), "query") == 0) return Query(*parsed);
    if (strcasecmp(verb.c_str(), "add") == 0) return Add(*parsed);
    if (strcasecmp(verb.c_str(), "delete") == 0) return Delete(*parsed);
    ReportError("Unknown operation \"" + verb + "\" (use query, add or delete).");
    return 1;
}

}  // namespace tm350::tool
