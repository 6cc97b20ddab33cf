// The tm350 command line as a user runs it.
#include <gtest/gtest.h>

#include <string>

#include "support/run_tm350.h"
#include "support/temp_directory.h"

namespace {

using tm350::test::CommandResult;

CommandResult Tm350(const std::string &arguments) { return tm350::test::RunTm350(arguments); }

const char kDefaults[] =
    "eNVC480Size=0\nbAutoWB=0\nr=74\ng=64\nb=96\nAutoExposure=1\nExposureTime=300\nAnalogGain=224\n"
    "AETarget=100\nGamma=100\nContrast=30\nEnableSaturation=1\nSaturation=100\nWhiteBlack=0\nVFlip=0\n"
    "HFlip=0\nSpeed=0\nHZ=1\n";

const char kKey[] = "\"HKCU\\Software\\LUMAVEX\\NVC480\\dshow\"";

class Tm350Tool : public ::testing::Test {
protected:
    tm350::test::TempRegistry registry_;
};

TEST_F(Tm350Tool, SettingsPrintsTheDefaultsAndCreatesTheEmptyKey) {
    CommandResult run = Tm350("settings");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.output, kDefaults);
    CommandResult query = Tm350(std::string("reg query ") + kKey);
    EXPECT_EQ(query.exit_code, 0) << query.output;
    EXPECT_EQ(query.output, "\nHKEY_CURRENT_USER\\Software\\LUMAVEX\\NVC480\\dshow\n\n");
}

TEST_F(Tm350Tool, StoredValuesAreLoadedWithTheirRanges) {
    ASSERT_EQ(Tm350(std::string("reg add ") + kKey + " /v Gamma /t REG_DWORD /d 300 /f").exit_code, 0);
    ASSERT_EQ(Tm350(std::string("reg add ") + kKey + " /v Gain /t REG_DWORD /d 0x3E8 /f").exit_code, 0);
    ASSERT_EQ(Tm350(std::string("reg add ") + kKey + " /v r /t REG_SZ /d 12 /f").exit_code, 0);
    CommandResult run = Tm350("settings");
    EXPECT_NE(run.output.find("\nGamma=250\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("\nAnalogGain=768\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("\nr=74\n"), std::string::npos) << run.output;
}

TEST_F(Tm350Tool, SettingsSaveWritesEveryValue) {
    ASSERT_EQ(Tm350(std::string("reg add ") + kKey + " /v ExposureTime /t REG_DWORD /d 5000 /f").exit_code, 0);
    ASSERT_EQ(Tm350("settings save").exit_code, 0);
    CommandResult query = Tm350(std::string("reg query ") + kKey);
    EXPECT_NE(query.output.find("    ExposureTime    REG_DWORD    0xfa0\n"), std::string::npos) << query.output;
    EXPECT_NE(query.output.find("    Gain    REG_DWORD    0xe0\n"), std::string::npos) << query.output;
    EXPECT_NE(query.output.find("    HZ    REG_DWORD    0x1\n"), std::string::npos) << query.output;
    CommandResult one = Tm350(std::string("reg query ") + kKey + " /v hz");
    EXPECT_EQ(one.output, "\nHKEY_CURRENT_USER\\Software\\LUMAVEX\\NVC480\\dshow\n    hz    REG_DWORD    0x1\n\n");
}

TEST_F(Tm350Tool, RegAddRefusesToOverwriteWithoutForceAndBadData) {
    ASSERT_EQ(Tm350(std::string("reg add ") + kKey + " /v Speed /t REG_DWORD /d 1").exit_code, 0);
    CommandResult again = Tm350(std::string("reg add ") + kKey + " /v Speed /t REG_DWORD /d 0");
    EXPECT_EQ(again.exit_code, 1);
    EXPECT_NE(Tm350("settings").output.find("\nSpeed=1\n"), std::string::npos);

    EXPECT_EQ(Tm350(std::string("reg add ") + kKey + " /v Speed /t REG_DWORD /d 4294967296 /f").exit_code, 1);
    EXPECT_EQ(Tm350(std::string("reg add ") + kKey + " /v Speed /t REG_DWORD /d -1 /f").exit_code, 1);
    EXPECT_EQ(Tm350(std::string("reg add ") + kKey + " /v Speed /t REG_BINARY /d 0 /f").exit_code, 1);
    EXPECT_EQ(Tm350(std::string("reg add ") + kKey + " /v Speed /t REG_WHATEVER /d 0 /f").exit_code, 1);
    EXPECT_EQ(Tm350("reg add 'HKXX\\Software' /v a /d b").exit_code, 1);
}

TEST_F(Tm350Tool, RegDeleteRemovesValuesAndWholeTrees) {
    ASSERT_EQ(Tm350("reg add 'HKCU\\Software\\Tree\\Leaf' /v x /t REG_BINARY /d 00FF /f").exit_code, 0);
    CommandResult query = Tm350("reg query 'HKCU\\Software\\Tree' /s");
    EXPECT_NE(query.output.find("HKEY_CURRENT_USER\\Software\\Tree\\Leaf\n    x    REG_BINARY    00FF\n"),
              std::string::npos)
        << query.output;
    EXPECT_EQ(Tm350("reg delete 'HKCU\\Software\\Tree\\Leaf' /v x /f").exit_code, 0);
    EXPECT_EQ(Tm350("reg query 'HKCU\\Software\\Tree\\Leaf' /v x").exit_code, 1);
    EXPECT_EQ(Tm350("reg delete 'HKCU\\Software\\Tree' /f").exit_code, 0);
    CommandResult gone = Tm350("reg query 'HKCU\\Software\\Tree'");
    EXPECT_EQ(gone.exit_code, 1);
    EXPECT_NE(gone.output.find("unable to find"), std::string::npos);
}

TEST_F(Tm350Tool, UnknownCommandsAndArgumentsFailWithOneLine) {
    EXPECT_EQ(Tm350("frobnicate").exit_code, 2);
    EXPECT_EQ(Tm350("settings extra").exit_code, 2);
    EXPECT_EQ(Tm350("regsvr32").exit_code, 1);
    CommandResult missing = Tm350("regsvr32 /s /nonexistent/module.so");
    EXPECT_EQ(missing.exit_code, 3);
}

TEST_F(Tm350Tool, Regsvr32RegistersAndUnregistersAModule) {
    std::string module = (tm350::test::LibDirectory() / "counter_server.so").string();
    CommandResult run = Tm350("regsvr32 " + module);
    EXPECT_EQ(run.exit_code, 0) << run.output;
    CommandResult query = Tm350("reg query 'HKCR\\CLSID\\{6B1A2D40-3C1E-4F7A-9D2B-1E5C7A9B0C01}\\InprocServer32' /ve");
    EXPECT_NE(query.output.find("(Default)    REG_SZ    " + module), std::string::npos) << query.output;
    EXPECT_EQ(Tm350("regsvr32 /u /s " + module).exit_code, 0);
    EXPECT_EQ(Tm350("reg query 'HKCR\\CLSID\\{6B1A2D40-3C1E-4F7A-9D2B-1E5C7A9B0C01}'").exit_code, 1);
    EXPECT_EQ(Tm350("regsvr32 " + (tm350::test::LibDirectory() / "libtm350kernel32.so").string()).exit_code, 4);
}

}  // namespace
