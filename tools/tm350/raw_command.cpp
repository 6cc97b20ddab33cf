// tm350 raw [-d N] [-C COUNT] [-F PATTERN] [--awb] [Name=value ...]: binds
// one camera as the capture filter does, streams, and reads raw frames until
// COUNT are taken or Ctrl-C. Each frame is developed as the output pin
// develops it, with automatic exposure and a requested one-push white
// balance acting on the camera, and written raw or as a picture when a
// pattern is given. Nothing is saved to the stored settings.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "camera/device_binding.h"
#include "camera/device_channel.h"
#include "camera/raw_frame.h"
#include "driver/vexusb_interface.h"
#include "filter/settings_store.h"
#include "tools/tm350/camera_devices.h"
#include "tools/tm350/commands.h"
#include "tools/tm350/frame_developer.h"
#include "tools/tm350/frame_reader.h"
#include "tools/tm350/interrupt_watch.h"
#include "tools/tm350/picture_files.h"
#include "tools/tm350/setting_arguments.h"

namespace tm350::tool {

namespace {

// A camera whose reads keep coming back broken is not delivering frames to
// us; the likeliest cause is another program reading the same camera, whose
// reads take pieces of the same frames. The driver has no exclusive open and
// keeps no record of who reads, so this is all that shows it.
constexpr unsigned kLostInARowLimit = 30;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] = "usage: tm350 raw [-d N] [-C COUNT] [-F PATTERN.raw|.bmp|.png] [--awb] [Name=value ...]";

void Fail(const std::string &message) { fprintf(stderr, "tm350 raw: %s\n", message.c_str()); }

enum class Output { None, Raw, Picture };

struct RawOptions {
    int instance = 0;
    unsigned long count = 0;  // 0: until Ctrl-C
    std::string pattern;
    Output output = Output::None;
    bool awb = false;
    std::vector<std::string> settings;
};

bool ParseNumber(const std::string &text, unsigned long maximum, unsigned long *number) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9) return false;
    *number = strtoul(text.c_str(), nullptr, 10);
    return *number <= maximum;
}

bool ParseOptions(const Arguments &arguments, RawOptions &options) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        unsigned long number = 0;
        if (argument == "-d") {
            if (!hasValue || !ParseNumber(arguments[++i], VEXUSB_MAX_INSTANCES - 1, &number)) {
                Fail("-d takes a camera instance digit, 0 to " + std::to_string(VEXUSB_MAX_INSTANCES - 1));
                return false;
            }
            options.instance = static_cast<int>(number);
        } else if (argument == "-C") {
            if (!hasValue || !ParseNumber(arguments[++i], 999999999, &number) || number == 0) {
                Fail("-C takes a number of frames, 1 or more");
                return false;
            }
            options.count = number;
        } else if (argument == "-F") {
            if (!hasValue) {
                Fail("-F takes a file name pattern");
                return false;
            }
            options.pattern = arguments[++i];
            if (EndsWith(options.pattern, ".raw")) {
                options.output = Output::Raw;
            } else if (IsPictureName(options.pattern)) {
                options.output = Output::Picture;
            } else {
                Fail("the -F pattern must end in .raw, .bmp or .png");
                return false;
            }
        } else if (argument == "--awb") {
            options.awb = true;
        } else if (argument.find('=') != std::string::npos && argument[0] != '-') {
            options.settings.push_back(argument);
        } else {
            Fail("unexpected argument \"" + argument + "\" (" + kUsage + ")");
            return false;
        }
    }
    return true;
}

struct Tally {
    unsigned long taken = 0;
    unsigned long lost = 0;
    double seconds = 0;  // when the last read ended
};

