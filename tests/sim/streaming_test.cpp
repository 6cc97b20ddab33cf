// Frames as a host sees them: driven by start of frame and drained packet by
// packet. Frame timing at both speeds, packet shapes, NAKs, FIFO overflow
// when the host does not poll, stopping, and the isochronous setting.
#include <gtest/gtest.h>

#include "sim/camera.h"
#include "tests/sim/test_host.h"

namespace {

using tm350::sim::Camera;
using tm350::sim::kFrameBytes;
using tm350::test::BulkReader;
using tm350::test::PatternCamera;
using tm350::test::PatternFrame;
using tm350::test::TestHost;
using tm350::usb::Handshake;

// 907 872 = 1773 x 512 + 96.
constexpr unsigned kFullPacketsPerFrame = 1773;
constexpr uint16_t kLastPacket = 96;


struct StreamingCamera : ::testing::Test {
    Camera camera{PatternCamera()};
    TestHost host{camera};
    BulkReader reader{camera, 0x82};

    void SetUp() override { host.Enumerate(); }
    void StartStreaming() { ASSERT_EQ(host.SetControlWord(3), tm350::usb::ControlStatus::Ack); }
};

}  // namespace

TEST(FramePattern, WordsCountUpFromTheFrameNumberTimes256) {
    EXPECT_EQ(PatternFrame(0, 0, 6), (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x01, 0x00, 0x02}));
    EXPECT_EQ(PatternFrame(3, 0, 4), (std::vector<uint8_t>{0x03, 0x00, 0x03, 0x01}));
    EXPECT_EQ(PatternFrame(0, 0x20000, 0x20002), (std::vector<uint8_t>{0x00, 0x00}));  // repeats after 128 KiB
}

TEST_F(StreamingCamera, AWholeFrameArrivesIn133BusFramesAs1773FullPacketsAndOne96ByteOne) {
    StartStreaming();
    const unsigned frames = reader.RunUntilTransfers(1, 1000);

    EXPECT_EQ(frames, 133u);
    ASSERT_EQ(reader.transfers.size(), 1u);
    EXPECT_EQ(reader.full_packets_in_transfers[0], kFullPacketsPerFrame);
    EXPECT_EQ(reader.short_packet_lengths, std::vector<uint16_t>{kLastPacket});
    EXPECT_EQ(reader.transfers[0], PatternFrame(0));

    // The next frame follows one period later, in order.
    EXPECT_EQ(reader.RunUntilTransfers(2, 1000), 133u);
    EXPECT_EQ(reader.transfers[1], PatternFrame(1));
    const auto counters = camera.Counters();
    EXPECT_EQ(counters.frames_completed, 2u);
    EXPECT_EQ(counters.frames_short, 0u);
    EXPECT_EQ(counters.bytes_lost, 0u);
    EXPECT_EQ(counters.bytes_sent, 2 * kFrameBytes);
}

TEST_F(StreamingCamera, ReadsOf301056BytesSeeThreeWholeReadsThenA4704ByteOneEndedByTheShortPacket) {
    reader.transfer_length = 301056;  // 256 lines
    StartStreaming();
    reader.RunUntilTransfers(8, 1000);

    for (size_t frame = 0; frame < 2; ++frame) {
        std::vector<uint8_t> assembled;
        for (size_t read = 0; read < 4; ++read) {
            const auto &transfer = reader.transfers[4 * frame + read];
            EXPECT_EQ(transfer.size(), read < 3 ? 301056u : 4704u) << "frame " << frame << " read " << read;
            assembled.insert(assembled.end(), transfer.begin(), transfer.end());
        }
        EXPECT_EQ(assembled, PatternFrame(frame));
    }
}

TEST_F(StreamingCamera, AtHighSpeedAFrameTakes67BusFrames) {
    host.SetHighSpeed();
    EXPECT_EQ(camera.CurrentFramePeriod(), 67u);
    StartStreaming();

    EXPECT_EQ(reader.RunUntilTransfers(1, 1000), 67u);
    EXPECT_EQ(reader.transfers[0].size(), kFrameBytes);
    EXPECT_EQ(reader.RunUntilTransfers(2, 1000), 67u);
    EXPECT_EQ(camera.Counters().bytes_lost, 0u);
}

