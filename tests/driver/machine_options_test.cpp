// TM350_SIM's choice of what the machine's cameras show.
#include <gtest/gtest.h>

#include <string>

#include "sim/machine.h"

namespace {

using tm350::sim::Noise;
using tm350::sim::ParseMachineOptions;
using tm350::sim::Scene;

TEST(MachineOptions, SceneNoiseAndSeedChooseTheCamerasSensorAndDefaultToTheNoisyChart) {
    std::string error;
    auto options = ParseMachineOptions("scene=pattern;noise=off;seed=42", &error);
    ASSERT_TRUE(options.has_value()) << error;
    EXPECT_EQ(options->sensor.scene, Scene::Pattern);
    EXPECT_EQ(options->sensor.noise, Noise::Off);
    EXPECT_EQ(options->sensor.seed, 42u);

    options = ParseMachineOptions("cameras=2", &error);
    ASSERT_TRUE(options.has_value()) << error;
    EXPECT_EQ(options->sensor.scene, Scene::Chart);
    EXPECT_EQ(options->sensor.noise, Noise::On);
    EXPECT_EQ(options->sensor.seed, 1u);

    for (const char *bad : {"scene=bars", "scene=", "noise=yes", "seed=-1", "seed=1234567890", "seed"}) {
        EXPECT_FALSE(ParseMachineOptions(bad, &error).has_value()) << bad;
        EXPECT_NE(error.find(bad), std::string::npos) << error;
    }
}

TEST(MachineOptions, UnplugNamesTheFramesAfterWhichCamerasArePulledOut) {
    std::string error;
    auto options = ParseMachineOptions("cameras=2;unplug=4", &error);
    ASSERT_TRUE(options.has_value()) << error;
    EXPECT_EQ(options->unplug_after_frames, 4u);
    EXPECT_EQ(ParseMachineOptions("cameras=2", &error)->unplug_after_frames, 0u);
    for (const char *bad : {"unplug=0", "unplug=", "unplug=x", "unplug"}) {
        EXPECT_FALSE(ParseMachineOptions(bad, &error).has_value()) << bad;
    }
}

}  // namespace
