// tm350 graph run as a user runs it, over the tests' pattern source module
// registered with tm350 regsvr32.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_tm350.h"
#include "support/temp_directory.h"

namespace {

using tm350::test::CommandResult;

CommandResult Tm350(const std::string &arguments) { return tm350::test::RunTm350(arguments); }

// The pattern source's category and its device entry.
const std::string kCategory = "'{7A1F3C20-9E4B-4D61-8C2A-5B3E1F0D9ACA}'";
const std::string kDevice = "'TM350 Test Pattern'";
const std::string kDeviceKey =
    "'HKCR\\CLSID\\{7A1F3C20-9E4B-4D61-8C2A-5B3E1F0D9ACA}\\Instance\\TM350 Test Pattern'";

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

class Tm350Graph : public ::testing::Test {
protected:
    void SetUp() override {
        std::string module = (tm350::test::LibDirectory() / "pattern_source.so").string();
        ASSERT_EQ(Tm350("regsvr32 /s " + module).exit_code, 0);
    }
    void SetDeviceValue(const std::string &name, const std::string &value) {
        ASSERT_EQ(Tm350("reg add " + kDeviceKey + " /v " + name + " /t REG_DWORD /d " + value + " /f").exit_code, 0);
    }

    tm350::test::TempRegistry registry_;
};

TEST_F(Tm350Graph, ListsTheDevicesOfACategoryByFriendlyName) {
    CommandResult listed = Tm350("graph -c " + kCategory);
    EXPECT_EQ(listed.exit_code, 0);
    EXPECT_EQ(listed.output, "TM350 Test Pattern\n");
    CommandResult video = Tm350("graph");
    EXPECT_EQ(video.exit_code, 0);
    EXPECT_EQ(video.output, "") << "no capture device is registered here";
}

TEST_F(Tm350Graph, RunsADeviceForCountSamplesWithALinePerSample) {
    CommandResult run = Tm350("graph -c " + kCategory + " -C 12 " + kDevice);
    ASSERT_EQ(run.exit_code, 0) << run.output;
    std::vector<std::string> lines = Lines(run.output);
    ASSERT_EQ(lines.size(), 13u) << run.output;
    // 30 frames a second: sample n from n/30 s, exactly in 100 ns units.
    const std::regex sample_line(R"((\d+) start=(\d+)\.(\d{7}) stop=(\d+)\.(\d{7}) length=9216)");
    for (long n = 0; n < 12; ++n) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[n], match, sample_line)) << lines[n];
        EXPECT_EQ(std::stol(match[1].str()), n);
        long start = std::stol(match[2].str()) * 10000000 + std::stol(match[3].str());
        long stop = std::stol(match[4].str()) * 10000000 + std::stol(match[5].str());
        EXPECT_EQ(start, n * 333333) << lines[n];
        EXPECT_EQ(stop, (n + 1) * 333333) << lines[n];
    }
    EXPECT_EQ(lines[12], "12 samples");
}

TEST_F(Tm350Graph, AStreamShorterThanTheCountEndsWithAFailure) {
    SetDeviceValue("Samples", "3");
    CommandResult whole = Tm350("graph -c " + kCategory + " " + kDevice);
    EXPECT_EQ(whole.exit_code, 0) << whole.output;
    EXPECT_NE(whole.output.find("\n3 samples, end of stream\n"), std::string::npos) << whole.output;
    CommandResult short_of_count = Tm350("graph -c " + kCategory + " -C 5 " + kDevice);
    EXPECT_EQ(short_of_count.exit_code, 1) << short_of_count.output;
    EXPECT_NE(short_of_count.output.find("\n3 samples, end of stream\n"), std::string::npos);
}

TEST_F(Tm350Graph, ASourceErrorIsReportedAndFailsTheCommand) {
    SetDeviceValue("Samples", "2");
    SetDeviceValue("Failure", "0x80004005");
    CommandResult run = Tm350("graph -c " + kCategory + " " + kDevice);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.output.find("stopped the stream with error 0x80004005"), std::string::npos) << run.output;
}

TEST_F(Tm350Graph, CtrlCStopsAnEndlessRun) {
    tm350::test::RunningTm350 tool(
        {"graph", "-c", "{7A1F3C20-9E4B-4D61-8C2A-5B3E1F0D9ACA}", "TM350 Test Pattern"});
    std::string line;
    ASSERT_TRUE(tool.ReadLine(&line)) << "the tool ended before its first sample";
    EXPECT_EQ(line.rfind("0 start=0.0000000 ", 0), 0u) << line;
    tool.Interrupt();
    CommandResult result = tool.Finish();
    EXPECT_EQ(result.exit_code, 130) << result.output;
    EXPECT_NE(result.output.find("tm350 graph: interrupted"), std::string::npos) << result.output;
}

TEST_F(Tm350Graph, RefusesUnknownDevicesCategoriesAndCounts) {
    CommandResult unknown_device = Tm350("graph -c " + kCategory + " 'No Such Camera'");
    EXPECT_EQ(unknown_device.exit_code, 1);
    EXPECT_NE(unknown_device.output.find("no device \"No Such Camera\""), std::string::npos);
    EXPECT_EQ(Tm350("graph -c nonsense").exit_code, 2);
    EXPECT_EQ(Tm350("graph -c " + kCategory + " -C 0 " + kDevice).exit_code, 2);
    EXPECT_EQ(Tm350("graph -c " + kCategory + " -C ten " + kDevice).exit_code, 2);
}

}  // namespace