TEST_F(StreamingCamera, ASpeedChangeTakesEffectWithTheNextFrame) {
    StartStreaming();
    for (int k = 0; k < 10; ++k)
        reader.Frame();
    host.SetHighSpeed();
    EXPECT_EQ(camera.CurrentFramePeriod(), 133u);  // the running readout keeps its period

    EXPECT_EQ(reader.RunUntilTransfers(1, 1000), 123u);
    EXPECT_EQ(reader.RunUntilTransfers(2, 1000), 67u);
    EXPECT_EQ(reader.transfers[1], PatternFrame(1));
}

TEST_F(StreamingCamera, PacketsAreOfferedOnlyWhenFullOrEndingAFrameOtherwiseNak) {
    std::vector<uint8_t> room(512);
    EXPECT_EQ(camera.InPacket(0x82, room).handshake, Handshake::Nak);  // not streaming
    StartStreaming();
    EXPECT_EQ(camera.InPacket(0x82, room).handshake, Handshake::Nak);  // no frame started yet

    // The first bus frame reads out floor(907 872 / 133) = 6826 bytes:
    // 13 whole packets, and 170 bytes that wait for more.
    camera.StartOfFrame(0);
    EXPECT_EQ(camera.FifoBuffered(), 6826u);
    EXPECT_EQ(reader.Drain(), Handshake::Nak);
    EXPECT_EQ(reader.packets, 13u);
    EXPECT_EQ(camera.FifoBuffered(), 170u);
    EXPECT_EQ(camera.Counters().naks, 3u);
}

TEST_F(StreamingCamera, WithoutPollingTheFifoOverflowsTheFrameArrivesShortAndTheNextIsIntact) {
    StartStreaming();
    for (uint32_t k = 0; k < 10; ++k)
        camera.StartOfFrame(k);
    EXPECT_EQ(camera.FifoBuffered(), 16u * 1024);

    // The host starts polling in bus frame 11; by then the sensor has read
    // out floor(907 872 x 11 / 133) = 75 087 bytes, of which the FIFO kept
    // the first 16 384.
    constexpr size_t kReadOut = 75087;
    constexpr size_t kKept = 16384;
    ASSERT_EQ(reader.RunUntilTransfers(1, 1000), 123u);
    const auto &frame = reader.transfers[0];
    ASSERT_EQ(frame.size(), kFrameBytes - (kReadOut - kKept));
    EXPECT_TRUE(std::equal(frame.begin(), frame.begin() + kKept, PatternFrame(0, 0, kKept).begin()));
    EXPECT_TRUE(std::equal(frame.begin() + kKept, frame.end(), PatternFrame(0, kReadOut).begin()));
    auto counters = camera.Counters();
    EXPECT_EQ(counters.bytes_lost, kReadOut - kKept);
    EXPECT_EQ(counters.frames_short, 1u);

    reader.RunUntilTransfers(2, 1000);
    EXPECT_EQ(reader.transfers[1], PatternFrame(1));
    counters = camera.Counters();
    EXPECT_EQ(counters.frames_completed, 2u);
    EXPECT_EQ(counters.frames_short, 1u);
}

TEST_F(StreamingCamera, FramesThatFoundTheFifoFullLeaveNoTraceAndAWholePacketFrameEndsWithAZeroLengthPacket) {
    StartStreaming();
    for (uint32_t k = 0; k < 3 * 133; ++k)
        camera.StartOfFrame(k);
    EXPECT_EQ(camera.Counters().frames_produced, 3u);

    // Frame 0 kept 16 384 bytes (32 packets): it ends with a zero-length
    // packet. Frames 1 and 2 got nothing in and are not seen at all.
    EXPECT_EQ(reader.Drain(), Handshake::Nak);
    ASSERT_EQ(reader.transfers.size(), 1u);
    EXPECT_EQ(reader.transfers[0], PatternFrame(0, 0, 16384));
    EXPECT_EQ(reader.zero_length_packets, 1u);
    EXPECT_EQ(reader.RunUntilTransfers(2, 1000), 133u);
    EXPECT_EQ(reader.transfers[1], PatternFrame(3));
}

TEST_F(StreamingCamera, StoppingDropsTheFrameInProgressAndRestartingBeginsAFreshOne) {
    StartStreaming();
    for (int k = 0; k < 50; ++k)
        reader.Frame();
    camera.StartOfFrame(50);  // bytes left in the FIFO when the host stops
    ASSERT_GT(camera.FifoBuffered(), 0u);

    EXPECT_EQ(host.SetControlWord(1), tm350::usb::ControlStatus::Ack);
    EXPECT_EQ(host.SetControlWord(0), tm350::usb::ControlStatus::Ack);
    EXPECT_EQ(camera.FifoBuffered(), 0u);
    for (int k = 0; k < 300; ++k)
        EXPECT_EQ(reader.Frame(), Handshake::Nak);
    EXPECT_TRUE(reader.transfers.empty());
    EXPECT_EQ(camera.Counters().frames_produced, 0u);

    // The host gave up its transfer with the stop.
    reader.current.clear();
    StartStreaming();
    EXPECT_EQ(reader.RunUntilTransfers(1, 1000), 133u);
    EXPECT_EQ(reader.transfers[0], PatternFrame(1));
}

