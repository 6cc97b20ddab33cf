// An open registry key that closes itself, with the few value types the
// media runtime keeps (strings, DWORDs, binary blocks).
#pragma once

#include <windows.h>
#include <objbase.h>

#include <optional>
#include <string>
#include <vector>

namespace tm350::dshow {

// Windows text in the platform's own strings (wchar_t is 16 bits in
// Windows-style code, but std::wstring belongs to the C++ library, built
// with 32).
inline LPCWSTR Wide(const std::u16string &text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }
std::u16string Text(LPCWSTR text);

// "{XXXXXXXX-XXXX-...}" as the registry spells class keys.
std::u16string GuidString(REFGUID guid);
std::optional<GUID> ParseGuid(const std::u16string &text);

class RegistryKey {
public:
    RegistryKey() = default;
    RegistryKey(RegistryKey &&other) noexcept;
    RegistryKey &operator=(RegistryKey &&other) noexcept;
    ~RegistryKey();

    // ERROR_* of the registry, as a Win32 status.
    static LSTATUS Create(HKEY parent, const std::u16string &path, RegistryKey &key);
    static LSTATUS Open(HKEY parent, const std::u16string &path, RegistryKey &key);

    HKEY Get() const { return key_; }

    LSTATUS SetString(const wchar_t *name, const std::u16string &text);
    LSTATUS SetDword(const wchar_t *name, DWORD value);
    LSTATUS SetBinary(const wchar_t *name, const std::vector<BYTE> &data);

    std::optional<std::u16string> String(const wchar_t *name) const;
    std::optional<DWORD> Dword(const wchar_t *name) const;
    std::optional<std::vector<BYTE>> Binary(const wchar_t *name) const;

    // In the registry's order (case-insensitive by name).
    std::vector<std::u16string> SubkeyNames() const;

private:
    std::optional<std::vector<BYTE>> Raw(const wchar_t *name, DWORD expected_type) const;

    HKEY key_ = nullptr;
};

// A registry status as the HRESULT the runtime's methods return.
inline HRESULT FromRegistry(LSTATUS status) {
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(status));
}

}  // namespace tm350::dshow
