// tm350 controls [-d DEVICE] [-l] [-c Name=value[,Name=value ...]] ...:
// the camera settings as the capture filter holds them, read and changed
// through its camera control interface as an application does, with no
// graph. The filter saves them when it is released, so changes persist.
#include <cstdio>
#include <string>
#include <vector>

#include <windows.h>
#include <dshow.h>

#include "tools/tm350/camera_controls.h"
#include "tools/tm350/camera_devices.h"
#include "tools/tm350/commands.h"
#include "tools/tm350/dshow_client.h"

namespace tm350::tool {

namespace {

enum ControlsExit { kSuccess = 0, kFailed = 1, kBadArguments = 2 };

const char kUsage[] = "usage: tm350 controls [-d N|NAME] [-l] [-c Name=value[,Name=value ...]] ...";

int Fail(const std::string &message, int status = kFailed) {
    fprintf(stderr, "tm350 controls: %s\n", message.c_str());
    return status;
}

struct ControlsOptions {
    const std::string *device = nullptr;
    bool list = false;
    std::vector<std::string> changes;
};

// Lists, or changes and then lists only when asked to, as v4l2-ctl does.
int RunOnFilter(const Device &device, const ControlsOptions &options) {
    Ref<IBaseFilter> filter;
    HRESULT hr = CoCreateInstance(device.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, filter.ReceiveVoid());
    if (FAILED(hr)) return Fail("creating \"" + device.friendly_name + "\" failed with " + HresultText(hr));
    Ref<INVC480> control;
    if (FAILED(filter->QueryInterface(IID_INVC480, control.ReceiveVoid())))
        return Fail("\"" + device.friendly_name + "\" has no camera controls");
    CCameraSettings current;
    current.SetDefaults();
    hr = ReadCameraControls(control.Get(), current);
    if (FAILED(hr)) return Fail("reading the controls of \"" + device.friendly_name + "\" failed with " + HresultText(hr));
    if (!options.changes.empty()) {
        CCameraSettings wanted = current;
        std::string error;
        if (!ApplyControlArguments(options.changes, wanted, &error)) return Fail(error, kBadArguments);
        if (!WriteCameraControls(control.Get(), current, wanted, &error)) return Fail(error);
        current = wanted;
    }
    if (options.changes.empty() || options.list) fputs(DescribeCameraControls(current).c_str(), stdout);
    return kSuccess;
}

}  // namespace

int RunControls(const Arguments &arguments) {
    ControlsOptions options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == "-d" && hasValue) {
            options.device = &arguments[++i];
        } else if (argument == "-c" && hasValue) {
            options.changes.push_back(arguments[++i]);
        } else if (argument == "-l") {
            options.list = true;
        } else {
            return Fail("unexpected argument \"" + argument + "\" (" + kUsage + ")", kBadArguments);
        }
    }
    // Every change is checked before the filter exists, so a bad one leaves
    // the settings as they were.
    CCameraSettings check;
    check.SetDefaults();
    std::string error;
    if (!ApplyControlArguments(options.changes, check, &error)) return Fail(error, kBadArguments);

    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(init)) return Fail("initialising COM failed with " + HresultText(init));
    int status;
    {
        std::vector<Device> devices;
        HRESULT hr = FindVideoInputDevices(&devices, "tm350 controls");
        const Device *chosen = nullptr;
        if (FAILED(hr)) {
            status = Fail("enumerating the video input devices failed with " + HresultText(hr));
        } else if ((chosen = ChooseDevice(devices, options.device, &error)) == nullptr) {
            status = Fail(error);
        } else {
            status = RunOnFilter(*chosen, options);
        }
        ReleaseDevices(devices);
    }
    CoUninitialize();
    return status;
}

}  // namespace tm350::tool
