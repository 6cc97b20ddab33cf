// Faults a test can inject into the camera's stream, and what the host sees
// of each: lost bytes, truncated frames, a hung sensor, a halted data
// endpoint, unplugging, a bus reset; and the hooks running on a host thread
// while another thread inspects the camera.
#include <gtest/gtest.h>

#include "sim/camera.h"
#include "tests/sim/test_host.h"

#include <atomic>
#include <latch>
#include <thread>

namespace {

using tm350::sim::Camera;
using tm350::sim::kFrameBytes;
using tm350::test::BulkReader;
using tm350::test::PatternCamera;
using tm350::test::PatternFrame;
using tm350::test::TestHost;
using tm350::usb::ControlStatus;
using tm350::usb::Handshake;


struct CameraFaults : ::testing::Test {
    Camera camera{PatternCamera()};
    TestHost host{camera};
    BulkReader reader{camera, 0x82};

    void SetUp() override {
        host.Enumerate();
        ASSERT_EQ(host.SetControlWord(3), ControlStatus::Ack);
    }
};

}  // namespace

TEST_F(CameraFaults, DroppedBytesAreMissingFromTheFrameWhichStillEndsWithAShortPacket) {
    camera.DropStreamBytes(1000);
    reader.RunUntilTransfers(1, 1000);

    EXPECT_EQ(reader.transfers[0], PatternFrame(0, 1000));
    const auto counters = camera.Counters();
    EXPECT_EQ(counters.bytes_lost, 1000u);
    EXPECT_EQ(counters.frames_short, 1u);
    reader.RunUntilTransfers(2, 1000);
    EXPECT_EQ(reader.transfers[1], PatternFrame(1));
}

TEST_F(CameraFaults, ATruncatedFrameEndsEarlyAndTheNextStartsOnTime) {
    camera.TruncateNextFrame(5000);
    // 5000 bytes are read out within the first bus frame: 9 packets and 392.
    EXPECT_EQ(reader.RunUntilTransfers(1, 1000), 1u);
    EXPECT_EQ(reader.transfers[0], PatternFrame(0, 0, 5000));
    EXPECT_EQ(reader.short_packet_lengths.front(), 392);

    EXPECT_EQ(reader.RunUntilTransfers(2, 1000), 265u);  // frame 1 starts in bus frame 134
    EXPECT_EQ(reader.transfers[1], PatternFrame(1));
    EXPECT_EQ(camera.Counters().frames_short, 1u);
}

TEST_F(CameraFaults, FrameLengthsApplyInOrderAndTheLastHoldsUntilFaultsAreCleared) {
    camera.SetFrameLengths({5000, 1000});
    reader.RunUntilTransfers(3, 1000);
    EXPECT_EQ(reader.transfers[0], PatternFrame(0, 0, 5000));
    EXPECT_EQ(reader.transfers[1], PatternFrame(1, 0, 1000));
    EXPECT_EQ(reader.transfers[2], PatternFrame(2, 0, 1000));
    camera.ClearFaults();
    reader.RunUntilTransfers(4, 1000);
    EXPECT_EQ(reader.transfers[3], PatternFrame(3));
}

TEST_F(CameraFaults, AFrameTruncatedToWholePacketsEndsWithAZeroLengthPacket) {
    camera.TruncateNextFrame(4096);
    reader.RunUntilTransfers(1, 1000);
    EXPECT_EQ(reader.transfers[0].size(), 4096u);
    EXPECT_EQ(reader.full_packets_in_transfers[0], 8u);
    EXPECT_EQ(reader.zero_length_packets, 1u);
}

TEST_F(CameraFaults, AHungSensorNaksForeverWhateverIsBufferedAndResumesWhereItStopped) {
    camera.StartOfFrame(0);
    const size_t buffered = camera.FifoBuffered();
    camera.HangSensor();

    for (int k = 0; k < 500; ++k)
        EXPECT_EQ(reader.Frame(), Handshake::Nak);
    EXPECT_EQ(reader.packets, 0u);
    EXPECT_EQ(camera.FifoBuffered(), buffered);
    EXPECT_EQ(camera.Counters().bytes_lost, 0u);

    camera.ResumeSensor();
    EXPECT_EQ(reader.RunUntilTransfers(1, 1000), 132u);
    EXPECT_EQ(reader.transfers[0], PatternFrame(0));
}

