#include "tools/tm350/camera_controls.h"

#include <cstdio>
#include <cstring>

#include "tools/tm350/dshow_client.h"

namespace tm350::tool {

namespace {

bool Fails(HRESULT hr, const char *method, std::string *error) {
    if (SUCCEEDED(hr)) return false;
    *error = std::string("the filter's ") + method + " failed with " + HresultText(hr);
    return true;
}

// The settings whose values have names of their own.
struct MenuItems {
    const char *setting;
    std::vector<const char *> items;  // by value
};
const MenuItems kMenus[] = {
    {"eNVC480Size", {"1024x768", "800x600", "640x480", "320x240"}},
    {"Speed", {"normal", "high"}},
    {"HZ", {"60 Hz", "50 Hz"}},
};

const MenuItems *MenuOf(const CSettingValue &value) {
    for (const MenuItems &menu : kMenus) {
        if (strcmp(menu.setting, value.name) == 0) return &menu;
    }
    return nullptr;
}

// Splits "a=1,b=2" into its parts.
std::vector<std::string> SplitAtCommas(const std::string &text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1)
        parts.push_back(text.substr(start, comma - start));
    parts.push_back(text.substr(start));
    return parts;
}

}  // namespace

HRESULT ReadCameraControls(INVC480 *control, CCameraSettings &settings) {
    DWORD size = 0, autoWB = 0, autoExposure = 0, enable = 0, whiteBlack = 0, vFlip = 0, hFlip = 0, hz50 = 0;
    BYTE r = 0, g = 0, b = 0, aeTarget = 0, speed = 0, gamma = 0, contrast = 0, saturation = 0;
    WORD exposureTime = 0, analogGain = 0;
    HRESULT results[] = {
        control->GetVideoSize(&size),
        control->GetWhiteBalance(&autoWB, &r, &g, &b),
        control->GetExposureControl(&autoExposure, &aeTarget, &exposureTime, &analogGain),
        control->GetSpeedMode(&speed),
        control->GetGamma(&gamma),
        control->GetContrast(&contrast),
        control->GetSaturation(&enable, &saturation),
        control->GetWhiteBlack(&whiteBlack),
        control->GetVFlip(&vFlip),
        control->GetHFlip(&hFlip),
        control->GetPowerFrequency(&hz50),
    };
    for (HRESULT hr : results) {
        if (FAILED(hr)) return hr;
    }
    settings.eNVC480Size = size;
    settings.bAutoWB = autoWB;
    settings.r = r;
    settings.g = g;
    settings.b = b;
    settings.AutoExposure = autoExposure;
    settings.AETarget = aeTarget;
    settings.ExposureTime = exposureTime;
    settings.AnalogGain = analogGain;
    settings.Speed = speed;
    settings.Gamma = gamma;
    settings.Contrast = contrast;
    settings.EnableSaturation = enable;
    settings.Saturation = saturation;
    settings.WhiteBlack = whiteBlack;
    settings.VFlip = vFlip;
    settings.HFlip = hFlip;
    settings.HZ = hz50;
    return S_OK;
}

