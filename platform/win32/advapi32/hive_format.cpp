#include "advapi32/hive_format.h"

#include "common/text.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <random>

namespace tm350::registry {

namespace {

constexpr std::array<char, 8> kMagic = {'T', 'M', '3', '5', '0', 'R', 'E', 'G'};
constexpr uint32_t kFormatVersion = 1;
constexpr size_t kHeaderSize = kMagic.size() + 4 + 8;
constexpr size_t kTrailerSize = 4;

struct SubkeyOrder {
    bool operator()(const Key &key, std::u16string_view name) const { return CompareNames(key.name, name) < 0; }
};

class Writer {
public:
    void Bytes(const void *data, size_t size) {
        const auto *first = static_cast<const std::byte *>(data);
        out_.insert(out_.end(), first, first + size);
    }
    void U32(uint32_t value) {
        std::array<std::byte, 4> bytes;
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::byte>(value >> (8 * i));
        Bytes(bytes.data(), bytes.size());
    }
    void U64(uint64_t value) {
        U32(static_cast<uint32_t>(value));
        U32(static_cast<uint32_t>(value >> 32));
    }
    void Text(std::u16string_view text) {
        U32(static_cast<uint32_t>(text.size()));
        for (char16_t unit : text) {
            const std::array<std::byte, 2> bytes = {static_cast<std::byte>(unit), static_cast<std::byte>(unit >> 8)};
            Bytes(bytes.data(), bytes.size());
        }
    }
    void KeyRecord(const Key &key) {
        U64(key.id);
        U64(key.last_write_time);
        Text(key.name);
        U32(static_cast<uint32_t>(key.values.size()));
        for (const Value &value : key.values) {
            Text(value.name);
            U32(value.type);
            U32(static_cast<uint32_t>(value.data.size()));
            Bytes(value.data.data(), value.data.size());
        }
        U32(static_cast<uint32_t>(key.subkeys.size()));
        for (const Key &subkey : key.subkeys) KeyRecord(subkey);
    }
    std::vector<std::byte> &Output() { return out_; }

private:
    std::vector<std::byte> out_;
};

// Every read is bounds-checked: a damaged file must fail decoding, not crash.
class Reader {
public:
    explicit Reader(std::span<const std::byte> bytes) : bytes_(bytes) {}

    size_t Remaining() const { return bytes_.size() - position_; }

    bool Bytes(void *out, size_t size) {
        if (size > Remaining()) return false;
        if (size != 0) std::memcpy(out, bytes_.data() + position_, size);
        position_ += size;
        return true;
    }
    bool U32(uint32_t &value) {
        std::array<unsigned char, 4> bytes;
        if (!Bytes(bytes.data(), bytes.size())) return false;
        value = 0;
        for (size_t i = 0; i < bytes.size(); ++i) value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
        return true;
    }
    bool U64(uint64_t &value) {
        uint32_t low = 0, high = 0;
        if (!U32(low) || !U32(high)) return false;
        value = (static_cast<uint64_t>(high) << 32) | low;
        return true;
    }
    bool Text(std::u16string &text, size_t maximum_length) {
        uint32_t length = 0;
        if (!U32(length) || length > maximum_length || length > Remaining() / 2) return false;
        text.resize(length);
        for (char16_t &unit : text) {
            std::array<unsigned char, 2> bytes;
            if (!Bytes(bytes.data(), bytes.size())) return false;
            unit = static_cast<char16_t>(bytes[0] | (bytes[1] << 8));
        }
        return true;
    }
    bool KeyRecord(Key &key, size_t depth) {
        if (depth > kMaximumKeyDepth) return false;
        if (!U64(key.id) || !U64(key.last_write_time) || !Text(key.name, kMaximumKeyNameLength)) return false;
        uint32_t value_count = 0;
        // Smallest value record: empty name, type and size.
        if (!U32(value_count) || value_count > Remaining() / 12) return false;
        key.values.resize(value_count);
        for (Value &value : key.values) {
            uint32_t size = 0;
            if (!Text(value.name, kMaximumValueNameLength) || !U32(value.type) || !U32(size) || size > Remaining()) {
                return false;
            }
            value.data.resize(size);
            if (!Bytes(value.data.data(), size)) return false;
        }
        uint32_t subkey_count = 0;
        // Smallest key record: id, time, a name of one unit and two counts.
        if (!U32(subkey_count) || subkey_count > Remaining() / 30) return false;
        key.subkeys.resize(subkey_count);
        for (size_t i = 0; i < key.subkeys.size(); ++i) {
            Key &subkey = key.subkeys[i];
            if (!KeyRecord(subkey, depth + 1)) return false;
            if (subkey.name.empty() || subkey.name.find(u'\\') != std::u16string::npos) return false;
            if (i > 0 && CompareNames(key.subkeys[i - 1].name, subkey.name) >= 0) return false;
        }
        return true;
    }

private:
    std::span<const std::byte> bytes_;
    size_t position_ = 0;
};

const std::array<uint32_t, 256> &CrcTable() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> entries{};
        for (uint32_t i = 0; i < entries.size(); ++i) {
            uint32_t crc = i;
            for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
            entries[i] = crc;
        }
        return entries;
    }();
    return table;
}

}  // namespace