TEST_F(CameraFaults, AHaltedDataEndpointStallsWhileTheSensorRunsOnAndOverflows) {
    for (int k = 0; k < 10; ++k)
        reader.Frame();
    ASSERT_TRUE(camera.HaltEndpoint(0x82));
    for (int k = 0; k < 10; ++k)
        EXPECT_EQ(reader.Frame(), Handshake::Stall);
    EXPECT_GT(camera.Counters().bytes_lost, 0u);

    // The host clears the halt, as a pipe reset does.
    EXPECT_EQ(host.Out(0x02, 0x01, 0, 0x82), ControlStatus::Ack);
    reader.RunUntilTransfers(1, 1000);
    EXPECT_LT(reader.transfers[0].size(), kFrameBytes);
    reader.RunUntilTransfers(2, 1000);
    EXPECT_EQ(reader.transfers[1], PatternFrame(1));
}

TEST_F(CameraFaults, UnpluggingStopsTheStreamAndPluggingInPowersUpFreshButKeepsMemory) {
    host.WriteRegister(0x63, 0x1BA000);
    host.SetHighSpeed();
    host.Out(0x40, 0xA0, 0x0100, 0, {0xCA, 0xFE});
    for (int k = 0; k < 10; ++k)
        reader.Frame();

    camera.SetAttached(false);
    EXPECT_FALSE(camera.Streaming());
    EXPECT_EQ(camera.FifoBuffered(), 0u);
    camera.SetAttached(true);

    EXPECT_EQ(camera.ControlWord(), 0);
    EXPECT_EQ(camera.Register(0, 0x63), 0u);
    EXPECT_EQ(camera.Register(0, 0x30), 1u);
    EXPECT_EQ(camera.CurrentFramePeriod(), 133u);
    EXPECT_EQ(camera.ReadMemory(0x0100, 2), (std::vector<uint8_t>{0xCA, 0xFE}));
    EXPECT_EQ(camera.ReadMemory(0x24C0, 2), (std::vector<uint8_t>{0x55, 0x80}));
}

TEST_F(CameraFaults, ABusResetStopsTheStreamButKeepsTheRegisters) {
    host.SetHighSpeed();
    for (int k = 0; k < 10; ++k)
        reader.Frame();
    camera.Reset();
    EXPECT_FALSE(camera.Streaming());
    EXPECT_EQ(camera.FifoBuffered(), 0u);
    EXPECT_EQ(camera.Register(0, 0x36), 0x26Bu);
    host.Enumerate();
    EXPECT_EQ(reader.Frame(), Handshake::Nak);
}

TEST(CameraThreads, HostThreadDrivesTheBusWhileAnotherInspectsAndArmsFaults) {
    Camera camera;
    TestHost host(camera);
    host.Enumerate();
    host.SetHighSpeed();
    host.SetControlWord(3);

    // The host thread runs its first frame, then waits until the inspector
    // has been through once: the two threads overlap however they are
    // scheduled, and the rest of the stream runs while the inspector goes on.
    std::latch first_frame(1);
    std::latch inspected(1);
    std::atomic<bool> done{false};
    std::thread bus([&] {
        BulkReader reader(camera, 0x82);
        reader.Frame();
        first_frame.count_down();
        inspected.wait();
        reader.RunUntilTransfers(3, 1000);
        done = true;
    });
    first_frame.wait();
    bool first = true;
    do {
        const auto counters = camera.Counters();
        EXPECT_LE(counters.bytes_lost, counters.bytes_read_out);
        EXPECT_LE(camera.FifoBuffered(), 16u * 1024);
        camera.ReadMemory(0x24C0, 2);
        camera.StallNextControlTransfers(0);
        if (first) inspected.count_down();
        first = false;
    } while (!done);
    bus.join();
    EXPECT_EQ(camera.Counters().frames_completed, 3u);
}