TEST_F(StreamingCamera, TheIsochronousSettingCarriesTheSameFramesInPacketsOfAtMost1024Bytes) {
    ASSERT_EQ(host.Out(0x01, 0x0B, 1, 0), tm350::usb::ControlStatus::Ack);
    StartStreaming();

    std::vector<uint8_t> stream;
    std::vector<uint8_t> room(1024);
    uint64_t nonempty_packets = 0;
    for (uint32_t frame = 0; frame < 2 * 133; ++frame) {
        camera.StartOfFrame(frame);
        for (int transaction = 0; transaction < 24; ++transaction) {  // 3 per microframe
            const auto result = camera.InPacket(0x83, room);
            ASSERT_EQ(result.handshake, Handshake::Ack);
            stream.insert(stream.end(), room.begin(), room.begin() + result.length);
            nonempty_packets += result.length > 0;
        }
        if (frame == 132) {
            EXPECT_EQ(stream.size(), kFrameBytes);
            EXPECT_EQ(camera.Counters().frames_completed, 1u);
        }
    }
    auto expected = PatternFrame(0);
    const auto second = PatternFrame(1);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(stream, expected);
    EXPECT_EQ(camera.Counters().bytes_lost, 0u);
    EXPECT_GT(nonempty_packets, 2 * kFrameBytes / 1024);
}

TEST_F(StreamingCamera, TheBulkOutEndpointAcceptsAndDiscards) {
    std::vector<uint8_t> packet(512, 0x5A);
    EXPECT_EQ(camera.OutPacket(0x01, packet), Handshake::Ack);
    EXPECT_EQ(camera.OutPacket(0x01, std::span(packet).first(10)), Handshake::Ack);
    EXPECT_EQ(camera.OutPacket(0x82, packet), Handshake::Stall);  // an IN endpoint
    EXPECT_EQ(camera.Counters().bytes_received, 522u);
}

namespace {

// A frame source that fills every byte of frame n with n + 0x40 and notes
// what the camera asked of it.
struct RecordingSource final : tm350::sim::FrameSource {
    struct Shared {
        std::vector<tm350::sim::FrameContext> frames;
        std::vector<uint32_t> speed_registers;
        bool in_order = true;
        size_t next_position = 0;
    };
    explicit RecordingSource(Shared &shared) : shared(shared) {}

    void BeginFrame(const tm350::sim::FrameContext &context) override {
        shared.frames.push_back(context);
        shared.speed_registers.push_back(context.registers->Read(0, 0x30));
        shared.next_position = 0;
        value = static_cast<uint8_t>(context.sequence + 0x40);
    }
    void ReadOut(size_t position, std::span<uint8_t> bytes) override {
        shared.in_order = shared.in_order && position == shared.next_position;
        shared.next_position = position + bytes.size();
        std::fill(bytes.begin(), bytes.end(), value);
    }
    Shared &shared;
    uint8_t value = 0;
};

}  // namespace

TEST_F(StreamingCamera, AFrameSourceSetMidFrameTakesOverWithTheNextFrameAndSeesTheSpeed) {
    RecordingSource::Shared shared;
    StartStreaming();
    for (int k = 0; k < 10; ++k)
        reader.Frame();
    camera.SetFrameSource(std::make_unique<RecordingSource>(shared));
    host.SetHighSpeed();

    reader.RunUntilTransfers(2, 1000);
    EXPECT_EQ(reader.transfers[0], PatternFrame(0));
    EXPECT_EQ(reader.transfers[1], std::vector<uint8_t>(kFrameBytes, 0x41));
    ASSERT_EQ(shared.frames.size(), 1u);
    EXPECT_EQ(shared.frames[0].sequence, 1u);
    EXPECT_EQ(shared.frames[0].speed, tm350::sim::ReadoutSpeed::High);
    EXPECT_EQ(shared.speed_registers[0], 0u);
    EXPECT_TRUE(shared.in_order);
    EXPECT_EQ(shared.next_position, kFrameBytes);
}
