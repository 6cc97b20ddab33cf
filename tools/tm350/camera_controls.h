// The camera settings as an application reaches them: through the capture
// filter's camera control interface, which reads and changes them in groups
// (white balance, exposure, saturation) and alone (the others). What is set
// there is saved by the filter when it is destroyed.
#pragma once

#include <string>
#include <vector>

#include "filter/camera_settings.h"
#include "filter/invc480.h"
#include "tools/tm350/setting_arguments.h"

namespace tm350::tool {

// Every setting through the interface's getters. On failure, the getter's
// result; `settings` may then be partly filled.
HRESULT ReadCameraControls(INVC480 *control, CCameraSettings &settings);

// Calls the setter of every group in which `wanted` differs from `current`,
// then reads everything back. On failure *error is one line: a setter that
// failed, or a setting the filter did not take (the video size while the pin
// is connected, say).
bool WriteCameraControls(INVC480 *control, const CCameraSettings &current, const CCameraSettings &wanted,
                         std::string *error);

// Name=value arguments applied to `settings` with the ranges that survive
// being saved; each argument may hold several, separated by commas. On
// failure *error says which one was wrong and `settings` is unchanged.
bool ApplyControlArguments(const std::vector<std::string> &arguments, CCameraSettings &settings, std::string *error);

// One line per setting, v4l2-ctl -l style: name, kind, range, default and
// current value, in the store's load order.
std::string DescribeCameraControls(const CCameraSettings &settings);

}  // namespace tm350::tool
