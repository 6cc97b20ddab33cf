// The advapi32 registry entry points. Each is written once, as a template
// over how its strings are encoded: the W functions pass UTF-16 through, the
// A functions convert names and string data from and to UTF-8 (this
// platform's ANSI code page) and count sizes in the converted form.
#include "advapi32/key_handles.h"
#include "advapi32/registry_buffers.h"
#include "advapi32/registry_operations.h"
#include "common/text.h"

#include <windows.h>

#include <algorithm>

namespace tm350::registry {
namespace {

struct WideText {
    using Character = WCHAR;
    using Unit = char16_t;
    using String = std::u16string;

    static std::u16string Incoming(const Character *name) { return std::u16string(text::View(name)); }
    static String Outgoing(std::u16string_view name) { return String(name); }
    static std::vector<BYTE> IncomingData(DWORD, std::span<const BYTE> data) { return {data.begin(), data.end()}; }
    static std::vector<BYTE> OutgoingData(const Value &value) { return value.data; }
    static DWORD LongestSubkeyName(const KeyInformation &information) { return information.longest_subkey_name; }
    static DWORD LongestValueName(const KeyInformation &information) { return information.longest_value_name; }
    static DWORD LargestValueData(const KeyInformation &information) { return information.largest_value_data; }
};

struct AnsiText {
    using Character = CHAR;
    using Unit = char;
    using String = std::string;

    static std::u16string Incoming(const Character *name) {
        return name != nullptr ? text::Utf8ToUtf16(name) : std::u16string();
    }
    static String Outgoing(std::u16string_view name) { return text::Utf16ToUtf8(name); }
    static std::vector<BYTE> IncomingData(DWORD type, std::span<const BYTE> data) {
        return IsStringType(type) ? StringDataToUtf16(data) : std::vector<BYTE>(data.begin(), data.end());
    }
    static std::vector<BYTE> OutgoingData(const Value &value) {
        return IsStringType(value.type) ? StringDataToUtf8(value.data) : value.data;
    }
    static DWORD LongestSubkeyName(const KeyInformation &information) {
        return information.longest_subkey_name_ansi;
    }
    static DWORD LongestValueName(const KeyInformation &information) { return information.longest_value_name_ansi; }
    static DWORD LargestValueData(const KeyInformation &information) { return information.largest_value_data_ansi; }
};

template <typename Text>
LSTATUS CreateKeyEx(HKEY key, const typename Text::Character *subkey, DWORD options, REGSAM access, PHKEY result,
                    LPDWORD disposition) {
    if (subkey == nullptr || result == nullptr) return ERROR_INVALID_PARAMETER;
    HKEY created = nullptr;
    DWORD how = 0;
    const LSTATUS status = CreateKey(key, Text::Incoming(subkey), options, access, created, how);
    if (status != ERROR_SUCCESS) return status;
    *result = created;
    if (disposition != nullptr) *disposition = how;
    return ERROR_SUCCESS;
}

// RegCreateKey and RegOpenKey hand back the very handle they were given when
// there is no subkey, as documented.
template <typename Text>
LSTATUS CreateOrOpenLegacy(HKEY key, const typename Text::Character *subkey, PHKEY result, bool create) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    if (subkey == nullptr || subkey[0] == 0) {
        if (create && !IsPredefinedKey(key)) {
            // Only the predefined keys are documented to come back as they
            // are; any other key gets a handle of its own.
            HKEY created = nullptr;
            DWORD disposition = 0;
            const LSTATUS status = CreateKey(key, u"", 0, MAXIMUM_ALLOWED, created, disposition);
            if (status == ERROR_SUCCESS) *result = created;
            return status;
        }
        KeyReference reference;
        if (LSTATUS status = ResolveKey(key, reference); status != ERROR_SUCCESS) return status;
        *result = key;
        return ERROR_SUCCESS;
    }
    if (create) return CreateKeyEx<Text>(key, subkey, 0, MAXIMUM_ALLOWED, result, nullptr);
    HKEY opened = nullptr;
    const LSTATUS status = OpenKey(key, Text::Incoming(subkey), MAXIMUM_ALLOWED, opened);
    if (status == ERROR_SUCCESS) *result = opened;
    return status;
}

template <typename Text>
LSTATUS OpenKeyEx(HKEY key, const typename Text::Character *subkey, REGSAM access, PHKEY result) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    HKEY opened = nullptr;
    const LSTATUS status = OpenKey(key, Text::Incoming(subkey), access, opened);
    if (status == ERROR_SUCCESS) *result = opened;
    return status;
}

