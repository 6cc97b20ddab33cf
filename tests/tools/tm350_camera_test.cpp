// tm350 list and tm350 raw against the simulated cameras, through the built
// tool: each run of the tool is a machine of its own, set up by TM350_SIM.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "support/run_tm350.h"
#include "support/temp_directory.h"

namespace {

using tm350::test::CommandResult;

constexpr size_t kRawSize = 1176 * 772;
constexpr size_t kRowSize = 1024 * 3;

CommandResult Tm350(const std::string &arguments) { return tm350::test::RunTm350(arguments); }

std::vector<unsigned char> ReadFile(const std::filesystem::path &path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

size_t CountOf(const std::string &text, const std::string &part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// The machine every tool run of the test gets.
class Tm350Camera : public ::testing::Test {
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

    tm350::test::TempRegistry registry_;
    tm350::test::TempDirectory directory_;
};

TEST_F(Tm350Camera, ListShowsEveryCameraInInstanceOrder) {
    Simulate("cameras=3;timing=fast");
    CommandResult run = Tm350("list");
    EXPECT_EQ(run.exit_code, 0) << run.output;
    auto block = [](const char *serial) {
        return std::string("    USB 4c56:0480 LUMAVEX NVC480 USB 2.0 Colour CCD Camera, serial ") + serial +
               "\n"
               "    driver 1.5.1\n"
               "    defect table: 1024x768 3 entries, 800x600 2 entries, 640x480 1 entry, 320x240 0 entries\n";
    };
    EXPECT_EQ(run.output, "0: \\\\.\\TM350-0\n" + block("TM350-000001") + "\n1: \\\\.\\TM350-1\n" +
                              block("TM350-000002") + "\n2: \\\\.\\TM350-2\n" + block("TM350-000003"));
}

TEST_F(Tm350Camera, ListWithoutCamerasSaysSoAndSucceeds) {
    Simulate("cameras=0");
    CommandResult run = Tm350("list");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.output, "no cameras\n");
}

TEST_F(Tm350Camera, RawWritesEachFrameWholeAndInOrder) {
    Simulate("timing=fast");
    CommandResult run = Tm350("raw -C 3 -F " + Path("frame-#.raw"));
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(Files(), (std::vector<std::string>{"frame-000000.raw", "frame-000001.raw", "frame-000002.raw"}));
    // The camera numbers its frames in the first bytes of line 0; raw files
    // hold frames as read, so the numbers rise from file to file.
    unsigned previous = 0;
    for (int frame = 0; frame < 3; ++frame) {
        std::vector<unsigned char> raw = ReadFile(Path(("frame-00000" + std::to_string(frame) + ".raw").c_str()));
        ASSERT_EQ(raw.size(), kRawSize);
        const unsigned number = raw[0] << 24 | raw[1] << 16 | raw[2] << 8 | raw[3];
        if (frame > 0) {
            EXPECT_GT(number, previous);
        }
        previous = number;
    }
    EXPECT_EQ(CountOf(run.output, " taken "), 3u) << run.output;
    EXPECT_TRUE(std::regex_search(run.output, std::regex("\n3 frames taken, [0-9]+ lost, [0-9.]+ fps\n$")))
        << run.output;
}

// The picture raw writes is the one process makes of the same frame: with
// the sensor's noise off, a fixed exposure and no defect table in use, every
// frame shows the same chart except for the ball above it.
TEST_F(Tm350Camera, RawDevelopsFramesAsProcessDoes) {
    Simulate("timing=fast;noise=off");
    const std::string fixed = " AutoExposure=0 eNVC480Size=3 VFlip=1";
    ASSERT_EQ(Tm350("raw -C 1 -F " + Path("a#.raw") + fixed).exit_code, 0);
    CommandResult developed = Tm350("raw -C 1 -F " + Path("b#.bmp") + fixed);
    ASSERT_EQ(developed.exit_code, 0) << developed.output;
    ASSERT_EQ(Tm350("process " + Path("a000000.raw") + " " + Path("c.bmp") + " VFlip=1").exit_code, 0);
    std::vector<unsigned char> fromRaw = ReadFile(Path("b000000.bmp"));
    std::vector<unsigned char> fromProcess = ReadFile(Path("c.bmp"));
    ASSERT_EQ(fromRaw.size(), 54 + 768 * kRowSize);
    ASSERT_EQ(fromProcess.size(), fromRaw.size());
    // Flipped, the top picture rows with the ball are the first rows of the
    // file; everything from picture row 140 down is the chart and the wall.
    const size_t chart = 54 + 140 * kRowSize;
    EXPECT_TRUE(std::equal(fromRaw.begin() + chart, fromRaw.end(), fromProcess.begin() + chart));
}

TEST_F(Tm350Camera, AutomaticExposureAndWhiteBalanceActOnTheCameraButAreNotSaved) {
    Simulate("timing=fast");
    CommandResult balanced = Tm350("raw -C 2 --awb");
    ASSERT_EQ(balanced.exit_code, 0) << balanced.output;
    // The lamp is warm: the grey world takes much red out and adds blue,
    // once, on the first frame.
    EXPECT_EQ(CountOf(balanced.output, "white balance: "), 1u) << balanced.output;
    EXPECT_NE(balanced.output.find("white balance: r=45 g=64 b=109\n"), std::string::npos) << balanced.output;
    CommandResult run = Tm350("raw -C 12 ExposureTime=20 AnalogGain=100");
    ASSERT_EQ(run.exit_code, 0) << run.output;
    struct Taken {
        int brightness, exposure, gain;
    };
    std::vector<Taken> frames;
    const std::regex line("taken  brightness +([0-9]+)  exposure +([0-9]+)  gain +([0-9]+)");
    for (auto match = std::sregex_iterator(run.output.begin(), run.output.end(), line);
         match != std::sregex_iterator(); ++match) {
        frames.push_back({std::stoi((*match)[1]), std::stoi((*match)[2]), std::stoi((*match)[3])});
    }
    ASSERT_FALSE(frames.empty()) << run.output;
    // A dark start: gain first, then exposure go up, and the picture with them.
    EXPECT_GT(frames.back().gain, 100);
    EXPECT_GT(frames.back().exposure, 20);
    EXPECT_GT(frames.back().brightness, frames.front().brightness) << run.output;
    CommandResult settings = Tm350("settings");
    EXPECT_NE(settings.output.find("\nr=74\ng=64\nb=96\n"), std::string::npos) << settings.output;
    EXPECT_NE(settings.output.find("\nExposureTime=300\nAnalogGain=224\n"), std::string::npos) << settings.output;
}

TEST_F(Tm350Camera, RawStopsWithOneLineWhenTheCameraIsPulledOut) {
    // The machine pulls the camera out once four frames have been taken from it.
    Simulate("timing=fast;unplug=4");
    CommandResult run = Tm350("raw -C 1000 -F " + Path("frame-#.raw"));
    EXPECT_EQ(run.exit_code, 1) << run.output;
    EXPECT_EQ(CountOf(run.output, "tm350 raw: "), 1u) << run.output;
    EXPECT_NE(run.output.find("tm350 raw: the camera at \\\\.\\TM350-0 stopped delivering frames"), std::string::npos)
        << run.output;
    EXPECT_TRUE(std::regex_search(run.output, std::regex("\n[0-4] frames taken, [0-9]+ lost, [0-9.]+ fps\n")))
        << run.output;
    for (const std::string &name : Files()) {
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
        EXPECT_EQ(std::filesystem::file_size(Path(name.c_str())), kRawSize) << name;
    }
}

// The machine's log shows what reaches the camera: after Ctrl-C streaming
// stops (control words 1, then 0) and the sensor is shut down (register
// 0x00 = 3) before the closing line.
TEST_F(Tm350Camera, CtrlCStopsTheCaptureCleanly) {
    Simulate("timing=fast");
    setenv("TM350_LOG", "1", 1);
    tm350::test::RunningTm350 tool({"raw", "-F", Path("frame-#.bmp")});
    std::string line;
    for (int taken = 0; taken < 2;) {
        ASSERT_TRUE(tool.ReadLine(&line)) << "the tool ended before two frames";
        if (line.find(" taken ") != std::string::npos) ++taken;
    }
    tool.Interrupt();
    CommandResult run = tool.Finish();
    EXPECT_EQ(run.exit_code, 130) << run.output;
    EXPECT_TRUE(std::regex_search(run.output, std::regex("\n[0-9]+ frames taken, [0-9]+ lost, [0-9.]+ fps\n")))
        << run.output;
    EXPECT_NE(run.output.find("tm350 raw: interrupted\n"), std::string::npos) << run.output;
    const size_t streaming = run.output.find("[camera] control word 3\n");
    ASSERT_NE(streaming, std::string::npos) << run.output;
    const size_t run_stopped = run.output.find("[camera] control word 1\n", streaming);
    const size_t held = run.output.find("[camera] control word 0\n", run_stopped);
    const size_t shut_down = run.output.find("[camera] register 0:00 = 000003\n", held);
    const size_t closing = run.output.find(" frames taken, ", shut_down);
    EXPECT_TRUE(run_stopped != std::string::npos && held != std::string::npos && shut_down != std::string::npos &&
                closing != std::string::npos)
        << run.output.substr(streaming);
    for (const std::string &name : Files()) {
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
        EXPECT_EQ(std::filesystem::file_size(Path(name.c_str())), 54 + 768 * kRowSize) << name;
    }
}

TEST_F(Tm350Camera, RawBadInputFailsWithOneLine) {
    Simulate("cameras=1;timing=fast");
    std::filesystem::create_directory(Path("taken000000.raw"));  // where the first frame file would go
    struct Case {
        std::string arguments;
        int exit_code;
        const char *says;
    } cases[] = {
        {"raw -d 8", 2, "-d takes a camera instance digit"},
        {"raw -d x", 2, "-d takes a camera instance digit"},
        {"raw -d 2 -C 1", 1, "no camera at \\\\.\\TM350-2"},
        {"raw -C 0", 2, "-C takes a number of frames"},
        {"raw -C 1 -F " + Path("a#.jpg"), 2, "must end in .raw, .bmp or .png"},
        {"raw -C 1 -F " + Path("missing/a#.raw"), 1, "cannot write files in"},
        {"raw -C 1 Gamma=300", 2, "out of range"},
        {"raw -C 1 Bogus=1", 2, "unknown setting"},
        {"raw -C 1 --frames", 2, "unexpected argument"},
        {"raw -C 1 -F " + Path("taken#.raw"), 1, "cannot write"},
    };
    for (const Case &c : cases) {
        CommandResult run = Tm350(c.arguments);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.arguments << "\n" << run.output;
        EXPECT_EQ(CountOf(run.output, "tm350 raw: "), 1u) << c.arguments << "\n" << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << c.arguments << "\n" << run.output;
    }
    EXPECT_EQ(Files(), std::vector<std::string>{"taken000000.raw"});
    Simulate("cameras=0");
    CommandResult none = Tm350("raw -C 1");
    EXPECT_EQ(none.exit_code, 1);
    EXPECT_EQ(none.output, "tm350 raw: no camera at \\\\.\\TM350-0\n");
}

}  // namespace
