// A filter's registration record (REGFILTER2) and the binary FilterData
// value it is stored as under a category's Instance key.
//
// The layout is the one Windows writes, as it can be observed in a
// registry; all fields are
// little-endian DWORDs and every offset counts from the start of the value:
//   header      version (2), merit, pin count, 0
//   per pin     tag "<n>pi3" (n the pin's index as a digit), flags
//               (REG_PINFLAG_*), instances, media type count, medium
//               count, offset of the pin category GUID (0: none)
//     per type  tag "<n>ty3", 0, offset of the major type, offset of the
//               subtype
//     per medium  offset of a REGPINMEDIUM
//   then every GUID and medium the records point at, each stored once.
// A version 1 record (REGFILTERPINS) is stored in the same form: its
// booleans become the flags, and names and connections are dropped.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <optional>
#include <span>
#include <vector>

namespace tm350::dshow {

struct PinRecord {
    DWORD flags = 0;
    UINT instances = 0;
    std::vector<std::pair<GUID, GUID>> media_types;  // major, subtype; GUID_NULL for any
    std::vector<REGPINMEDIUM> mediums;
    std::optional<GUID> category;
};

struct FilterRecord {
    DWORD merit = 0;
    std::vector<PinRecord> pins;
};

// Null when the record's version is neither 1 nor 2.
std::optional<FilterRecord> RecordFromRegistration(const REGFILTER2 &registration);
std::vector<BYTE> EncodeFilterData(const FilterRecord &record);
// Null when the bytes are not a well-formed record (offsets out of range,
// wrong tags, counts that do not fit).
std::optional<FilterRecord> DecodeFilterData(std::span<const BYTE> data);

}  // namespace tm350::dshow
