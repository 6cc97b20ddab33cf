// tm350 capture and tm350 controls as a user runs them: the capture filter
// module registered by the tool itself into the test's own registry, the
// simulated camera of each tool run set up by TM350_SIM.
#include <gtest/gtest.h>

#include <png.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <string>
#include <vector>

#include "sim/chart_scene.h"
#include "support/picture_colour.h"
#include "support/run_tm350.h"
#include "support/temp_directory.h"

namespace {

using tm350::sim::ChartScene;
using tm350::test::Colour;
using tm350::test::CommandResult;
using tm350::test::MeanColour;

constexpr size_t kRowSize = 1024 * 3;
constexpr size_t kPictureSize = kRowSize * 768;
const std::string kCamera0 = "TM350Mt CCD USB2.0 Camera";
const std::string kCamera2 = "TM350Mt_2 CCD USB2.0 Camera";

CommandResult Tm350(const std::string &arguments) { return tm350::test::RunTm350(arguments); }

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// A picture file as top-down blue, green, red rows, as MeanColour reads them;
// empty when the file is not a 1024 x 768 picture.
std::vector<uint8_t> ReadPicture(const std::filesystem::path &path) {
    std::vector<uint8_t> picture;
    if (path.extension() == ".bmp") {
        std::ifstream file(path, std::ios::binary);
        std::vector<uint8_t> bmp{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        if (bmp.size() != 54 + kPictureSize) return picture;
        picture.resize(kPictureSize);
        for (size_t row = 0; row < 768; ++row)  // the file's rows run bottom-up
            std::copy_n(&bmp[54 + (767 - row) * kRowSize], kRowSize, &picture[row * kRowSize]);
        return picture;
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return picture;
    image.format = PNG_FORMAT_BGR;
    if (image.width != 1024 || image.height != 768) {
        png_image_free(&image);
        return picture;
    }
    picture.resize(kPictureSize);
    if (!png_image_finish_read(&image, nullptr, picture.data(), 0, nullptr)) picture.clear();
    return picture;
}

double Light(const Colour &colour) { return (colour.red + colour.green + colour.blue) / 3; }

// The scene as the camera sees it: the dark shelf across the top, the grey
// row along the bottom from white on the left to black on the right, the
// red patch red. (The ball rolls along the shelf, so the shelf is measured
// over its whole width, where the ball is a small part.)
void ExpectRightSideUp(const std::vector<uint8_t> &picture, const std::string &name) {
    ASSERT_EQ(picture.size(), kPictureSize) << name;
    const tm350::sim::Area white = ChartScene::PatchArea(ChartScene::kGreyRow, 0);
    const double shelf = Light(MeanColour(picture, ChartScene::kShelf));
    const double greyRow = Light(MeanColour(picture, {0, white.top, ChartScene::kWidth, white.height}));
    EXPECT_GT(greyRow, shelf + 40) << name;
    const double whitest = Light(MeanColour(picture, white));
    const double black = Light(MeanColour(picture, ChartScene::PatchArea(ChartScene::kGreyRow, 5)));
    EXPECT_GT(whitest, black + 100) << name;
    const Colour red = MeanColour(picture, ChartScene::PatchArea(0, ChartScene::kRedPatch));
    EXPECT_GT(red.red, red.green + 60) << name;
    EXPECT_GT(red.red, red.blue + 60) << name;
}

struct SampleLine {
    long number;
    long long start, stop;  // 100 ns
    long bytes;
    int brightness;
    std::string file;
};

std::vector<SampleLine> SampleLines(const std::string &output) {
    const std::regex pattern(
        R"((\d+) start=(\d+)\.(\d{7}) stop=(\d+)\.(\d{7}) bytes=(\d+) brightness=(\d+)( (\S+))?)");
    std::vector<SampleLine> samples;
    for (const std::string &line : Lines(output)) {
        std::smatch match;
        if (!std::regex_match(line, match, pattern)) continue;
        samples.push_back({std::stol(match[1]), std::stoll(match[2]) * 10000000 + std::stoll(match[3]),
                           std::stoll(match[4]) * 10000000 + std::stoll(match[5]), std::stol(match[6]),
                           std::stoi(match[7]), match[9]});
    }
    return samples;
}

class Tm350Capture : public ::testing::Test {
protected:
    void Simulate(const char *configuration) { setenv("TM350_SIM", configuration, 1); }
    void TearDown() override {
        unsetenv("TM350_SIM");
        unsetenv("TM350_LOG");
    }
    std::string Path(const char *name) const { return (directory_.path() / name).string(); }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(directory_.path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    // The module registered before the command under test, so that its
    // output has no registration lines.
    void Register() { ASSERT_EQ(Tm350("controls").exit_code, 0); }
    // A value as tm350 settings prints it from the stored settings.
    std::string Stored(const std::string &name) {
        CommandResult settings = Tm350("settings");
        for (const std::string &line : Lines(settings.output)) {
            if (line.rfind(name + "=", 0) == 0) return line.substr(name.size() + 1);
        }
        return "missing";
    }

    tm350::test::TempRegistry registry_;
    tm350::test::TempDirectory directory_;
};

TEST_F(Tm350Capture, WritesRightSideUpPicturesAndALinePerSampleOneFramePeriodApart) {
    Simulate("timing=fast");
    CommandResult run = Tm350("capture -C 4 -F " + Path("frame-#.png"));
    ASSERT_EQ(run.exit_code, 0) << run.output;
    // The first run registers both builds of the module it found beside the tool.
    EXPECT_TRUE(Contains(run.output, "tm350 capture: registered ")) << run.output;
    std::vector<SampleLine> samples = SampleLines(run.output);
    ASSERT_EQ(samples.size(), 4u) << run.output;
    for (long n = 0; n < 4; ++n) {
        EXPECT_EQ(samples[n].number, n);
        EXPECT_EQ(samples[n].start, n * 1330000) << run.output;
        EXPECT_EQ(samples[n].stop, (n + 1) * 1330000) << run.output;
        EXPECT_EQ(samples[n].bytes, 2359296);
        EXPECT_GT(samples[n].brightness, 20);
        EXPECT_LT(samples[n].brightness, 235);
        EXPECT_EQ(samples[n].file, Path(("frame-00000" + std::to_string(n) + ".png").c_str()));
    }
    EXPECT_TRUE(std::regex_search(run.output, std::regex("\n4 samples, 0 frames lost, [0-9.]+ frames per second\n")))
        << run.output;
    EXPECT_EQ(Files(), (std::vector<std::string>{"frame-000000.png", "frame-000001.png", "frame-000002.png",
                                                 "frame-000003.png"}));
    for (const std::string &name : Files()) ExpectRightSideUp(ReadPicture(directory_.path() / name), name);

    CommandResult bmp = Tm350("capture -C 1 -F " + Path("still-#.bmp"));
    ASSERT_EQ(bmp.exit_code, 0) << bmp.output;
    EXPECT_FALSE(Contains(bmp.output, "registered")) << "registered once is enough\n" << bmp.output;
    ExpectRightSideUp(ReadPicture(Path("still-000000.bmp")), "still-000000.bmp");
}

TEST_F(Tm350Capture, ListDevicesNamesEachBuildAndWhetherItsCameraIsThere) {
    Simulate("cameras=2;timing=fast");
    CommandResult two = Tm350("capture --list-devices");
    ASSERT_EQ(two.exit_code, 0) << two.output;
    // Cameras 0 and 1 are plugged in; the second build opens instance 2.
    EXPECT_TRUE(Contains(two.output, "video input devices:\n"
                                     " [0] \"" + kCamera0 + "\"  camera at \\\\.\\TM350-0\n"
                                     " [1] \"" + kCamera2 + "\"  no camera at \\\\.\\TM350-2\n"))
        << two.output;
    Simulate("cameras=3;timing=fast");
    CommandResult three = Tm350("capture --list-devices");
    ASSERT_EQ(three.exit_code, 0) << three.output;
    EXPECT_EQ(three.output, "video input devices:\n"
                            " [0] \"" + kCamera0 + "\"  camera at \\\\.\\TM350-0\n"
                            " [1] \"" + kCamera2 + "\"  camera at \\\\.\\TM350-2\n");
}

// A registration whose module file was deleted is no registration: the
// runtime could not load the filter from it.
TEST_F(Tm350Capture, RegistersAgainABuildWhoseModuleFileIsGone) {
    const std::filesystem::path built = tm350::test::LibDirectory() / "TM350Mt64.ax";
    const std::filesystem::path copy = directory_.path() / "TM350Mt64.ax";
    std::filesystem::copy_file(built, copy);
    ASSERT_EQ(Tm350("regsvr32 /s " + copy.string()).exit_code, 0);
    CommandResult kept = Tm350("capture --list-devices");
    EXPECT_FALSE(Contains(kept.output, "registered " + built.string())) << kept.output;
    std::filesystem::remove(copy);
    CommandResult run = Tm350("capture --list-devices");
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_TRUE(Contains(run.output, "tm350 capture: registered " + built.string() + "\n")) << run.output;
    EXPECT_TRUE(Contains(run.output, " [0] \"" + kCamera0 + "\"")) << run.output;
}

TEST_F(Tm350Capture, DashDChoosesADeviceByNameOrPosition) {
    Register();
    Simulate("cameras=3;timing=fast");
    CommandResult byName = Tm350("capture -C 2 -d '" + kCamera2 + "'");
    ASSERT_EQ(byName.exit_code, 0) << byName.output;
    EXPECT_EQ(SampleLines(byName.output).size(), 2u) << byName.output;
    // With instance 2 missing, the same choices reach for it and fail.
    Simulate("cameras=2;timing=fast");
    for (const std::string &choice : {"'" + kCamera2 + "'", std::string("1")}) {
        CommandResult missing = Tm350("capture -C 2 -d " + choice);
        EXPECT_EQ(missing.exit_code, 1) << missing.output;
        EXPECT_TRUE(Contains(missing.output, "no camera at \\\\.\\TM350-2")) << missing.output;
    }
    CommandResult first = Tm350("capture -C 1 -d 0");
    EXPECT_EQ(first.exit_code, 0) << first.output;
    CommandResult unknown = Tm350("capture -C 1 -d 'No Such Camera'");
    EXPECT_EQ(unknown.exit_code, 1);
    EXPECT_TRUE(Contains(unknown.output, "no video input device named \"No Such Camera\"")) << unknown.output;
    CommandResult beyond = Tm350("capture -C 1 -d 2");
    EXPECT_EQ(beyond.exit_code, 1);
    EXPECT_TRUE(Contains(beyond.output, "no video input device 2 (there are 2)")) << beyond.output;
}

// High speed shows in the sample times, the mirror in the picture, and all
// of them in what the filter saved.
TEST_F(Tm350Capture, SettingsOnTheCommandLineReachTheCameraAndPersist) {
    Simulate("timing=fast");
    CommandResult run = Tm350("capture -C 3 -F " + Path("m-#.bmp") + " Speed=1 HFlip=1 AutoExposure=0 ExposureTime=250");
    ASSERT_EQ(run.exit_code, 0) << run.output;
    std::vector<SampleLine> samples = SampleLines(run.output);
    ASSERT_EQ(samples.size(), 3u) << run.output;
    for (long n = 0; n < 3; ++n) {
        EXPECT_EQ(samples[n].start, n * 670000) << run.output;
        EXPECT_EQ(samples[n].stop, (n + 1) * 670000) << run.output;
    }
    std::vector<uint8_t> mirrored = ReadPicture(Path("m-000002.bmp"));
    ASSERT_EQ(mirrored.size(), kPictureSize);
    // Mirrored, the grey row runs from black on the left to white on the right.
    const double left = Light(MeanColour(mirrored, ChartScene::PatchArea(ChartScene::kGreyRow, 0)));
    const double right = Light(MeanColour(mirrored, ChartScene::PatchArea(ChartScene::kGreyRow, 5)));
    EXPECT_GT(right, left + 100);
    EXPECT_EQ(Stored("Speed"), "1");
    EXPECT_EQ(Stored("HFlip"), "1");
    EXPECT_EQ(Stored("AutoExposure"), "0");
    EXPECT_EQ(Stored("ExposureTime"), "250");
    CommandResult controls = Tm350("controls");
    EXPECT_TRUE(Contains(controls.output, "           Speed (menu)   : min=0 max=1 default=0 value=1 (high)\n"))
        << controls.output;
}

TEST_F(Tm350Capture, ControlsListsEverySettingAndSetsSeveralAtOnce) {
    Simulate("timing=fast");
    CommandResult listed = Tm350("controls");
    ASSERT_EQ(listed.exit_code, 0) << listed.output;
    std::vector<std::string> lines = Lines(listed.output);
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const std::string &line) { return Contains(line, "registered"); }),
                lines.end());
    ASSERT_EQ(lines.size(), 18u) << listed.output;
    EXPECT_EQ(lines[0], "     eNVC480Size (menu)   : min=0 max=3 default=0 value=0 (1024x768)");
    EXPECT_EQ(lines[1], "         bAutoWB (bool)   : default=0 value=0");
    EXPECT_EQ(lines[2], "               r (int)    : min=0 max=255 step=1 default=74 value=74");
    EXPECT_EQ(lines[17], "              HZ (menu)   : min=0 max=1 default=1 value=1 (50 Hz)");

    CommandResult set = Tm350("controls -c Gamma=120,Contrast=40 -c VFlip=1 -c hz=0");
    EXPECT_EQ(set.exit_code, 0) << set.output;
    EXPECT_EQ(set.output, "") << "setting is silent, as with v4l2-ctl";
    EXPECT_EQ(Stored("Gamma"), "120");
    EXPECT_EQ(Stored("Contrast"), "40");
    EXPECT_EQ(Stored("VFlip"), "1");
    EXPECT_EQ(Stored("HZ"), "0");
    CommandResult again = Tm350("controls -c r=50,g=60,b=70 -l");
    EXPECT_TRUE(Contains(again.output, "           Gamma (int)    : min=10 max=250 step=1 default=100 value=120\n"))
        << again.output;
    EXPECT_TRUE(Contains(again.output, "               g (int)    : min=0 max=255 step=1 default=64 value=60\n"))
        << again.output;
    EXPECT_EQ(Stored("r") + Stored("b"), "5070");
}

// The analog gain is stored twice and the second copy, with its own range,
// decides on load: only values inside that range come back as set.
TEST_F(Tm350Capture, TheAnalogGainRangeIsTheOneThatSurvivesBeingSaved) {
    Simulate("timing=fast");
    Register();
    CommandResult top = Tm350("controls -c AnalogGain=768");
    ASSERT_EQ(top.exit_code, 0) << top.output;
    EXPECT_EQ(Stored("AnalogGain"), "768");
    CommandResult below = Tm350("controls -c AnalogGain=223");
    EXPECT_EQ(below.exit_code, 2);
    EXPECT_TRUE(Contains(below.output, "AnalogGain=223 is out of range 224 to 768")) << below.output;
    EXPECT_EQ(Stored("AnalogGain"), "768");
}

TEST_F(Tm350Capture, ABadSettingChangesNothing) {
    Simulate("timing=fast");
    Register();
    struct Case {
        std::string arguments;
        const char *says;
    } cases[] = {
        {"controls -c Gamma=120,Bogus=1", "unknown setting \"Bogus\""},
        {"controls -c Gamma=120 -c Gamma=251", "Gamma=251 is out of range 10 to 250"},
        {"controls -c Gamma=120,Contrast=", "Contrast= is out of range 0 to 100"},
        {"controls -c Gamma", "expected Name=value"},
        {"capture -C 1 Gamma=120 Contrast=101", "Contrast=101 is out of range 0 to 100"},
        {"capture -C 1 Gamma=120 Speed=x", "Speed=x is out of range 0 to 1"},
    };
    for (const Case &c : cases) {
        CommandResult run = Tm350(c.arguments);
        EXPECT_EQ(run.exit_code, 2) << c.arguments << "\n" << run.output;
        EXPECT_TRUE(Contains(run.output, c.says)) << c.arguments << "\n" << run.output;
        EXPECT_EQ(SampleLines(run.output).size(), 0u) << c.arguments << "\n" << run.output;
    }
    EXPECT_EQ(Stored("Gamma"), "100");
    EXPECT_EQ(Stored("Contrast"), "30");
}

TEST_F(Tm350Capture, WithoutACameraItSaysSoAndFails) {
    Simulate("cameras=0");
    CommandResult run = Tm350("capture -C 2 -F " + Path("frame-#.png"));
    EXPECT_EQ(run.exit_code, 1) << run.output;
    EXPECT_TRUE(Contains(run.output, "tm350 capture: \"" + kCamera0 +
                                         "\" could not start (0x80004005): no camera at \\\\.\\TM350-0; "
                                         "is it plugged in?\n"))
        << run.output;
    EXPECT_EQ(Files(), std::vector<std::string>{});
}

TEST_F(Tm350Capture, UnpluggingTheCameraEndsTheCaptureWithAnError) {
    Register();
    // The machine pulls the camera out once four frames were taken from it.
    Simulate("timing=fast;unplug=4");
    CommandResult run = Tm350("capture -C 1000 -F " + Path("frame-#.bmp"));
    EXPECT_EQ(run.exit_code, 1) << run.output;
    EXPECT_TRUE(Contains(run.output, "\" stopped the stream with error 0x80004005: the camera was unplugged"))
        << run.output;
    EXPECT_TRUE(std::regex_search(run.output, std::regex("\n[0-4] samples, 0 frames lost, [0-9.]+ frames per second\n")))
        << run.output;
    const size_t written = SampleLines(run.output).size();
    EXPECT_EQ(Files().size(), written) << run.output;
    for (const std::string &name : Files()) ExpectRightSideUp(ReadPicture(directory_.path() / name), name);
}

// The machine's log shows what reaches the camera: after Ctrl-C streaming
// stops and the sensor is shut down (register 0x00 = 3) before the closing line.
TEST_F(Tm350Capture, CtrlCStopsTheGraphAndTheCameraCleanly) {
    Register();
    Simulate("timing=fast");
    setenv("TM350_LOG", "1", 1);
    tm350::test::RunningTm350 tool({"capture", "-C", "0", "-F", Path("frame-#.bmp")});
    std::string line;
    for (int samples = 0; samples < 2;) {
        ASSERT_TRUE(tool.ReadLine(&line)) << "the tool ended before two samples";
        if (Contains(line, " bytes=")) ++samples;
    }
    tool.Interrupt();
    CommandResult run = tool.Finish();
    EXPECT_EQ(run.exit_code, 130) << run.output;
    EXPECT_TRUE(Contains(run.output, "tm350 capture: interrupted\n")) << run.output;
    const size_t streaming = run.output.rfind("[camera] control word 3\n");
    ASSERT_NE(streaming, std::string::npos) << run.output;
    const size_t shut_down = run.output.find("[camera] register 0:00 = 000003\n", streaming);
    ASSERT_NE(shut_down, std::string::npos) << run.output.substr(streaming);
    EXPECT_NE(run.output.find(" samples, ", shut_down), std::string::npos) << run.output.substr(streaming);
    const size_t written = SampleLines(run.output).size();
    EXPECT_GE(written, 2u);
    EXPECT_EQ(Files().size(), written);
    for (const std::string &name : Files()) {
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
        EXPECT_EQ(std::filesystem::file_size(Path(name.c_str())), 54 + kPictureSize) << name;
    }
}

TEST_F(Tm350Capture, RefusesBadArguments) {
    struct Case {
        std::string arguments;
        const char *says;
    } cases[] = {
        {"capture -C ten", "-C takes a number of samples"},
        {"capture -F " + Path("a#.jpg"), "must end in .png or .bmp"},
        {"capture --frames", "unexpected argument \"--frames\""},
        {"controls -x", "unexpected argument \"-x\""},
    };
    for (const Case &c : cases) {
        CommandResult run = Tm350(c.arguments);
        EXPECT_EQ(run.exit_code, 2) << c.arguments << "\n" << run.output;
        EXPECT_TRUE(Contains(run.output, c.says)) << c.arguments << "\n" << run.output;
    }
    CommandResult unwritable = Tm350("capture -C 1 -F " + Path("missing/a#.png"));
    EXPECT_EQ(unwritable.exit_code, 1);
    EXPECT_TRUE(Contains(unwritable.output, "cannot write files in")) << unwritable.output;
}

// The README's first command, with this build already there: it captures
// and says where the pictures went.
TEST_F(Tm350Capture, TheMainJobCapturesAndSaysWhereThePicturesWent) {
    Simulate("timing=fast");
    const std::filesystem::path build = tm350::test::BinDirectory().parent_path();
    setenv("TM350_BUILD_DIR", build.c_str(), 1);
    const std::string last = (build / "capture" / "frame-000004.png").string();
    std::filesystem::remove(last);  // left by an earlier run
    const std::string command = std::string(TM350_SOURCE_DIR) + "/tools/run.sh 2>&1";
    std::string output;
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[4096];
    for (size_t count; (count = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, count);
    const int status = pclose(pipe);
    unsetenv("TM350_BUILD_DIR");
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_TRUE(Contains(output, "; the last: " + last + "\n")) << output;
    EXPECT_EQ(SampleLines(output).size(), 5u) << output;
    ExpectRightSideUp(ReadPicture(last), last);
}

}  // namespace