bool WriteCameraControls(INVC480 *control, const CCameraSettings &current, const CCameraSettings &wanted,
                         std::string *error) {
    const CCameraSettings &c = current;
    const CCameraSettings &w = wanted;
    // The exposure group goes first, so that with automatic exposure turned
    // off a bound camera gets the time and gain before anything else.
    if ((c.AutoExposure != w.AutoExposure || c.AETarget != w.AETarget || c.ExposureTime != w.ExposureTime ||
         c.AnalogGain != w.AnalogGain) &&
        Fails(control->SetExposureControl(w.AutoExposure, w.AETarget, w.ExposureTime, w.AnalogGain),
              "SetExposureControl", error))
        return false;
    if ((c.bAutoWB != w.bAutoWB || c.r != w.r || c.g != w.g || c.b != w.b) &&
        Fails(control->SetWhiteBalance(w.bAutoWB, w.r, w.g, w.b), "SetWhiteBalance", error))
        return false;
    if ((c.EnableSaturation != w.EnableSaturation || c.Saturation != w.Saturation) &&
        Fails(control->SetSaturation(w.EnableSaturation, w.Saturation), "SetSaturation", error))
        return false;
    if (c.eNVC480Size != w.eNVC480Size && Fails(control->SetVideoSize(w.eNVC480Size), "SetVideoSize", error))
        return false;
    if (c.Speed != w.Speed && Fails(control->SetSpeedMode(w.Speed), "SetSpeedMode", error)) return false;
    if (c.Gamma != w.Gamma && Fails(control->SetGamma(w.Gamma), "SetGamma", error)) return false;
    if (c.Contrast != w.Contrast && Fails(control->SetContrast(w.Contrast), "SetContrast", error)) return false;
    if (c.WhiteBlack != w.WhiteBlack && Fails(control->SetWhiteBlack(w.WhiteBlack), "SetWhiteBlack", error))
        return false;
    if (c.VFlip != w.VFlip && Fails(control->SetVFlip(w.VFlip), "SetVFlip", error)) return false;
    if (c.HFlip != w.HFlip && Fails(control->SetHFlip(w.HFlip), "SetHFlip", error)) return false;
    if (c.HZ != w.HZ && Fails(control->SetPowerFrequency(w.HZ), "SetPowerFrequency", error)) return false;

    // The filter's interface reports success whatever its pin did, so what
    // was taken shows only in what reads back.
    CCameraSettings taken = wanted;
    if (Fails(ReadCameraControls(control, taken), "getter", error)) return false;
    for (const CSettingValue &value : g_SettingValues) {
        if (value.isTwin || value.get(taken) == value.get(wanted)) continue;
        *error = std::string("the filter kept ") + value.name + "=" + std::to_string(value.get(taken)) +
                 " instead of " + std::to_string(value.get(wanted));
        if (strcmp(value.name, "eNVC480Size") == 0) *error += " (it changes only while the pin is not connected)";
        return false;
    }
    return true;
}

bool ApplyControlArguments(const std::vector<std::string> &arguments, CCameraSettings &settings, std::string *error) {
    CCameraSettings changed = settings;
    for (const std::string &argument : arguments) {
        for (const std::string &part : SplitAtCommas(argument)) {
            if (!ApplySettingArgument(part, kEverySetting, changed, error, SettingUse::Saved)) return false;
        }
    }
    settings = changed;
    return true;
}

std::string DescribeCameraControls(const CCameraSettings &settings) {
    CCameraSettings defaults;
    defaults.SetDefaults();
    std::string text;
    for (const CSettingValue &value : g_SettingValues) {
        if (value.isTwin) continue;
        const SettingRange range = RangeOf(value, SettingUse::Saved);
        const DWORD current = value.get(settings);
        const MenuItems *menu = MenuOf(value);
        char line[160];
        if (menu != nullptr) {
            const char *item = current < menu->items.size() ? menu->items[current] : "?";
            snprintf(line, sizeof line, "%16s (menu)   : min=%u max=%u default=%u value=%u (%s)\n", value.name,
                     static_cast<unsigned>(range.minimum), static_cast<unsigned>(range.maximum),
                     static_cast<unsigned>(value.get(defaults)), static_cast<unsigned>(current), item);
        } else if (range.minimum == 0 && range.maximum == 1) {
            snprintf(line, sizeof line, "%16s (bool)   : default=%u value=%u\n", value.name,
                     static_cast<unsigned>(value.get(defaults)), static_cast<unsigned>(current));
        } else {
            snprintf(line, sizeof line, "%16s (int)    : min=%u max=%u step=1 default=%u value=%u\n", value.name,
                     static_cast<unsigned>(range.minimum), static_cast<unsigned>(range.maximum),
                     static_cast<unsigned>(value.get(defaults)), static_cast<unsigned>(current));
        }
        text += line;
    }
    return text;
}

}  // namespace tm350::tool
