// Resources of loaded modules. A module built here carries its compiled
// resources (.res) in an ELF note of type kResourceNote, owner "TM350",
// inside a PT_NOTE segment, so they are mapped with the image and found
// from the module's base address alone: no symbol to look up, nothing that
// keeps the module loaded. A module without that note has no resources.
//
// An HRSRC is the address of the resource's record in the mapped image and
// LoadResource's HGLOBAL the address of its data, so both stay valid until
// the module unloads, as on Windows, and nothing needs freeing.
//
// Language choice, as the Windows loader documents it and as we rely on it:
// FindResource (and FindResourceEx with LANG_NEUTRAL/SUBLANG_NEUTRAL) tries
// the thread's UI language (GetUserDefaultUILanguage, which follows
// TM350_LANGID here), that language's primary language with a neutral
// sublanguage, LANG_NEUTRAL, English (United States), and then takes the
// first language the resource has. FindResourceEx with a language tries that
// language, its primary language neutral, then LANG_NEUTRAL, and fails with
// ERROR_RESOURCE_LANG_NOT_FOUND past that.
#include <windows.h>

#include "common/resource_file.h"
#include "common/text.h"
#include "kernel32/log.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

using tm350::kernel::Log;
using tm350::resources::ParseResourceFile;
using tm350::resources::ResourceEntry;
using tm350::resources::ResourceId;

namespace {

constexpr char kResourceNoteOwner[] = "TM350";
constexpr ElfW(Word) kResourceNote = 0x52535243;  // "RSRC"

struct ImageSearch {
    HMODULE module = nullptr;
    bool found = false;
    std::span<const BYTE> resources;
};

size_t NoteAligned(size_t size) { return (size + 3) & ~size_t{3}; }

// The resource note among one PT_NOTE segment's notes, if there.
std::optional<std::span<const BYTE>> ResourceNoteIn(const BYTE *segment, size_t size) {
    size_t offset = 0;
    while (size - offset >= sizeof(ElfW(Nhdr))) {
        ElfW(Nhdr) note;
        std::memcpy(&note, segment + offset, sizeof note);
        size_t name_at = offset + sizeof note;
        size_t descriptor_at = name_at + NoteAligned(note.n_namesz);
        if (descriptor_at > size || note.n_descsz > size - descriptor_at) return std::nullopt;
        if (note.n_type == kResourceNote && note.n_namesz == sizeof kResourceNoteOwner &&
            std::memcmp(segment + name_at, kResourceNoteOwner, sizeof kResourceNoteOwner) == 0) {
            return std::span<const BYTE>(segment + descriptor_at, note.n_descsz);
        }
        offset = descriptor_at + NoteAligned(note.n_descsz);
    }
    return std::nullopt;
}

int MatchImage(dl_phdr_info *info, size_t, void *context) {
    auto &search = *static_cast<ImageSearch *>(context);
    ElfW(Addr) lowest = ~ElfW(Addr){0};
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type == PT_LOAD) lowest = std::min(lowest, info->dlpi_phdr[i].p_vaddr);
    }
    if (lowest == ~ElfW(Addr){0}) return 0;
    // The image start as the loader names it, the way HMODULEs are made.
    Dl_info object{};
    if (dladdr(reinterpret_cast<void *>(info->dlpi_addr + lowest), &object) == 0 || object.dli_fbase != search.module) {
        return 0;
    }
    search.found = true;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_NOTE) continue;
        auto note = ResourceNoteIn(reinterpret_cast<const BYTE *>(info->dlpi_addr + segment.p_vaddr), segment.p_memsz);
        if (note) {
            search.resources = *note;
            break;
        }
    }
    return 1;
}

// The parsed resources of `module` (NULL: the program's own image), or
// nothing with the last error set: ERROR_INVALID_HANDLE when `module` is no
// loaded image (Windows leaves that case undefined; failing is the safe
// answer), ERROR_RESOURCE_DATA_NOT_FOUND when it carries no resources.
std::optional<std::vector<ResourceEntry>> ModuleResources(HMODULE module) {
    ImageSearch search;
    search.module = module != nullptr ? module : GetModuleHandleW(nullptr);
    if (search.module != nullptr) dl_iterate_phdr(MatchImage, &search);
    if (!search.found) {
        SetLastError(ERROR_INVALID_HANDLE);
        return std::nullopt;
    }
    if (search.resources.empty()) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return std::nullopt;
    }
    auto entries = ParseResourceFile(search.resources);
    if (!entries) {
        Log("FindResource: the resources of module %p are malformed", static_cast<void *>(search.module));
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return std::nullopt;
    }
    return entries;
}

