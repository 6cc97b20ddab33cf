#include "settings_store.h"

#define SETTING(field, minimum, maximum)                                                           \
    {#field, minimum, maximum, FALSE, [](const CCameraSettings &s) -> DWORD { return s.field; }, \
     [](CCameraSettings &s, DWORD v) { s.field = static_cast<decltype(s.field)>(v); }}

// Load order. "Gain" comes after "AnalogGain" and lands in the same field, so
// where both are stored "Gain" decides, with its own narrower range.
const CSettingValue g_SettingValues[NVC480_STORED_VALUES] = {
    SETTING(eNVC480Size, 0, 3),
    SETTING(bAutoWB, 0, 1),
    SETTING(r, 0, 255),
    SETTING(g, 0, 255),
    SETTING(b, 0, 255),
    SETTING(AutoExposure, 0, 1),
    SETTING(ExposureTime, 1, 4000),
    SETTING(AnalogGain, 1, 767),
    SETTING(AETarget, 40, 200),
    SETTING(Gamma, 10, 250),
    SETTING(Contrast, 0, 100),
    SETTING(EnableSaturation, 0, 1),
    SETTING(Saturation, 0, 255),
    SETTING(WhiteBlack, 0, 1),
    SETTING(VFlip, 0, 1),
    SETTING(HFlip, 0, 1),
    {"Gain", 224, 768, TRUE, [](const CCameraSettings &s) -> DWORD { return s.AnalogGain; },
     [](CCameraSettings &s, DWORD v) { s.AnalogGain = static_cast<WORD>(v); }},
    SETTING(Speed, 0, 1),
    SETTING(HZ, 0, 1),
};

#undef SETTING

namespace {

// Save order differs from load order only in where "AETarget" stands.
const int kSaveOrder[NVC480_STORED_VALUES] = {0, 1, 2, 3, 4, 5, 8, 6, 7, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};

HKEY OpenSettingsKey() {
    HKEY key = NULL;
    LONG result = RegCreateKeyExA(HKEY_CURRENT_USER, NVC480_SETTINGS_KEY, 0, NULL, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, NULL, &key, NULL);
    if (result != ERROR_SUCCESS) return NULL;
    return key;
}

}  // namespace

DWORD ReadSettingValue(HKEY hKey, LPCSTR name, DWORD defaultValue, DWORD minimum, DWORD maximum) {
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof(value);
    LONG result = RegQueryValueExA(hKey, name, NULL, &type, reinterpret_cast<BYTE *>(&value), &size);
    if (result != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(value)) return defaultValue;
    if (value > maximum) return maximum;
    if (value < minimum) return minimum;
    return value;
}

void LoadCameraSettings(CCameraSettings &settings) {
    HKEY key = OpenSettingsKey();
    if (key == NULL) return;
    for (const CSettingValue &value : g_SettingValues) {
        value.set(settings, ReadSettingValue(key, value.name, value.get(settings), value.minimum, value.maximum));
    }
    RegCloseKey(key);
}

void SaveCameraSettings(const CCameraSettings &settings) {
    HKEY key = OpenSettingsKey();
    if (key == NULL) return;
    for (int index : kSaveOrder) {
        const CSettingValue &value = g_SettingValues[index];
        DWORD data = value.get(settings);
        // A failed write leaves that value as it was; the others are still written.
        RegSetValueExA(key, value.name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&data), sizeof(data));
    }
    RegCloseKey(key);
}