template <typename Text>
LSTATUS QueryValueEx(HKEY key, const typename Text::Character *name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                     LPDWORD size) {
    if (reserved != nullptr || (data != nullptr && size == nullptr)) return ERROR_INVALID_PARAMETER;
    Value value;
    if (LSTATUS status = QueryValue(key, Text::Incoming(name), value); status != ERROR_SUCCESS) return status;
    if (type != nullptr) *type = value.type;
    return CopyValueData(Text::OutgoingData(value), data, size);
}

template <typename Text>
LSTATUS SetValueEx(HKEY key, const typename Text::Character *name, DWORD type, const BYTE *data, DWORD size) {
    // What Windows reports for reading through a null pointer.
    if (data == nullptr && size != 0) return ERROR_NOACCESS;
    const std::vector<BYTE> stored = Text::IncomingData(type, std::span(data, data != nullptr ? size : 0));
    return SetValue(key, Text::Incoming(name), type, stored);
}

template <typename Text>
LSTATUS DeleteKeyNamed(HKEY key, const typename Text::Character *subkey) {
    if (subkey == nullptr) return ERROR_INVALID_PARAMETER;
    return DeleteKey(key, Text::Incoming(subkey));
}

template <typename Text>
LSTATUS DeleteTreeNamed(HKEY key, const typename Text::Character *subkey) {
    if (subkey == nullptr) return DeleteTree(key, std::nullopt);
    return DeleteTree(key, Text::Incoming(subkey));
}

template <typename Text>
LSTATUS EnumKeyEx(HKEY key, DWORD index, typename Text::Character *name, LPDWORD name_length, LPDWORD reserved,
                  typename Text::Character *class_name, LPDWORD class_length, PFILETIME last_write_time) {
    if (name == nullptr || name_length == nullptr || reserved != nullptr) return ERROR_INVALID_PARAMETER;
    if (class_name != nullptr && class_length == nullptr) return ERROR_INVALID_PARAMETER;
    SubkeyEntry entry;
    if (LSTATUS status = EnumerateSubkey(key, index, entry); status != ERROR_SUCCESS) return status;
    const typename Text::String outgoing = Text::Outgoing(entry.name);
    const std::basic_string_view<typename Text::Unit> outgoing_view(outgoing);
    if (!NameFits(outgoing_view, name_length)) return ERROR_MORE_DATA;
    if (LSTATUS status = CheckEmptyClass(class_name, class_length); status != ERROR_SUCCESS) return status;
    CopyName(outgoing_view, name, name_length);
    CopyEmptyClass(class_name, class_length);
    CopyFileTime(entry.last_write_time, last_write_time);
    return ERROR_SUCCESS;
}

template <typename Text>
LSTATUS EnumValue(HKEY key, DWORD index, typename Text::Character *name, LPDWORD name_length, LPDWORD reserved,
                  LPDWORD type, LPBYTE data, LPDWORD size) {
    if (name == nullptr || name_length == nullptr || reserved != nullptr) return ERROR_INVALID_PARAMETER;
    if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
    Value value;
    if (LSTATUS status = EnumerateValue(key, index, value); status != ERROR_SUCCESS) return status;
    const typename Text::String outgoing = Text::Outgoing(value.name);
    const std::basic_string_view<typename Text::Unit> outgoing_view(outgoing);
    const std::vector<BYTE> bytes = Text::OutgoingData(value);
    const DWORD required = static_cast<DWORD>(bytes.size());
    const bool data_fits = data == nullptr || *size >= required;
    if (type != nullptr) *type = value.type;
    if (!data_fits) *size = required;
    if (!data_fits || !NameFits(outgoing_view, name_length)) return ERROR_MORE_DATA;

    const DWORD capacity = size != nullptr ? *size : 0;
    CopyValueData(bytes, data, size);
    CopyName(outgoing_view, name, name_length);
    // As documented for RegEnumValue (not RegQueryValueEx): a string stored
    // without its terminator gets one when the buffer has room, uncounted.
    constexpr size_t kTerminator = sizeof(typename Text::Character);
    if (data != nullptr && IsStringType(value.type) && bytes.size() + kTerminator <= capacity) {
        const bool terminated = bytes.size() >= kTerminator &&
                                std::all_of(bytes.end() - kTerminator, bytes.end(), [](BYTE b) { return b == 0; });
        if (!terminated) std::memset(data + bytes.size(), 0, kTerminator);
    }
    return ERROR_SUCCESS;
}

