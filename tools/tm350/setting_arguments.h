// Camera settings named on a command line as Name=value. They change the
// settings a command works with and are never saved.
#pragma once

#include <initializer_list>
#include <string>

#include "filter/camera_settings.h"

namespace tm350::tool {

// Applies one Name=value argument (the name in any case) with the range the
// settings store applies on load. Only the names in `allowed` are accepted.
// On failure *error holds one line saying why.
bool ApplySettingArgument(const std::string &argument, std::initializer_list<const char *> allowed,
                          CCameraSettings &settings, std::string *error);

}  // namespace tm350::tool
