// tm350 process RAW OUT.bmp|OUT.png [Name=value ...]: develops one raw frame
// file into the picture the output pin would deliver, with the stored
// settings of the current user and those named on the command line. Nothing
// is saved back, and a failed run leaves no output file behind.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <png.h>

#include <optional>
#include <string>
#include <vector>

#include "camera/auto_exposure.h"
#include "camera/colour_processing.h"
#include "camera/demosaic.h"
#include "camera/picture_pipeline.h"
#include "camera/raw_frame.h"
#include "filter/settings_store.h"
#include "tools/tm350/commands.h"

namespace tm350::tool {

namespace {

constexpr int kWidth = 1024;
constexpr int kHeight = 768;
constexpr size_t kPictureSize = static_cast<size_t>(kWidth) * kHeight * 3;

const char *const kProcessSettings[] = {"Speed",      "Gamma", "Contrast", "EnableSaturation",
                                        "Saturation", "WhiteBlack", "VFlip", "HFlip",
                                        "r",          "g",     "b",        "bAutoWB"};

void Fail(const std::string &message) { fprintf(stderr, "tm350 process: %s\n", message.c_str()); }

const CSettingValue *FindSettingValue(const char *name) {
    for (const CSettingValue &value : g_SettingValues) {
        if (strcmp(value.name, name) == 0) return &value;
    }
    return nullptr;
}

// Applies one Name=value argument with the range the settings store uses.
bool ApplySetting(const std::string &argument, CCameraSettings &settings) {
    size_t equals = argument.find('=');
    if (equals == std::string::npos) {
        Fail("expected Name=value, got \"" + argument + "\"");
        return false;
    }
    std::string name = argument.substr(0, equals);
    std::string text = argument.substr(equals + 1);
    const CSettingValue *value = nullptr;
    for (const char *setting : kProcessSettings) {
        if (strcasecmp(setting, name.c_str()) == 0) value = FindSettingValue(setting);
    }
    if (value == nullptr) {
        Fail("unknown setting \"" + name + "\"");
        return false;
    }
    errno = 0;
    char *end = nullptr;
    long long number = text.empty() ? -1 : strtoll(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0' || number < static_cast<long long>(value->minimum) ||
        number > static_cast<long long>(value->maximum)) {
        Fail(std::string(value->name) + "=" + text + " is out of range " + std::to_string(value->minimum) + " to " +
             std::to_string(value->maximum));
        return false;
    }
    value->set(settings, static_cast<DWORD>(number));
    return true;
}

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

// The per-frame steps of the output pin on one frame. A pending one-push
// white balance needs the whole demosaiced picture first, so that frame goes
// through a demosaiced copy; any other is developed in one pass. The
// automatic exposure step is left out: it only steers the camera for the
// frames that follow.
std::vector<BYTE> Develop(std::vector<BYTE> &raw, CCameraSettings &settings) {
    CDefectList noDefects = {};  // a file carries no defect table of its camera
    CorrectDefects(raw.data(), kWidth, kHeight, noDefects);
    CToneTable tone;
    BuildToneTable(tone, settings.Gamma, settings.Contrast);
    CGainTables gains;
    std::vector<BYTE> picture(kPictureSize);
    if (!settings.bAutoWB) {
        BuildGainTables(gains, settings.r, settings.g, settings.b);
        DevelopPicture(raw.data(), picture.data(), kWidth, kHeight, settings, gains, tone);
        return picture;
    }
    std::vector<BYTE> demosaiced(kPictureSize);
    Demosaic(raw.data(), demosaiced.data(), kWidth, kHeight, settings.Speed);
    OnePushWhiteBalance(demosaiced.data(), kWidth, kHeight, settings);
    settings.bAutoWB = 0;
    printf("white balance: r=%u g=%u b=%u\n", settings.r, settings.g, settings.b);
    BuildGainTables(gains, settings.r, settings.g, settings.b);
    FinishPicture(demosaiced.data(), picture.data(), kWidth, kHeight, settings, gains, tone);
    return picture;
}

void PutLittleEndian(std::vector<BYTE> &out, DWORD value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<BYTE>(value >> (8 * i)));
}

// A BMP holds bottom-up BGR rows, exactly what the pin delivers, so the
// sample is the pixel array unchanged (rows of 3072 bytes need no padding).
bool WriteBmp(FILE *file, const std::vector<BYTE> &picture) {
    std::vector<BYTE> header;
    header.push_back('B');
    header.push_back('M');
    PutLittleEndian(header, static_cast<DWORD>(54 + picture.size()), 4);
    PutLittleEndian(header, 0, 4);
    PutLittleEndian(header, 54, 4);
    PutLittleEndian(header, 40, 4);
    PutLittleEndian(header, kWidth, 4);
    PutLittleEndian(header, kHeight, 4);  // positive: bottom-up
    PutLittleEndian(header, 1, 2);
    PutLittleEndian(header, 24, 2);
    PutLittleEndian(header, 0, 4);  // BI_RGB
    PutLittleEndian(header, static_cast<DWORD>(picture.size()), 4);
    PutLittleEndian(header, 2835, 4);
    PutLittleEndian(header, 2835, 4);
    PutLittleEndian(header, 0, 4);
    PutLittleEndian(header, 0, 4);
    return fwrite(header.data(), 1, header.size(), file) == header.size() &&
           fwrite(picture.data(), 1, picture.size(), file) == picture.size();
}

bool WritePng(FILE *file, std::vector<BYTE> &picture) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, kWidth, kHeight, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_set_bgr(png);
    // PNG rows run top-down; the sample's first row is the picture's bottom.
    const size_t stride = static_cast<size_t>(kWidth) * 3;
    for (int row = kHeight - 1; row >= 0; --row) png_write_row(png, picture.data() + row * stride);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

bool EndsWith(const std::string &text, const char *suffix) {
    size_t length = strlen(suffix);
    return text.size() >= length && strcasecmp(text.c_str() + text.size() - length, suffix) == 0;
}

// Writes beside the destination, then renames over it, so the output is
// either complete or absent.
bool WritePicture(const std::string &path, std::vector<BYTE> &picture) {
    std::string temporary = path + ".tmp-XXXXXX";
    int descriptor = mkstemp(temporary.data());
    if (descriptor < 0) {
        Fail("cannot write \"" + path + "\": " + strerror(errno));
        return false;
    }
    // mkstemp creates the file private; give it the mode any new file gets.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(descriptor, 0666 & ~mask);
    FILE *file = fdopen(descriptor, "wb");
    bool written = file != nullptr && (EndsWith(path, ".png") ? WritePng(file, picture) : WriteBmp(file, picture));
    bool closed = file != nullptr ? fclose(file) == 0 : close(descriptor) == 0;
    if (!written || !closed || rename(temporary.c_str(), path.c_str()) != 0) {
        Fail("cannot write \"" + path + "\": " + strerror(errno));
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

int RunProcess(const Arguments &arguments) {
    if (arguments.size() < 2) {
        Fail("usage: tm350 process RAW OUT.bmp|OUT.png [Name=value ...]");
        return 2;
    }
    const std::string &output = arguments[1];
    if (!EndsWith(output, ".bmp") && !EndsWith(output, ".png")) {
        Fail("the output name must end in .bmp or .png");
        return 2;
    }
    CCameraSettings settings;
    settings.SetDefaults();
    LoadCameraSettings(settings);
    for (size_t i = 2; i < arguments.size(); ++i) {
        if (!ApplySetting(arguments[i], settings)) return 2;
    }
    std::optional<std::vector<BYTE>> raw = ReadRawFrame(arguments[0]);
    if (!raw) return 1;
    std::vector<BYTE> picture = Develop(*raw, settings);
    return WritePicture(output, picture) ? 0 : 1;
}

}  // namespace tm350::tool