template <typename Text>
LSTATUS QueryInfoKey(HKEY key, typename Text::Character *class_name, LPDWORD class_length, LPDWORD reserved,
                     LPDWORD subkey_count, LPDWORD longest_subkey_name, LPDWORD longest_class, LPDWORD value_count,
                     LPDWORD longest_value_name, LPDWORD largest_value_data, LPDWORD security_descriptor_size,
                     PFILETIME last_write_time) {
    if (reserved != nullptr || (class_name != nullptr && class_length == nullptr)) return ERROR_INVALID_PARAMETER;
    KeyInformation information;
    if (LSTATUS status = QueryKeyInformation(key, information); status != ERROR_SUCCESS) return status;
    if (LSTATUS status = CheckEmptyClass(class_name, class_length); status != ERROR_SUCCESS) return status;
    CopyEmptyClass(class_name, class_length);
    if (subkey_count != nullptr) *subkey_count = information.subkey_count;
    if (longest_subkey_name != nullptr) *longest_subkey_name = Text::LongestSubkeyName(information);
    if (longest_class != nullptr) *longest_class = 0;
    if (value_count != nullptr) *value_count = information.value_count;
    if (longest_value_name != nullptr) *longest_value_name = Text::LongestValueName(information);
    if (largest_value_data != nullptr) *largest_value_data = Text::LargestValueData(information);
    // Keys carry no security descriptors.
    if (security_descriptor_size != nullptr) *security_descriptor_size = 0;
    CopyFileTime(information.last_write_time, last_write_time);
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace tm350::registry

using namespace tm350::registry;

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD dwOptions, REGSAM samDesired,
                               const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    return CreateKeyEx<AnsiText>(hKey, lpSubKey, dwOptions, samDesired, phkResult, lpdwDisposition);
}

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD dwOptions, REGSAM samDesired,
                               const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    return CreateKeyEx<WideText>(hKey, lpSubKey, dwOptions, samDesired, phkResult, lpdwDisposition);
}

LSTATUS WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    return CreateOrOpenLegacy<AnsiText>(hKey, lpSubKey, phkResult, true);
}

LSTATUS WINAPI RegCreateKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
    return CreateOrOpenLegacy<WideText>(hKey, lpSubKey, phkResult, true);
}

LSTATUS WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    return CreateOrOpenLegacy<AnsiText>(hKey, lpSubKey, phkResult, false);
}

LSTATUS WINAPI RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
    return CreateOrOpenLegacy<WideText>(hKey, lpSubKey, phkResult, false);
}

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    return OpenKeyEx<AnsiText>(hKey, lpSubKey, samDesired, phkResult);
}

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    return OpenKeyEx<WideText>(hKey, lpSubKey, samDesired, phkResult);
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) { return CloseKey(hKey); }

LSTATUS WINAPI RegFlushKey(HKEY hKey) {
    // Every change is already durable when the call that made it returns.
    KeyReference reference;
    return ResolveKey(hKey, reference);
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    return QueryValueEx<AnsiText>(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    return QueryValueEx<WideText>(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE *lpData,
                              DWORD cbData) {
    return SetValueEx<AnsiText>(hKey, lpValueName, dwType, lpData, cbData);
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE *lpData,
                              DWORD cbData) {
    return SetValueEx<WideText>(hKey, lpValueName, dwType, lpData, cbData);
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    return DeleteValue(hKey, AnsiText::Incoming(lpValueName));
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    return DeleteValue(hKey, WideText::Incoming(lpValueName));
}

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) { return DeleteKeyNamed<AnsiText>(hKey, lpSubKey); }

LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) { return DeleteKeyNamed<WideText>(hKey, lpSubKey); }

LSTATUS WINAPI RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) { return DeleteTreeNamed<AnsiText>(hKey, lpSubKey); }

LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) { return DeleteTreeNamed<WideText>(hKey, lpSubKey); }

LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    return EnumKeyEx<AnsiText>(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass,
                               lpftLastWriteTime);
}

LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    return EnumKeyEx<WideText>(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass,
                               lpftLastWriteTime);
}

LSTATUS WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
    return EnumKeyEx<AnsiText>(hKey, dwIndex, lpName, &cchName, nullptr, nullptr, nullptr, nullptr);
}

LSTATUS WINAPI RegEnumKeyW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD cchName) {
    return EnumKeyEx<WideText>(hKey, dwIndex, lpName, &cchName, nullptr, nullptr, nullptr, nullptr);
}

LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return EnumValue<AnsiText>(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return EnumValue<WideText>(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    return QueryInfoKey<AnsiText>(hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys, lpcbMaxSubKeyLen,
                                  lpcbMaxClassLen, lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen,
                                  lpcbSecurityDescriptor, lpftLastWriteTime);
}

LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    return QueryInfoKey<WideText>(hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys, lpcbMaxSubKeyLen,
                                  lpcbMaxClassLen, lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen,
                                  lpcbSecurityDescriptor, lpftLastWriteTime);
}
