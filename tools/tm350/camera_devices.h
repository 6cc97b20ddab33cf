// The capture filter module's devices as an application finds them: among
// the video input devices, each build under its friendly name and class.
// The tool registers a build whose entry is missing, as an installer would,
// from the module file LoadLibrary finds beside the tool or in the system
// folder (build/lib natively).
#pragma once

#include <string>
#include <vector>

#include "filter/nvc480_identity.h"
#include "tools/tm350/dshow_client.h"

namespace tm350::tool {

// The module file of a build for this process's width: TM350Mt64.ax,
// TM350Mt64_2.ax (64-bit) or TM350Mt.ax, TM350Mt_2.ax (32-bit).
std::string CaptureModuleFileName(const CNVC480Identity &identity);

// The build a filter class belongs to, or nullptr for another device's.
const CNVC480Identity *IdentityOfFilter(REFCLSID clsid);

// "\\.\TM350-N": the driver's device that the build opens.
std::string CameraDevicePath(const CNVC480Identity &identity);

// Whether a camera answers at a device path (opened and closed again).
bool CameraAnswers(const std::string &path);

// Registers each build that is not listed among `devices` or whose server
// file is gone, saying so on stderr under `command`'s name (a failure too,
// which does not stop the others). True when anything was registered, so
// the caller enumerates again.
bool RegisterMissingCaptureModules(const std::vector<Device> &devices, const char *command);

// The video input devices, with the capture modules registered first.
HRESULT FindVideoInputDevices(std::vector<Device> *devices, const char *command);

// The device that a -d argument names: digits are its position in the
// list, anything else its friendly name. Without one, the first device of
// the capture module. On failure nullptr and *error says why.
const Device *ChooseDevice(const std::vector<Device> &devices, const std::string *selector, std::string *error);

}  // namespace tm350::tool
