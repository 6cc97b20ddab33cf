#include "dshow/registered_filters.h"

#include "dshow/filter_data.h"
#include "dshow/registry_key.h"

#include <dshow.h>

#include <algorithm>

namespace tm350::dshow {

namespace {

bool TakesType(const FilterRecord &record, const GUID &major_type) {
    for (const PinRecord &pin : record.pins) {
        if (pin.flags & REG_PINFLAG_B_OUTPUT) continue;
        if (pin.media_types.empty() || IsEqualGUID(major_type, GUID_NULL)) return true;
        for (const auto &[major, subtype] : pin.media_types) {
            if (IsEqualGUID(major, GUID_NULL) || IsEqualGUID(major, major_type)) return true;
        }
    }
    return false;
}

}  // namespace

std::vector<RegisteredFilter> RenderCandidates(const GUID &major_type) {
    std::vector<RegisteredFilter> candidates;
    RegistryKey instances;
    if (RegistryKey::Open(HKEY_CLASSES_ROOT, u"CLSID\\" + GuidString(CLSID_LegacyAmFilterCategory) + u"\\Instance",
                          instances) != ERROR_SUCCESS) {
        return candidates;
    }
    for (const std::u16string &instance : instances.SubkeyNames()) {
        RegistryKey key;
        if (RegistryKey::Open(instances.Get(), instance, key) != ERROR_SUCCESS) continue;
        std::optional<std::u16string> clsid_text = key.String(L"CLSID");
        std::optional<GUID> clsid = clsid_text ? ParseGuid(*clsid_text) : std::nullopt;
        std::optional<std::vector<BYTE>> data = key.Binary(L"FilterData");
        std::optional<FilterRecord> record = data ? DecodeFilterData(*data) : std::nullopt;
        if (!clsid || !record || record->merit <= MERIT_DO_NOT_USE || !TakesType(*record, major_type)) continue;
        candidates.push_back({*clsid, key.String(L"FriendlyName").value_or(u""), record->merit});
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const RegisteredFilter &a, const RegisteredFilter &b) { return a.merit > b.merit; });
    return candidates;
}

}  // namespace tm350::dshow