// Reads and develops until the count is reached, the user interrupts or
// something fails; the exit code. The channel is streaming.
int ReadFrames(CDeviceChannel &channel, const RawOptions &options, CCameraSettings &settings,
               const CDefectList &defects, CInterruptWatch &interrupt, Tally &tally) {
    const auto start = std::chrono::steady_clock::now();
    CFrameReader reader(channel, start);
    CFrameDeveloper developer(settings);
    std::vector<BYTE> picture(kPictureBytes);
    unsigned lostInARow = 0;
    while (options.count == 0 || tally.taken < options.count) {
        FrameEvent event = reader.Next();
        if (interrupt.Interrupted()) return kExitInterrupted;
        tally.seconds = event.seconds;
        if (event.kind == FrameEvent::Failed) {
            Fail(std::string("the camera at ") + channel.DevicePath() +
                 " stopped delivering frames (unplugged, set up again by another "
                 "program, or not answering)");
            return kExitFailure;
        }
        if (event.kind == FrameEvent::Lost) {
            ++tally.lost;
            printf("%6s %9.3f s  lost\n", "-", event.seconds);
            if (++lostInARow == kLostInARowLimit) {
                Fail(std::string("the camera at ") + channel.DevicePath() + " delivered no whole frame in " +
                     std::to_string(kLostInARowLimit) + " reads: is another program reading it?");
                return kExitFailure;
            }
            continue;
        }
        lostInARow = 0;
        const std::string name = options.output == Output::None ? "" : FrameFileName(options.pattern, tally.taken);
        std::string error;
        // The raw file holds the frame as the camera sent it: developing
        // works in place.
        const bool rawWritten = options.output != Output::Raw || WriteRawFile(name, event.raw, RAW_FRAME_SIZE, &error);
        DevelopedFrame developed{};
        if (rawWritten) developed = developer.Develop(event.raw, picture.data(), settings, defects, &channel);
        reader.Release(event.raw);
        if (!rawWritten || (options.output == Output::Picture && !WritePictureFile(name, picture.data(), &error))) {
            Fail(error);
            return kExitFailure;
        }
        printf("%6lu %9.3f s  taken  brightness %3u  exposure %3u  gain %3u\n", tally.taken, event.seconds,
               developed.brightness, settings.ExposureTime, settings.AnalogGain);
        if (developed.balanced) printf("white balance: r=%u g=%u b=%u\n", settings.r, settings.g, settings.b);
        ++tally.taken;
    }
    return 0;
}

}  // namespace

int RunRaw(const Arguments &arguments) {
    // Before anything opens a device, so that every thread leaves Ctrl-C to it.
    CInterruptWatch interrupt;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    RawOptions options;
    if (!ParseOptions(arguments, options)) return kExitUsage;
    CCameraSettings settings;
    settings.SetDefaults();
    LoadCameraSettings(settings);
    for (const std::string &argument : options.settings) {
        std::string error;
        if (!ApplySettingArgument(argument, kEverySetting, settings, &error)) {
            Fail(error);
            return kExitUsage;
        }
    }
    if (options.awb) settings.bAutoWB = 1;
    if (options.output != Output::None) {
        std::string error;
        if (!PatternFolderIsWritable(options.pattern, &error)) {
            Fail(error);
            return kExitFailure;
        }
    }

    char path[16];
    snprintf(path, sizeof(path), "\\\\.\\TM350-%d", options.instance);
    if (!CameraAnswers(path)) {
        Fail(std::string("no camera at ") + path);
        return kExitFailure;
    }
    CDefectList defects = {};
    std::unique_ptr<CDeviceChannel> channel(BindCamera(options.instance, settings, defects));
    if (!channel) {
        Fail(std::string("the camera at ") + path + " could not be set up");
        return kExitFailure;
    }
    printf("%s: exposure %u, gain %u, %s speed, %u defects patched\n", path, settings.ExposureTime,
           settings.AnalogGain, settings.Speed == 1 ? "high" : "normal", static_cast<unsigned>(defects.count));
    // From here a Ctrl-C ends the read in progress; the loop then stops.
    interrupt.OnInterrupt([&channel] { channel->EndReadFrame(); });
    Tally tally;
    int status = kExitInterrupted;
    if (!interrupt.Interrupted()) {
        channel->StartStreaming();
        status = ReadFrames(*channel, options, settings, defects, interrupt, tally);
    }
    interrupt.OnInterrupt(nullptr);
    channel->StopStreaming();
    channel.reset();  // register 0x00 = 3 and the handle closed
    printf("%lu frames taken, %lu lost, %.2f fps\n", tally.taken, tally.lost,
           tally.seconds > 0 ? tally.taken / tally.seconds : 0.0);
    if (status == kExitInterrupted) fprintf(stderr, "tm350 raw: interrupted\n");
    return status;
}

}  // namespace tm350::tool
