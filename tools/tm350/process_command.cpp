// tm350 process RAW OUT.bmp|OUT.png [Name=value ...]: develops one raw frame
// file into the picture the output pin would deliver, with the stored
// settings of the current user and those named on the command line. Nothing
// is saved back, and a failed run leaves no output file behind.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <optional>
#include <string>
#include <vector>

#include "camera/raw_frame.h"
#include "filter/settings_store.h"
#include "tools/tm350/commands.h"
#include "tools/tm350/frame_developer.h"
#include "tools/tm350/picture_files.h"
#include "tools/tm350/setting_arguments.h"

namespace tm350::tool {

namespace {

// A file says nothing of the camera's exposure, so only what acts on the
// frame itself can be named.
const std::initializer_list<const char *> kProcessSettings = {
    "Speed", "Gamma", "Contrast", "EnableSaturation", "Saturation", "WhiteBlack",
    "VFlip", "HFlip", "r",        "g",                "b",          "bAutoWB"};

void Fail(const std::string &message) { fprintf(stderr, "tm350 process: %s\n", message.c_str()); }

std::optional<std::vector<BYTE>> ReadRawFrame(const std::string &path) {
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        Fail("cannot read \"" + path + "\": " + strerror(errno));
        return std::nullopt;
    }
    std::vector<BYTE> raw(RAW_FRAME_SIZE + 1);
    size_t length = fread(raw.data(), 1, raw.size(), file);
    fclose(file);
    if (length != RAW_FRAME_SIZE) {
        Fail("\"" + path + "\" is not a raw frame (" + std::to_string(RAW_FRAME_SIZE) + " bytes expected)");
        return std::nullopt;
    }
    raw.resize(RAW_FRAME_SIZE);
    return raw;
}

}  // namespace

int RunProcess(const Arguments &arguments) {
    if (arguments.size() < 2) {
        Fail("usage: tm350 process RAW OUT.bmp|OUT.png [Name=value ...]");
        return 2;
    }
    const std::string &output = arguments[1];
    if (!IsPictureName(output)) {
        Fail("the output name must end in .bmp or .png");
        return 2;
    }
    CCameraSettings settings;
    settings.SetDefaults();
    LoadCameraSettings(settings);
    for (size_t i = 2; i < arguments.size(); ++i) {
        std::string error;
        if (!ApplySettingArgument(arguments[i], kProcessSettings, settings, &error)) {
            Fail(error);
            return 2;
        }
    }
    std::optional<std::vector<BYTE>> raw = ReadRawFrame(arguments[0]);
    if (!raw) return 1;
    CDefectList noDefects = {};  // a file carries no defect table of its camera
    CFrameDeveloper developer(settings);
    std::vector<BYTE> picture(kPictureBytes);
    DevelopedFrame developed = developer.Develop(raw->data(), picture.data(), settings, noDefects, nullptr);
    if (developed.balanced) printf("white balance: r=%u g=%u b=%u\n", settings.r, settings.g, settings.b);
    std::string error;
    if (!WritePictureFile(output, picture.data(), &error)) {
        Fail(error);
        return 1;
    }
    return 0;
}

}  // namespace tm350::tool
