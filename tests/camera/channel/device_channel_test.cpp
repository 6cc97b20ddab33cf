// What the camera receives from the device channel: control words, register
// writes with their encoding and page, word reads, and nothing while the
// channel is not connected.
#include "channel_fixture.h"

#include "sim/camera_memory.h"

namespace channel_test {
namespace {

using tm350::sim::CameraOptions;

// The init table as the camera should take it: pauses left out, each write
// on the page the table's own page selects leave in force.
std::vector<CameraWrite> InitTableWrites() {
    std::vector<CameraWrite> writes;
    unsigned page = 0;
    for (const CInitStep &step : g_InitSequence) {
        if (step.reg == INIT_PAUSE) continue;
        writes.push_back(RegisterWrite(page, static_cast<uint8_t>(step.reg), step.value));
        if (step.reg == 0x7F) page = step.value;
    }
    return writes;
}

std::vector<CameraWrite> Concatenated(std::vector<CameraWrite> first, const std::vector<CameraWrite> &second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

using DeviceChannelTest = ChannelTest;

TEST_F(DeviceChannelTest, InitializePulsesTheControlWordThenPlaysTheInitTableInOrder) {
    Camera &camera = Plug();
    WriteWatch writes(camera);
    auto channel = InitializedChannel();

    const std::vector<CameraWrite> expected =
        Concatenated({ControlWord(1), ControlWord(0), ControlWord(1)}, InitTableWrites());
    EXPECT_EQ(expected.size(), 3u + 110u);
    EXPECT_EQ(writes.New(), expected);
    // The table leaves page 0 selected, the pauses are the table's only two.
    EXPECT_EQ(camera.SelectedPage(), 0u);
    EXPECT_EQ(camera.Register(0, 0x63), 0x1BA000u);
    EXPECT_EQ(camera.Register(1, 0x00), 0x4F6009u);
    int pauses = 0;
    for (const CInitStep &step : g_InitSequence) pauses += step.reg == INIT_PAUSE;
    EXPECT_EQ(pauses, 2);
    EXPECT_EQ(channel->m_width, 1176);
    EXPECT_EQ(channel->m_height, 772);
    EXPECT_EQ(channel->m_readChunk, 301056u);
    EXPECT_EQ(channel->m_frameBytes, 907872u);
}

TEST_F(DeviceChannelTest, RegisterWritesCarryTheValuesHighBitsInValueAndTheLowByteBesideTheRegister) {
    Camera &camera = Plug();
    auto channel = InitializedChannel();
    WriteWatch writes(camera);

    EXPECT_TRUE(channel->WriteRegister(0x63, 0x1BA000));
    EXPECT_TRUE(channel->WriteRegister(0x36, 0x26B));
    // Bits above the 24 the camera has are not sent.
    EXPECT_TRUE(channel->WriteRegister(0x22, 0x7F123456));
    const std::vector<CameraWrite> seen = writes.New();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].w_value, 0x1BA0);
    EXPECT_EQ(seen[0].w_index, 0x6300);
    EXPECT_EQ(seen[1].w_value, 0x0002);
    EXPECT_EQ(seen[1].w_index, 0x366B);
    EXPECT_EQ(seen[2], RegisterWrite(0, 0x22, 0x123456));
}

TEST_F(DeviceChannelTest, ExposureRowsBecomeTheLineCountFrom792AndStopAt791) {
    Camera &camera = Plug();
    auto channel = InitializedChannel();
    WriteWatch writes(camera);

    const WORD rows[] = {0, 1, 350, 790, 791, 792, 4000, 0xFFFF};
    for (WORD r : rows) EXPECT_TRUE(channel->SetExposure(r));
    EXPECT_EQ(writes.New(), (std::vector<CameraWrite>{
                                RegisterWrite(0, 0x63, 0x318000), RegisterWrite(0, 0x63, 0x317000),
                                RegisterWrite(0, 0x63, 0x1BA000), RegisterWrite(0, 0x63, 0x002000),
                                RegisterWrite(0, 0x63, 0x001000), RegisterWrite(0, 0x63, 0x001000),
                                RegisterWrite(0, 0x63, 0x001000), RegisterWrite(0, 0x63, 0x001000)}));

    EXPECT_TRUE(channel->SetAnalogGain(752));
    EXPECT_TRUE(channel->SetAnalogGain(0xFFFF));  // no clamp: the caller keeps it in range
    EXPECT_EQ(writes.New(),
              (std::vector<CameraWrite>{RegisterWrite(0, 0x01, 752), RegisterWrite(0, 0x01, 0xFFFF)}));
}

TEST_F(DeviceChannelTest, SpeedOneSelectsHighSpeedAndAnyOtherValueNormalSpeed) {
    Camera &camera = Plug();
    auto channel = InitializedChannel();
    WriteWatch writes(camera);

    channel->SetSpeed(1);
    EXPECT_EQ(writes.New(), (std::vector<CameraWrite>{RegisterWrite(0, 0x30, 0), RegisterWrite(0, 0x36, 0x26B),
                                                      RegisterWrite(0, 0x15, 1)}));
    EXPECT_EQ(camera.CurrentFramePeriod(), 67u);

    for (BYTE speed : {BYTE{0}, BYTE{2}, BYTE{255}}) {
        SCOPED_TRACE(int{speed});
        channel->SetSpeed(1);
        writes.New();
        channel->SetSpeed(speed);
        EXPECT_EQ(writes.New(), (std::vector<CameraWrite>{RegisterWrite(0, 0x30, 1), RegisterWrite(0, 0x36, 0x21),
                                                          RegisterWrite(0, 0x15, 1)}));
        EXPECT_EQ(camera.CurrentFramePeriod(), 133u);
    }
}

TEST_F(DeviceChannelTest, StreamingStartsWithWordThreeAndStopsWithOneThenZero) {
    Camera &camera = Plug();
    auto channel = InitializedChannel();
    WriteWatch writes(camera);

    channel->StartStreaming();
    EXPECT_TRUE(camera.Streaming());
    channel->StopStreaming();
    EXPECT_FALSE(camera.Streaming());
    EXPECT_EQ(writes.New(), (std::vector<CameraWrite>{ControlWord(3), ControlWord(1), ControlWord(0)}));
    EXPECT_EQ(camera.ControlWord(), 0);
}

TEST_F(DeviceChannelTest, ShutdownWritesRegisterZeroAsTheLastThingBeforeTheHandleCloses) {
    Camera &camera = Plug();
    auto channel = InitializedChannel();
    WriteWatch writes(camera);

    EXPECT_TRUE(channel->Shutdown());
    EXPECT_EQ(writes.New(), (std::vector<CameraWrite>{RegisterWrite(0, 0x00, 3)}));
    EXPECT_EQ(channel->m_device, INVALID_HANDLE_VALUE);
    // Closed, it reaches the camera no more, and deleting it sends nothing again.
    EXPECT_FALSE(channel->WriteRegister(0x01, 100));
    channel.reset();
    EXPECT_TRUE(writes.New().empty());

    // The destructor shuts a channel down by itself.
    auto other = InitializedChannel();
    writes.New();
    other.reset();
    EXPECT_EQ(writes.New(), (std::vector<CameraWrite>{RegisterWrite(0, 0x00, 3)}));
}

TEST_F(DeviceChannelTest, NothingReachesTheCameraWhileTheChannelIsNotConnected) {
    Camera &camera = Plug();
    const uint64_t transfers = camera.ControlTransferCount();
    auto channel = std::make_unique<CDeviceChannel>(0);

    EXPECT_FALSE(channel->WriteRegister(0x01, 100));
    EXPECT_FALSE(channel->SetAnalogGain(100));
    EXPECT_FALSE(channel->SetExposure(100));
    EXPECT_FALSE(channel->WriteInitSequence());
    channel->SetSpeed(1);
    channel->StartStreaming();
    channel->StopStreaming();
    WORD word = 0;
    EXPECT_FALSE(channel->ReadWord(0x24C0, &word));
    BYTE frame[16];
    EXPECT_EQ(channel->ReadFrame(frame), -1);
    EXPECT_TRUE(channel->Shutdown());
    channel.reset();
    EXPECT_EQ(camera.ControlTransferCount(), transfers);
}

TEST_F(DeviceChannelTest, ACameraThatIsNotThereCannotBeInitialized) {
    Plug();  // instance 0; the others are absent
    for (int instance : {1, 7, 8, -1}) {
        SCOPED_TRACE(instance);
        CDeviceChannel channel(instance);
        EXPECT_FALSE(channel.Initialize());
        EXPECT_EQ(channel.m_connected, 0u);
        EXPECT_EQ(channel.m_device, INVALID_HANDLE_VALUE);
    }
    EXPECT_STREQ(CDeviceChannel(2).DevicePath(), "\\\\.\\TM350-2");
}

TEST_F(DeviceChannelTest, ConnectingStopsAtTheFirstControlWordTheCameraRefuses) {
    Camera &camera = Plug();
    WriteWatch writes(camera);
    CDeviceChannel channel(0);
    camera.StallNextControlTransfers(1);  // the first word, 1: refused
    EXPECT_FALSE(channel.ConnectDevice(1));
    EXPECT_TRUE(writes.New().empty());
    // The handle stays open and the channel connected, so it still shuts the camera down.
    EXPECT_EQ(channel.m_connected, 1u);
    EXPECT_TRUE(channel.Shutdown());
    EXPECT_EQ(writes.New(), (std::vector<CameraWrite>{RegisterWrite(0, 0x00, 3)}));
}

TEST_F(DeviceChannelTest, TheInitTableEndsAtTheFirstWriteTheCameraRefuses) {
    Camera &camera = Plug();
    CDeviceChannel channel(0);
    ASSERT_TRUE(channel.ConnectDevice(1));
    channel.InitGeometry();
    const uint64_t transfers = camera.ControlTransferCount();
    camera.StallNextControlTransfers(1);
    EXPECT_FALSE(channel.WriteInitSequence());
    EXPECT_EQ(camera.ControlTransferCount(), transfers + 1);
}

TEST_F(DeviceChannelTest, AWordReadIsTrueOnlyWhenTheCameraAnswersWithItsSuccessStatus) {
    Camera &camera = Plug();
    auto channel = InitializedChannel();
    const uint8_t bytes[] = {0x12, 0x34};
    camera.WriteMemory(0x0100, bytes);

    WORD word = 0;
    EXPECT_TRUE(channel->ReadWord(0x24C0, &word));
    EXPECT_EQ(word, 0x5580);  // [0x55, 0x80, 0x08]
    EXPECT_TRUE(channel->ReadWord(0x0100, &word));
    EXPECT_EQ(word, 0x1234);

    camera.SetWordReadStatus(0x00);
    word = 0xBEEF;
    EXPECT_FALSE(channel->ReadWord(0x24C0, &word));
    EXPECT_EQ(word, 0xBEEF);
    camera.ClearFaults();

    camera.StallWordReadsAt(0x24C0);
    EXPECT_FALSE(channel->ReadWord(0x24C0, &word));
    EXPECT_EQ(word, 0xBEEF);
    EXPECT_TRUE(channel->ReadWord(0x0100, &word));
}

}  // namespace
}  // namespace channel_test
