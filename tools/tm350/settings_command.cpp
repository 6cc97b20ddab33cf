// tm350 settings [save]: the settings exactly as a new output pin sees them.
#include <cstdio>

#include "filter/settings_store.h"
#include "tools/tm350/commands.h"

namespace tm350::tool {

int RunSettings(const Arguments &arguments) {
    bool save = false;
    if (arguments.size() == 1 && arguments[0] == "save") {
        save = true;
    } else if (!arguments.empty()) {
        fprintf(stderr, "tm350 settings: unexpected argument \"%s\"\n", arguments[0].c_str());
        return 2;
    }
    // The pin's constructor: defaults first, then what is stored.
    CCameraSettings settings;
    settings.SetDefaults();
    LoadCameraSettings(settings);
    for (const CSettingValue &value : g_SettingValues) {
        if (value.isTwin) continue;
        printf("%s=%u\n", value.name, static_cast<unsigned>(value.get(settings)));
    }
    if (save) SaveCameraSettings(settings);
    return 0;
}

}  // namespace tm350::tool
