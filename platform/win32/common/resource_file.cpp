#include "common/resource_file.h"

#include <cstring>

namespace tm350::resources {
namespace {

constexpr size_t kFixedTail = 4 + 2 + 2 + 4 + 4;  // DataVersion, MemoryFlags, LanguageId, Version, Characteristics
constexpr size_t kLanguageOffsetInTail = 4 + 2;

size_t AlignedToDword(size_t offset) { return (offset + 3) & ~size_t{3}; }

template <class T>
T ReadAt(std::span<const BYTE> bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// A type or name field at `offset` of `header`: 0xFFFF and a number, or a
// zero-terminated UTF-16 string. Moves `offset` past it.
std::optional<ResourceId> ReadId(std::span<const BYTE> header, size_t &offset) {
    if (offset + 2 > header.size()) return std::nullopt;
    ResourceId id;
    if (ReadAt<WORD>(header, offset) == 0xFFFF) {
        if (offset + 4 > header.size()) return std::nullopt;
        id.is_number = true;
        id.number = ReadAt<WORD>(header, offset + 2);
        offset += 4;
        return id;
    }
    for (;;) {
        if (offset + 2 > header.size()) return std::nullopt;
        char16_t c = ReadAt<char16_t>(header, offset);
        offset += 2;
        if (c == 0) return id;
        id.text.push_back(c);
    }
}

}  // namespace

std::optional<std::vector<ResourceEntry>> ParseResourceFile(std::span<const BYTE> bytes) {
    std::vector<ResourceEntry> entries;
    size_t offset = 0;
    bool first = true;
    while (offset < bytes.size()) {
        if (bytes.size() - offset < 8) return std::nullopt;
        DWORD data_size = ReadAt<DWORD>(bytes, offset);
        DWORD header_size = ReadAt<DWORD>(bytes, offset + 4);
        size_t remaining = bytes.size() - offset;
        if (header_size < 8 || header_size > remaining || data_size > remaining - header_size) return std::nullopt;
        std::span<const BYTE> header = bytes.subspan(offset, header_size);
        size_t field = 8;
        auto type = ReadId(header, field);
        if (!type) return std::nullopt;
        auto name = ReadId(header, field);
        if (!name) return std::nullopt;
        field = AlignedToDword(field);
        if (field + kFixedTail > header.size()) return std::nullopt;
        WORD language = ReadAt<WORD>(header, field + kLanguageOffsetInTail);

        // The marker record: type 0, name 0, no data.
        bool marker = first && type->is_number && type->number == 0 && data_size == 0;
        if (!marker) {
            ResourceEntry entry;
            entry.record = bytes.data() + offset;
            entry.type = std::move(*type);
            entry.name = std::move(*name);
            entry.language = language;
            entry.data = bytes.subspan(offset + header_size, data_size);
            entries.push_back(std::move(entry));
        }
        first = false;
        offset = AlignedToDword(offset + header_size + data_size);
    }
    return entries;
}

}  // namespace tm350::resources