int CompareNames(std::u16string_view a, std::u16string_view b) {
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        const char16_t left = text::FoldCase(a[i]);
        const char16_t right = text::FoldCase(b[i]);
        if (left != right) return left < right ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

uint64_t CurrentFileTime() {
    constexpr uint64_t kSecondsFrom1601To1970 = 11644473600ull;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<uint64_t>(now.tv_sec) + kSecondsFrom1601To1970) * 10000000ull +
           static_cast<uint64_t>(now.tv_nsec) / 100;
}

uint32_t Crc32(std::span<const std::byte> bytes) {
    const auto &table = CrcTable();
    uint32_t crc = 0xFFFFFFFFu;
    for (std::byte b : bytes) crc = table[(crc ^ static_cast<uint8_t>(b)) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

Key *Key::FindSubkey(std::u16string_view subkey_name) {
    auto found = std::lower_bound(subkeys.begin(), subkeys.end(), subkey_name, SubkeyOrder{});
    return found != subkeys.end() && CompareNames(found->name, subkey_name) == 0 ? &*found : nullptr;
}

const Key *Key::FindSubkey(std::u16string_view subkey_name) const {
    return const_cast<Key *>(this)->FindSubkey(subkey_name);
}

Key &Key::InsertSubkey(Key subkey) {
    auto position = std::lower_bound(subkeys.begin(), subkeys.end(), subkey.name, SubkeyOrder{});
    return *subkeys.insert(position, std::move(subkey));
}

bool Key::RemoveSubkey(std::u16string_view subkey_name) {
    auto found = std::lower_bound(subkeys.begin(), subkeys.end(), subkey_name, SubkeyOrder{});
    if (found == subkeys.end() || CompareNames(found->name, subkey_name) != 0) return false;
    subkeys.erase(found);
    return true;
}

Value *Key::FindValue(std::u16string_view value_name) {
    for (Value &value : values) {
        if (text::EqualsIgnoringCase(value.name, value_name)) return &value;
    }
    return nullptr;
}

const Value *Key::FindValue(std::u16string_view value_name) const {
    return const_cast<Key *>(this)->FindValue(value_name);
}

bool Key::RemoveValue(std::u16string_view value_name) {
    auto found = std::find_if(values.begin(), values.end(),
                              [&](const Value &value) { return text::EqualsIgnoringCase(value.name, value_name); });
    if (found == values.end()) return false;
    values.erase(found);
    return true;
}

HiveContents HiveContents::Empty() {
    std::random_device entropy;
    HiveContents hive;
    // Leave the top bits clear so the counter never wraps into the root's id.
    hive.next_key_id = ((static_cast<uint64_t>(entropy()) << 24) ^ entropy()) + 0x100;
    hive.root.id = kRootKeyId;
    hive.root.last_write_time = CurrentFileTime();
    return hive;
}

std::vector<std::byte> EncodeHive(const HiveContents &hive) {
    Writer body;
    body.U64(hive.next_key_id);
    body.KeyRecord(hive.root);

    Writer file;
    file.Bytes(kMagic.data(), kMagic.size());
    file.U32(kFormatVersion);
    file.U64(body.Output().size());
    file.Bytes(body.Output().data(), body.Output().size());
    file.U32(Crc32(file.Output()));
    return std::move(file.Output());
}

std::optional<HiveContents> DecodeHive(std::span<const std::byte> bytes) {
    if (bytes.size() < kHeaderSize + kTrailerSize) return std::nullopt;
    const auto covered = bytes.first(bytes.size() - kTrailerSize);
    Reader trailer(bytes.last(kTrailerSize));
    uint32_t stored_crc = 0;
    if (!trailer.U32(stored_crc) || stored_crc != Crc32(covered)) return std::nullopt;

    Reader header(covered);
    std::array<char, kMagic.size()> magic{};
    uint32_t version = 0;
    uint64_t body_length = 0;
    if (!header.Bytes(magic.data(), magic.size()) || magic != kMagic) return std::nullopt;
    if (!header.U32(version) || version != kFormatVersion) return std::nullopt;
    if (!header.U64(body_length) || body_length != header.Remaining()) return std::nullopt;

    HiveContents hive;
    Reader body(covered.subspan(kHeaderSize));
    if (!body.U64(hive.next_key_id) || !body.KeyRecord(hive.root, 0)) return std::nullopt;
    if (body.Remaining() != 0 || hive.root.id != HiveContents::kRootKeyId || !hive.root.name.empty()) {
        return std::nullopt;
    }
    return hive;
}

}  // namespace tm350::registry
