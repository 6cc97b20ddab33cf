// The defect list loaded from the table the camera stores, and the binding
// that loads it: which tables are taken, which refused, and what a refused
// one leaves of the list the pin had.
#include "channel_fixture.h"

#include "camera/device_binding.h"
#include "sim/camera_memory.h"

namespace channel_test {
namespace {

using tm350::sim::CameraOptions;
using tm350::sim::DefectPosition;
using tm350::sim::DefectTable;

// A list as a previous binding left it, so a test sees whether it changed.
CDefectList PreviousList() {
    CDefectList list{};
    list.entries[0] = {11, 12};
    list.entries[1] = {13, 14};
    list.count = 2;
    return list;
}

std::vector<DefectPosition> Entries(const CDefectList &list) {
    std::vector<DefectPosition> entries;
    for (DWORD i = 0; i < list.count; ++i)
        entries.push_back({static_cast<uint16_t>(list.entries[i].x), static_cast<uint16_t>(list.entries[i].y)});
    return entries;
}

std::vector<DefectPosition> Defects(size_t count) {
    std::vector<DefectPosition> defects;
    for (size_t i = 0; i < count; ++i)
        defects.push_back({static_cast<uint16_t>(10 + i), static_cast<uint16_t>(300 + 2 * i)});
    return defects;
}

void WriteWord(Camera &camera, uint16_t address, uint16_t word) {
    const uint8_t bytes[] = {static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)};
    camera.WriteMemory(address, bytes);
}

using DefectTableTest = ChannelTest;

TEST_F(DefectTableTest, EachSizeGetsItsOwnStoredList) {
    Plug();
    auto channel = InitializedChannel();
    const DefectTable table = DefectTable::Default();
    for (DWORD size = 0; size < 4; ++size) {
        SCOPED_TRACE(size);
        CDefectList list = PreviousList();
        EXPECT_TRUE(LoadDefectTable(channel.get(), size, list));
        EXPECT_EQ(Entries(list), table.sizes[size]);  // size 3 stores none: an empty list
    }
}

TEST_F(DefectTableTest, WithoutTheMarkerTheListIsLeftAsItWas) {
    Camera &camera = Plug(CameraOptions{.defect_table = std::nullopt});
    auto channel = InitializedChannel();
    CDefectList list = PreviousList();
    EXPECT_FALSE(LoadDefectTable(channel.get(), 0, list));
    EXPECT_EQ(Entries(list), Entries(PreviousList()));

    // A marker that cannot be read is no marker either.
    ASSERT_TRUE(camera.StoreDefects(DefectTable::Default()));
    camera.StallWordReadsAt(0x24C0);
    EXPECT_FALSE(LoadDefectTable(channel.get(), 0, list));
    EXPECT_EQ(Entries(list), Entries(PreviousList()));

    EXPECT_FALSE(LoadDefectTable(nullptr, 0, list));
    EXPECT_EQ(Entries(list), Entries(PreviousList()));
}

TEST_F(DefectTableTest, PastTheMarkerAnyFaultLeavesTheListEmpty) {
    struct Case {
        const char *what;
        uint16_t address;  // of size 1's part of the table
        bool stall;        // the read fails, else the word is overwritten
        uint16_t word;
    };
    const Case cases[] = {
        {"size tag wrong", 0x24C8, false, 0x0202},
        {"size tag unreadable", 0x24C8, true, 0},
        {"count 50", 0x24CA, false, 50},
        {"count unreadable", 0x24CA, true, 0},
        {"second x unreadable", 0x2604, true, 0},
        {"second y unreadable", 0x2606, true, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Camera &camera = Plug();
        auto channel = InitializedChannel();
        if (c.stall)
            camera.StallWordReadsAt(c.address);
        else
            WriteWord(camera, c.address, c.word);
        CDefectList list = PreviousList();
        EXPECT_FALSE(LoadDefectTable(channel.get(), 1, list));
        EXPECT_EQ(list.count, 0u);
        channel.reset();
        Unplug();
    }
}

TEST_F(DefectTableTest, FortyNineEntriesAreTheMostAListTakes) {
    Camera &camera = Plug();
    DefectTable table;
    table.sizes[2] = Defects(49);
    ASSERT_TRUE(camera.StoreDefects(table));
    auto channel = InitializedChannel();
    CDefectList list = PreviousList();
    EXPECT_TRUE(LoadDefectTable(channel.get(), 2, list));
    EXPECT_EQ(Entries(list), Defects(49));

    table.sizes[2] = Defects(50);
    ASSERT_TRUE(camera.StoreDefects(table));
    EXPECT_FALSE(LoadDefectTable(channel.get(), 2, list));
    EXPECT_EQ(list.count, 0u);

    // Beyond the four sizes there is no table.
    list = PreviousList();
    EXPECT_FALSE(LoadDefectTable(channel.get(), 4, list));
    EXPECT_EQ(list.count, 0u);
}

using CameraBindingTest = ChannelTest;

TEST_F(CameraBindingTest, BindingProgramsExposureGainAndSpeedAfterTheInitTableAndLoadsTheSizesList) {
    Camera &camera = Plug();
    WriteWatch writes(camera);
    CCameraSettings settings;
    settings.SetDefaults();
    settings.eNVC480Size = 1;
    settings.ExposureTime = 500;
    settings.AnalogGain = 300;
    settings.Speed = 1;
    CDefectList list = PreviousList();

    std::unique_ptr<CDeviceChannel> channel(BindCamera(0, settings, list));
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(Entries(list), DefectTable::Default().sizes[1]);
    const std::vector<CameraWrite> seen = writes.New();
    ASSERT_EQ(seen.size(), 3u + 110u + 5u);
    EXPECT_EQ(seen[3], RegisterWrite(0, 0x7F, 0));  // the init table follows the control words
    EXPECT_EQ(std::vector<CameraWrite>(seen.end() - 5, seen.end()),
              (std::vector<CameraWrite>{RegisterWrite(0, 0x63, (792 - 500) << 12), RegisterWrite(0, 0x01, 300),
                                        RegisterWrite(0, 0x30, 0), RegisterWrite(0, 0x36, 0x26B),
                                        RegisterWrite(0, 0x15, 1)}));
    EXPECT_FALSE(camera.Streaming());
}

TEST_F(CameraBindingTest, ACameraWithoutATableKeepsTheListOfTheBindingBefore) {
    CCameraSettings settings;
    settings.SetDefaults();
    CDefectList list{};
    Plug();
    std::unique_ptr<CDeviceChannel> first(BindCamera(0, settings, list));
    ASSERT_NE(first, nullptr);
    first.reset();
    Unplug();

    Plug(CameraOptions{.defect_table = std::nullopt});
    std::unique_ptr<CDeviceChannel> second(BindCamera(0, settings, list));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(Entries(list), DefectTable::Default().sizes[0]);
}

TEST_F(CameraBindingTest, ACameraThatCannotBeProgrammedIsNotBoundAndIsShutDown) {
    Camera &camera = Plug();
    CCameraSettings settings;
    settings.SetDefaults();
    CDefectList list = PreviousList();
    // Absent: nothing to bind.
    EXPECT_EQ(BindCamera(3, settings, list), nullptr);
    EXPECT_EQ(Entries(list), Entries(PreviousList()));

    // Present but refusing a write of its init table: the channel goes,
    // shutting the camera down on its way.
    WriteWatch writes(camera);
    const uint64_t transfers = camera.ControlTransferCount();
    camera.StallRequests(tm350::usb::RequestType::Vendor, 0x18);
    EXPECT_EQ(BindCamera(0, settings, list), nullptr);
    EXPECT_EQ(Entries(list), Entries(PreviousList()));
    EXPECT_EQ(writes.New(), (std::vector<CameraWrite>{ControlWord(1), ControlWord(0), ControlWord(1)}));
    // The three words, the table's first write and the shutdown write, both refused.
    EXPECT_EQ(camera.ControlTransferCount(), transfers + 5);
}

}  // namespace
}  // namespace channel_test
