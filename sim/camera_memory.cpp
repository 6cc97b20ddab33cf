#include "sim/camera_memory.h"

namespace tm350::sim {

uint16_t CameraMemory::ReadWord(uint16_t address) const {
    return static_cast<uint16_t>(bytes_[address] << 8 | bytes_[static_cast<uint16_t>(address + 1)]);
}

std::vector<uint8_t> CameraMemory::Read(uint16_t address, size_t length) const {
    std::vector<uint8_t> data(length);
    for (size_t k = 0; k < length; ++k)
        data[k] = bytes_[static_cast<uint16_t>(address + k)];
    return data;
}

void CameraMemory::Write(uint16_t address, std::span<const uint8_t> data) {
    for (size_t k = 0; k < data.size(); ++k)
        bytes_[static_cast<uint16_t>(address + k)] = data[k];
}

void CameraMemory::WriteWord(uint16_t address, uint16_t value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    Write(address, bytes);
}

DefectTable DefectTable::Default() {
    DefectTable table;
    table.sizes[0] = {{100, 40}, {517, 300}, {1000, 700}};
    table.sizes[1] = {{64, 64}, {700, 500}};
    table.sizes[2] = {{300, 200}};
    return table;
}

bool StoreDefectTable(CameraMemory &memory, const DefectTable &table) {
    for (const auto &defects : table.sizes)
        if (defects.size() > kDefectSlotsPerSize) return false;
    memory.WriteWord(kDefectMarkerAddress, kDefectMarker);
    for (unsigned s = 0; s < kDefectSizes; ++s) {
        const auto &defects = table.sizes[s];
        memory.WriteWord(static_cast<uint16_t>(kDefectTagAddress + 4 * s), static_cast<uint16_t>(s * 0x0101));
        memory.WriteWord(static_cast<uint16_t>(kDefectCountAddress + 4 * s), static_cast<uint16_t>(defects.size()));
        for (size_t i = 0; i < defects.size(); ++i) {
            const auto entry = static_cast<uint16_t>(kDefectEntriesAddress + 0x100 * s + 4 * i);
            memory.WriteWord(entry, defects[i].x);
            memory.WriteWord(static_cast<uint16_t>(entry + 2), defects[i].y);
        }
    }
    return true;
}

}  // namespace tm350::sim
