// Camera settings named on a command line as Name=value.
#pragma once

#include <initializer_list>
#include <string>

#include "filter/camera_settings.h"
#include "filter/settings_store.h"

namespace tm350::tool {

// The eighteen settings by name, in the order the store loads them.
constexpr std::initializer_list<const char *> kEverySetting = {
    "eNVC480Size", "bAutoWB", "r",     "g",        "b",                "AutoExposure", "ExposureTime", "AnalogGain",
    "AETarget",    "Gamma",   "Speed", "Contrast", "EnableSaturation", "Saturation",   "WhiteBlack",   "VFlip",
    "HFlip",       "HZ"};

// Whether what is set lasts only for this run or is saved with the settings.
enum class SettingUse { ThisRun, Saved };

struct SettingRange {
    DWORD minimum;
    DWORD maximum;
};

// The range the settings store applies on load. For a saved setting, where
// a twin stored later in load order lands in the same field (AnalogGain and
// Gain), the twin's range: only those values come back as they were saved.
SettingRange RangeOf(const CSettingValue &value, SettingUse use);

// The stored value of that name (exact), or nullptr.
const CSettingValue *FindSettingValue(const char *name);

// Applies one Name=value argument (the name in any case) within RangeOf.
// Only the names in `allowed` are accepted. On failure *error holds one
// line saying why and `settings` is unchanged.
bool ApplySettingArgument(const std::string &argument, std::initializer_list<const char *> allowed,
                          CCameraSettings &settings, std::string *error, SettingUse use = SettingUse::ThisRun);

}  // namespace tm350::tool
