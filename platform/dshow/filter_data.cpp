#include "dshow/filter_data.h"

#include <cstring>

namespace tm350::dshow {

namespace {

constexpr DWORD kRecordVersion = 2;
constexpr size_t kHeaderSize = 16;
constexpr size_t kPinSize = 24;
constexpr size_t kTypeSize = 16;

DWORD Tag(size_t index, char a, char b, char c) {
    // The index is one character, as Windows writes it; it wraps past 9.
    const BYTE bytes[4] = {static_cast<BYTE>('0' + index % 10), static_cast<BYTE>(a), static_cast<BYTE>(b),
                           static_cast<BYTE>(c)};
    DWORD tag = 0;
    std::memcpy(&tag, bytes, 4);
    return tag;
}

class Writer {
public:
    void Put(DWORD value) {
        const auto *bytes = reinterpret_cast<const BYTE *>(&value);
        data_.insert(data_.end(), bytes, bytes + 4);
    }
    size_t Reserve() {
        data_.resize(data_.size() + 4);
        return data_.size() - 4;
    }
    void PutAt(size_t position, DWORD value) { std::memcpy(data_.data() + position, &value, 4); }
    // Stores a block in the pool once and returns its offset.
    DWORD Pooled(const void *block, size_t size) {
        for (const auto &[offset, length] : pool_) {
            if (length == size && std::memcmp(data_.data() + offset, block, size) == 0) return offset;
        }
        const DWORD offset = static_cast<DWORD>(data_.size());
        const auto *bytes = static_cast<const BYTE *>(block);
        data_.insert(data_.end(), bytes, bytes + size);
        pool_.emplace_back(offset, size);
        return offset;
    }
    std::vector<BYTE> Take() { return std::move(data_); }

private:
    std::vector<BYTE> data_;
    std::vector<std::pair<DWORD, size_t>> pool_;
};

class Reader {
public:
    explicit Reader(std::span<const BYTE> data) : data_(data) {}
    bool Dword(size_t position, DWORD &value) const {
        if (position > data_.size() || data_.size() - position < 4) return false;
        std::memcpy(&value, data_.data() + position, 4);
        return true;
    }
    template <class Block>
    bool At(DWORD offset, Block &block) const {
        if (offset > data_.size() || data_.size() - offset < sizeof(Block)) return false;
        std::memcpy(&block, data_.data() + offset, sizeof(Block));
        return true;
    }
    size_t Size() const { return data_.size(); }

private:
    std::span<const BYTE> data_;
};

}  // namespace

std::optional<FilterRecord> RecordFromRegistration(const REGFILTER2 &registration) {
    FilterRecord record;
    record.merit = registration.dwMerit;
    auto type_of = [](const REGPINTYPES &type) {
        return std::make_pair(type.clsMajorType ? *type.clsMajorType : GUID_NULL,
                              type.clsMinorType ? *type.clsMinorType : GUID_NULL);
    };
    if (registration.dwVersion == 1) {
        for (ULONG index = 0; index < registration.cPins; ++index) {
            const REGFILTERPINS &pin = registration.rgPins[index];
            PinRecord stored;
            stored.flags = (pin.bZero ? REG_PINFLAG_B_ZERO : 0) | (pin.bRendered ? REG_PINFLAG_B_RENDERER : 0) |
                           (pin.bMany ? REG_PINFLAG_B_MANY : 0) | (pin.bOutput ? REG_PINFLAG_B_OUTPUT : 0);
            for (UINT type = 0; type < pin.nMediaTypes; ++type) stored.media_types.push_back(type_of(pin.lpMediaType[type]));
            record.pins.push_back(std::move(stored));
        }
        return record;
    }
    if (registration.dwVersion != 2) return std::nullopt;
    for (ULONG index = 0; index < registration.cPins2; ++index) {
        const REGFILTERPINS2 &pin = registration.rgPins2[index];
        PinRecord stored;
        stored.flags = pin.dwFlags;
        stored.instances = pin.cInstances;
        for (UINT type = 0; type < pin.nMediaTypes; ++type) stored.media_types.push_back(type_of(pin.lpMediaType[type]));
        for (UINT medium = 0; medium < pin.nMediums; ++medium) stored.mediums.push_back(pin.lpMedium[medium]);
        if (pin.clsPinCategory != nullptr) stored.category = *pin.clsPinCategory;
        record.pins.push_back(std::move(stored));
    }
    return record;
}

std::vector<BYTE> EncodeFilterData(const FilterRecord &record) {
    Writer writer;
    writer.Put(kRecordVersion);
    writer.Put(record.merit);
    writer.Put(static_cast<DWORD>(record.pins.size()));
    writer.Put(0);
    // The fixed part first, with room for every offset; the pool follows.
    struct Pending {
        size_t position;
        const void *block;
        size_t size;
    };
    std::vector<Pending> pending;
    for (size_t pin_index = 0; pin_index < record.pins.size(); ++pin_index) {
        const PinRecord &pin = record.pins[pin_index];
        writer.Put(Tag(pin_index, 'p', 'i', '3'));
        writer.Put(pin.flags);
        writer.Put(pin.instances);
        writer.Put(static_cast<DWORD>(pin.media_types.size()));
        writer.Put(static_cast<DWORD>(pin.mediums.size()));
        size_t category = writer.Reserve();
        if (pin.category) pending.push_back({category, &*pin.category, sizeof(GUID)});
        for (size_t type_index = 0; type_index < pin.media_types.size(); ++type_index) {
            writer.Put(Tag(type_index, 't', 'y', '3'));
            writer.Put(0);
            pending.push_back({writer.Reserve(), &pin.media_types[type_index].first, sizeof(GUID)});
            pending.push_back({writer.Reserve(), &pin.media_types[type_index].second, sizeof(GUID)});
        }
        for (const REGPINMEDIUM &medium : pin.mediums) pending.push_back({writer.Reserve(), &medium, sizeof medium});
    }
    for (const Pending &entry : pending) writer.PutAt(entry.position, writer.Pooled(entry.block, entry.size));
    return writer.Take();
}

std::optional<FilterRecord> DecodeFilterData(std::span<const BYTE> data) {
    Reader reader(data);
    DWORD version = 0, merit = 0, pins = 0;
    if (!reader.Dword(0, version) || !reader.Dword(4, merit) || !reader.Dword(8, pins)) return std::nullopt;
    if (version != kRecordVersion || pins > data.size() / kPinSize) return std::nullopt;
    FilterRecord record;
    record.merit = merit;
    size_t position = kHeaderSize;
    for (DWORD pin_index = 0; pin_index < pins; ++pin_index) {
        DWORD tag = 0, types = 0, mediums = 0, category = 0;
        PinRecord pin;
        if (!reader.Dword(position, tag) || tag != Tag(pin_index, 'p', 'i', '3')) return std::nullopt;
        if (!reader.Dword(position + 4, pin.flags) || !reader.Dword(position + 8, pin.instances) ||
            !reader.Dword(position + 12, types) || !reader.Dword(position + 16, mediums) ||
            !reader.Dword(position + 20, category)) {
            return std::nullopt;
        }
        if (types > data.size() / kTypeSize || mediums > data.size() / 4) return std::nullopt;
        position += kPinSize;
        if (category != 0) {
            GUID guid{};
            if (!reader.At(category, guid)) return std::nullopt;
            pin.category = guid;
        }
        for (DWORD type_index = 0; type_index < types; ++type_index) {
            DWORD major_offset = 0, subtype_offset = 0;
            GUID major{}, subtype{};
            if (!reader.Dword(position, tag) || tag != Tag(type_index, 't', 'y', '3') ||
                !reader.Dword(position + 8, major_offset) || !reader.Dword(position + 12, subtype_offset) ||
                !reader.At(major_offset, major) || !reader.At(subtype_offset, subtype)) {
                return std::nullopt;
            }
            pin.media_types.emplace_back(major, subtype);
            position += kTypeSize;
        }
        for (DWORD medium_index = 0; medium_index < mediums; ++medium_index) {
            DWORD offset = 0;
            REGPINMEDIUM medium{};
            if (!reader.Dword(position, offset) || !reader.At(offset, medium)) return std::nullopt;
            pin.mediums.push_back(medium);
            position += 4;
        }
        record.pins.push_back(std::move(pin));
    }
    return record;
}

}  // namespace tm350::dshow
