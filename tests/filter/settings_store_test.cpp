// The camera settings as the output pin loads and saves them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/settings_store.h"
#include "support/temp_directory.h"

namespace {

class SettingsStore : public ::testing::Test {
protected:
    tm350::test::TempRegistry registry_;

    static HKEY OpenKey() {
        HKEY key = NULL;
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, NVC480_SETTINGS_KEY, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
        return key;
    }
    static void Store(const char *name, DWORD value) {
        HKEY key = NULL;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, NVC480_SETTINGS_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key,
                                  NULL),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof(value)),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static void StoreRaw(const char *name, DWORD type, const void *data, DWORD size) {
        HKEY key = NULL;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, NVC480_SETTINGS_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key,
                                  NULL),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data), size), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static CCameraSettings Load() {
        CCameraSettings settings;
        settings.SetDefaults();
        LoadCameraSettings(settings);
        return settings;
    }
};

void ExpectDefaults(const CCameraSettings &s) {
    EXPECT_EQ(s.eNVC480Size, 0u);
    EXPECT_EQ(s.bAutoWB, 0u);
    EXPECT_EQ(s.r, 74);
    EXPECT_EQ(s.g, 64);
    EXPECT_EQ(s.b, 96);
    EXPECT_EQ(s.AutoExposure, 1u);
    EXPECT_EQ(s.AETarget, 100);
    EXPECT_EQ(s.ExposureTime, 300);
    EXPECT_EQ(s.AnalogGain, 224);
    EXPECT_EQ(s.Speed, 0);
    EXPECT_EQ(s.Gamma, 100);
    EXPECT_EQ(s.Contrast, 30);
    EXPECT_EQ(s.EnableSaturation, 1u);
    EXPECT_EQ(s.Saturation, 100);
    EXPECT_EQ(s.WhiteBlack, 0u);
    EXPECT_EQ(s.VFlip, 0u);
    EXPECT_EQ(s.HFlip, 0u);
    EXPECT_EQ(s.HZ, 1u);
}

TEST_F(SettingsStore, FirstRunCreatesTheEmptyKeyAndKeepsEveryDefault) {
    ExpectDefaults(Load());
    HKEY key = OpenKey();
    char name[64];
    DWORD length = sizeof(name);
    EXPECT_EQ(RegEnumValueA(key, 0, name, &length, NULL, NULL, NULL, NULL), ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

TEST_F(SettingsStore, SaveWritesAllNineteenValuesInOrderAsFourByteDwords) {
    CCameraSettings settings;
    settings.SetDefaults();
    SaveCameraSettings(settings);

    const std::vector<std::string> expected_order = {
        "eNVC480Size", "bAutoWB",  "r",        "g",          "b",          "AutoExposure", "AETarget",
        "ExposureTime", "AnalogGain", "Gamma", "Contrast", "EnableSaturation", "Saturation", "WhiteBlack",
        "VFlip",       "HFlip",    "Gain",     "Speed",      "HZ"};
    const std::vector<DWORD> expected_values = {0, 0, 74, 64, 96, 1, 100, 300, 224, 100, 30, 1, 100, 0, 0, 0, 224, 0, 1};
    HKEY key = OpenKey();
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[64];
        DWORD length = sizeof(name);
        DWORD type = 0;
        DWORD value = 0;
        DWORD size = sizeof(value);
        LONG result = RegEnumValueA(key, index, name, &length, NULL, &type, reinterpret_cast<BYTE *>(&value), &size);
        if (result == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(result, ERROR_SUCCESS);
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD)) << name;
        EXPECT_EQ(size, 4u) << name;
        ASSERT_LT(names.size(), expected_values.size());
        EXPECT_EQ(value, expected_values[names.size()]) << name;
        names.push_back(name);
    }
    RegCloseKey(key);
    EXPECT_EQ(names, expected_order);
}

