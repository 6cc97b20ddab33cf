// The camera's 64 KiB memory and the defect table stored in it.
//
// Addresses are 16 bits and wrap: an access running past 0xFFFF continues
// at 0x0000. Words are big-endian (high byte at the lower address).
//
// The stored defect table, per video size index s (0 to 3):
//   0x24C0            marker 0x5580
//   0x24C4 + 4s       size tag s x 0x0101
//   0x24C6 + 4s       number of defects of size s
//   0x2500 + 0x100s   the defects, 4 bytes each: x, then y
// so each size has room for 64 defects. The table lives in memory the
// camera keeps when unpowered: unplugging does not erase it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tm350::sim {

class CameraMemory {
public:
    static constexpr size_t kSize = 0x10000;

    uint8_t Read(uint16_t address) const { return bytes_[address]; }
    uint16_t ReadWord(uint16_t address) const;
    std::vector<uint8_t> Read(uint16_t address, size_t length) const;
    void Write(uint16_t address, std::span<const uint8_t> data);
    void WriteWord(uint16_t address, uint16_t value);
    void Fill(uint8_t value) { bytes_.fill(value); }

private:
    std::array<uint8_t, kSize> bytes_{};
};

constexpr uint16_t kDefectMarkerAddress = 0x24C0;
constexpr uint16_t kDefectMarker = 0x5580;
constexpr uint16_t kDefectTagAddress = 0x24C4;    // + 4s
constexpr uint16_t kDefectCountAddress = 0x24C6;  // + 4s
constexpr uint16_t kDefectEntriesAddress = 0x2500;  // + 0x100s + 4i
constexpr unsigned kDefectSizes = 4;
constexpr size_t kDefectSlotsPerSize = 64;

struct DefectPosition {
    uint16_t x = 0;  // column
    uint16_t y = 0;  // row
    friend bool operator==(const DefectPosition &, const DefectPosition &) = default;
};

struct DefectTable {
    std::array<std::vector<DefectPosition>, kDefectSizes> sizes;

    // A few defects per size, as a camera leaves the factory with.
    static DefectTable Default();
};

// Writes the marker, the tags, the counts and the entries. False, with
// nothing written, when a size lists more defects than it has room for.
bool StoreDefectTable(CameraMemory &memory, const DefectTable &table);

}  // namespace tm350::sim
