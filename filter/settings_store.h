// Persistence of the camera settings in the current user's registry. The pin
// loads once when it is constructed and saves once when it is destroyed;
// failures are silent, since neither the filter's creation nor its
// destruction can report them.
#pragma once

#include "camera_settings.h"

// The key every build of the module shares, under HKEY_CURRENT_USER.
#define NVC480_SETTINGS_KEY "Software\\LUMAVEX\\NVC480\\dshow"

// One stored value: its registry name, the range applied on load and how it
// maps onto its field. "Gain" is the stored twin of "AnalogGain".
struct CSettingValue {
    LPCSTR name;
    DWORD minimum;
    DWORD maximum;
    BOOL isTwin;
    DWORD (*get)(const CCameraSettings &settings);
    void (*set)(CCameraSettings &settings, DWORD value);  // narrows to the field's width
};

// The nineteen stored values in load order.
enum { NVC480_STORED_VALUES = 19 };
extern const CSettingValue g_SettingValues[NVC480_STORED_VALUES];

// The stored value of one setting, clamped to [minimum, maximum] as unsigned
// numbers; the default, unclamped, when the value is missing, not a
// REG_DWORD or not 4 bytes.
DWORD ReadSettingValue(HKEY hKey, LPCSTR name, DWORD defaultValue, DWORD minimum, DWORD maximum);

// Overwrites the settings that have a usable stored value; the others keep
// what they hold (the defaults, when called from the pin's constructor).
void LoadCameraSettings(CCameraSettings &settings);

// Writes all nineteen values, changed or not.
void SaveCameraSettings(const CCameraSettings &settings);
