#include "dshow/registry_key.h"

#include "common/text.h"

#include <cstring>
#include <utility>

namespace tm350::dshow {

std::u16string Text(LPCWSTR text) { return text != nullptr ? std::u16string(tm350::text::View(text)) : std::u16string(); }

std::u16string GuidString(REFGUID guid) {
    WCHAR text[39] = {};
    StringFromGUID2(guid, text, 39);
    return Text(text);
}

std::optional<GUID> ParseGuid(const std::u16string &text) {
    GUID guid{};
    if (FAILED(CLSIDFromString(Wide(text), &guid))) return std::nullopt;
    return guid;
}

RegistryKey::RegistryKey(RegistryKey &&other) noexcept : key_(std::exchange(other.key_, nullptr)) {}

RegistryKey &RegistryKey::operator=(RegistryKey &&other) noexcept {
    std::swap(key_, other.key_);
    return *this;
}

RegistryKey::~RegistryKey() {
    if (key_ != nullptr) RegCloseKey(key_);
}

LSTATUS RegistryKey::Create(HKEY parent, const std::u16string &path, RegistryKey &key) {
    RegistryKey created;
    LSTATUS status = RegCreateKeyExW(parent, Wide(path), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created.key_,
                                     nullptr);
    if (status == ERROR_SUCCESS) key = std::move(created);
    return status;
}

LSTATUS RegistryKey::Open(HKEY parent, const std::u16string &path, RegistryKey &key) {
    RegistryKey opened;
    LSTATUS status = RegOpenKeyExW(parent, Wide(path), 0, KEY_READ, &opened.key_);
    if (status == ERROR_SUCCESS) key = std::move(opened);
    return status;
}

LSTATUS RegistryKey::SetString(const wchar_t *name, const std::u16string &text) {
    return RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
}

LSTATUS RegistryKey::SetDword(const wchar_t *name, DWORD value) {
    return RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
}

LSTATUS RegistryKey::SetBinary(const wchar_t *name, const std::vector<BYTE> &data) {
    return RegSetValueExW(key_, name, 0, REG_BINARY, data.data(), static_cast<DWORD>(data.size()));
}

std::optional<std::vector<BYTE>> RegistryKey::Raw(const wchar_t *name, DWORD expected_type) const {
    DWORD type = REG_NONE, size = 0;
    if (RegQueryValueExW(key_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != expected_type) {
        return std::nullopt;
    }
    std::vector<BYTE> data(size);
    if (RegQueryValueExW(key_, name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS || type != expected_type) {
        return std::nullopt;
    }
    data.resize(size);
    return data;
}

std::optional<std::u16string> RegistryKey::String(const wchar_t *name) const {
    auto data = Raw(name, REG_SZ);
    if (!data) return std::nullopt;
    std::u16string text(data->size() / sizeof(char16_t), u'\0');
    if (!text.empty()) std::memcpy(text.data(), data->data(), text.size() * sizeof(char16_t));
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return text;
}

std::optional<DWORD> RegistryKey::Dword(const wchar_t *name) const {
    auto data = Raw(name, REG_DWORD);
    if (!data || data->size() != sizeof(DWORD)) return std::nullopt;
    DWORD value = 0;
    std::memcpy(&value, data->data(), sizeof value);
    return value;
}

std::optional<std::vector<BYTE>> RegistryKey::Binary(const wchar_t *name) const { return Raw(name, REG_BINARY); }

std::vector<std::u16string> RegistryKey::SubkeyNames() const {
    std::vector<std::u16string> names;
    for (DWORD index = 0;; ++index) {
        WCHAR name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(key_, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.push_back(Text(name).substr(0, length));
    }
    return names;
}

}  // namespace tm350::dshow