// A type or name as a caller gives it: a number from MAKEINTRESOURCE, "#n"
// for the number n, or a string compared without regard to case.
ResourceId RequestedId(LPCWSTR id) {
    ResourceId requested;
    if (IS_INTRESOURCE(id)) {
        requested.is_number = true;
        requested.number = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(id));
        return requested;
    }
    std::u16string_view text = tm350::text::View(id);
    if (text.size() > 1 && text[0] == u'#') {
        unsigned long number = 0;
        bool digits = true;
        for (char16_t c : text.substr(1)) {
            if (c < u'0' || c > u'9' || number > 0xFFFF) {
                digits = false;
                break;
            }
            number = number * 10 + (c - u'0');
        }
        if (digits && number <= 0xFFFF) {
            requested.is_number = true;
            requested.number = static_cast<WORD>(number);
            return requested;
        }
    }
    requested.text = std::u16string(text);
    return requested;
}

bool Matches(const ResourceId &stored, const ResourceId &requested) {
    if (stored.is_number != requested.is_number) return false;
    if (stored.is_number) return stored.number == requested.number;
    return tm350::text::EqualsIgnoringCase(stored.text, requested.text);
}

std::vector<WORD> LanguagesToTry(WORD language) {
    const WORD neutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
    auto primary_only = [](WORD id) { return static_cast<WORD>(MAKELANGID(PRIMARYLANGID(id), SUBLANG_NEUTRAL)); };
    if (language == neutral) {
        LANGID ui = GetUserDefaultUILanguage();
        return {ui, primary_only(ui), neutral, static_cast<WORD>(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US))};
    }
    return {language, primary_only(language), neutral};
}

HRSRC Find(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language) {
    auto entries = ModuleResources(module);
    if (!entries) return nullptr;
    ResourceId wanted_type = RequestedId(type);
    ResourceId wanted_name = RequestedId(name);
    std::vector<const ResourceEntry *> candidates;
    bool type_seen = false;
    for (const ResourceEntry &entry : *entries) {
        if (!Matches(entry.type, wanted_type)) continue;
        type_seen = true;
        if (Matches(entry.name, wanted_name)) candidates.push_back(&entry);
    }
    if (candidates.empty()) {
        SetLastError(type_seen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    for (WORD candidate_language : LanguagesToTry(language)) {
        for (const ResourceEntry *entry : candidates) {
            if (entry->language == candidate_language) return reinterpret_cast<HRSRC>(const_cast<BYTE *>(entry->record));
        }
    }
    if (language == MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)) {
        return reinterpret_cast<HRSRC>(const_cast<BYTE *>(candidates.front()->record));
    }
    SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
    return nullptr;
}

// The entry `resource` names among `module`'s resources, or nothing with the
// last error set.
std::optional<ResourceEntry> EntryOf(HMODULE module, HRSRC resource) {
    if (resource == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return std::nullopt;
    }
    auto entries = ModuleResources(module);
    if (!entries) return std::nullopt;
    for (const ResourceEntry &entry : *entries) {
        if (entry.record == reinterpret_cast<const BYTE *>(resource)) return entry;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return std::nullopt;
}

std::optional<std::u16string> WideId(LPCSTR id) {
    if (IS_INTRESOURCE(id)) return std::nullopt;
    return tm350::text::Utf8ToUtf16(id);
}

}  // namespace

extern "C" {

HRSRC WINAPI FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage) {
    return Find(hModule, lpType, lpName, wLanguage);
}

HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) {
    return Find(hModule, lpType, lpName, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
}

HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType) {
    auto wide_name = WideId(lpName);
    auto wide_type = WideId(lpType);
    LPCWSTR name = wide_name ? tm350::text::AsWide(*wide_name) : reinterpret_cast<LPCWSTR>(lpName);
    LPCWSTR type = wide_type ? tm350::text::AsWide(*wide_type) : reinterpret_cast<LPCWSTR>(lpType);
    return FindResourceW(hModule, name, type);
}

HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo) {
    auto entry = EntryOf(hModule, hResInfo);
    if (!entry) return nullptr;
    return const_cast<BYTE *>(entry->data.data());
}

LPVOID WINAPI LockResource(HGLOBAL hResData) {
    // The data are mapped with the module: the handle is their address.
    return hResData;
}

DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo) {
    auto entry = EntryOf(hModule, hResInfo);
    if (!entry) return 0;
    return static_cast<DWORD>(entry->data.size());
}

BOOL WINAPI FreeResource(HGLOBAL hResData) {
    // Obsolete since 16-bit Windows: nothing to free, and Windows answers FALSE.
    return FALSE;
}

}  // extern "C"