TEST_F(SettingsStore, OutOfRangeValuesAreClampedAsUnsignedNumbers) {
    Store("ExposureTime", 5000);
    Store("Gamma", 0);
    Store("AETarget", 20);
    Store("eNVC480Size", 0xFFFFFFFF);
    Store("Contrast", 0x80000000);  // negative as a signed number: loads as the maximum
    Store("Saturation", 256);
    CCameraSettings settings = Load();
    EXPECT_EQ(settings.ExposureTime, 4000);
    EXPECT_EQ(settings.Gamma, 10);
    EXPECT_EQ(settings.AETarget, 40);
    EXPECT_EQ(settings.eNVC480Size, 3u);
    EXPECT_EQ(settings.Contrast, 100);
    EXPECT_EQ(settings.Saturation, 255);  // clamped, not wrapped to 0 by the byte field

    Store("Gamma", 300);
    EXPECT_EQ(Load().Gamma, 250);
}

TEST_F(SettingsStore, GainDecidesOverAnalogGainWithItsOwnRange) {
    Store("AnalogGain", 100);
    EXPECT_EQ(Load().AnalogGain, 100);  // only AnalogGain: its own range 1..767 stands
    Store("Gain", 100);
    EXPECT_EQ(Load().AnalogGain, 224);
    Store("Gain", 1000);
    EXPECT_EQ(Load().AnalogGain, 768);
    Store("AnalogGain", 0);
    Store("Gain", 500);
    EXPECT_EQ(Load().AnalogGain, 500);
}

TEST_F(SettingsStore, UnusableValuesKeepTheirDefaults) {
    StoreRaw("r", REG_SZ, "200", 4);
    DWORD four_bytes = 7;
    StoreRaw("g", REG_BINARY, &four_bytes, 4);
    WORD two_bytes = 7;
    StoreRaw("b", REG_DWORD, &two_bytes, 2);
    ULONGLONG eight_bytes = 7;
    StoreRaw("Contrast", REG_QWORD, &eight_bytes, 8);
    CCameraSettings settings = Load();
    EXPECT_EQ(settings.r, 74);
    EXPECT_EQ(settings.g, 64);
    EXPECT_EQ(settings.b, 96);
    EXPECT_EQ(settings.Contrast, 30);
}

TEST_F(SettingsStore, SavedValuesComeBackInTheNextInstance) {
    CCameraSettings settings;
    settings.SetDefaults();
    settings.bAutoWB = 1;  // a one-push measurement was pending at destruction
    settings.r = 0;
    settings.b = 255;
    settings.ExposureTime = 4000;
    settings.AnalogGain = 700;
    settings.Speed = 1;
    settings.HZ = 0;
    settings.VFlip = 1;
    SaveCameraSettings(settings);

    CCameraSettings loaded = Load();
    EXPECT_EQ(loaded.bAutoWB, 1u);
    EXPECT_EQ(loaded.r, 0);
    EXPECT_EQ(loaded.b, 255);
    EXPECT_EQ(loaded.ExposureTime, 4000);
    EXPECT_EQ(loaded.AnalogGain, 700);
    EXPECT_EQ(loaded.Speed, 1);
    EXPECT_EQ(loaded.HZ, 0u);
    EXPECT_EQ(loaded.VFlip, 1u);
}

TEST_F(SettingsStore, AGainBelowTheGainRangeIsRaisedAfterASaveAndLoad) {
    // Saved as both "AnalogGain" and "Gain", a gain under 224 loads as 224.
    CCameraSettings settings;
    settings.SetDefaults();
    settings.AnalogGain = 100;
    SaveCameraSettings(settings);
    EXPECT_EQ(Load().AnalogGain, 224);
}

TEST(SettingsStoreWithoutRegistry, AKeyThatCannotBeCreatedLeavesTheDefaultsAndSavesNothing) {
    tm350::test::TempDirectory directory;
    std::string blocker = (directory.path() / "not-a-directory").string();
    FILE *file = fopen(blocker.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fclose(file);
    const char *previous = getenv("TM350_REGISTRY");
    std::string saved = previous ? previous : "";
    setenv("TM350_REGISTRY", (blocker + "/registry").c_str(), 1);

    CCameraSettings settings;
    settings.SetDefaults();
    LoadCameraSettings(settings);
    ExpectDefaults(settings);
    settings.Gamma = 42;
    SaveCameraSettings(settings);  // must return quietly

    if (previous) {
        setenv("TM350_REGISTRY", saved.c_str(), 1);
    } else {
        unsetenv("TM350_REGISTRY");
    }
}

}  // namespace
