// The camera's own requests with their exact byte layouts: register writes
// and pages, word reads of camera memory and the stored defect table, the
// memory load, the control word, and the forms the camera refuses.
#include <gtest/gtest.h>

#include "sim/camera.h"
#include "tests/sim/test_host.h"

#include <utility>

namespace {

using tm350::sim::Camera;
using tm350::sim::DefectTable;
using tm350::test::TestHost;
using tm350::usb::ControlStatus;

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> bytes) { return bytes; }

// Word read as the device channel sends it: C0 11 0000 address 0003.
std::vector<uint8_t> ReadWord(TestHost &host, uint16_t address, uint16_t wLength = 3) {
    const auto reply = host.In(0xC0, 0x11, 0, address, wLength);
    EXPECT_EQ(reply.status, ControlStatus::Ack);
    return reply.data;
}

uint16_t Word(TestHost &host, uint16_t address) {
    const auto reply = ReadWord(host, address);
    return static_cast<uint16_t>(reply[0] << 8 | reply[1]);
}

}  // namespace

TEST(RegisterWrites, ValueCarriesBits8To23AndIndexTheRegisterAndBits0To7) {
    Camera camera;
    TestHost host(camera);
    EXPECT_EQ(host.Out(0x40, 0x18, 0x1BA0, 0x6300), ControlStatus::Ack);
    EXPECT_EQ(host.Out(0x40, 0x18, 0x0002, 0x366B), ControlStatus::Ack);
    EXPECT_EQ(host.Out(0x40, 0x18, 0xFFFF, 0x41FF), ControlStatus::Ack);

    EXPECT_EQ(camera.Register(0, 0x63), 0x1BA000u);
    EXPECT_EQ(camera.Register(0, 0x36), 0x26Bu);
    EXPECT_EQ(camera.Register(0, 0x41), 0xFFFFFFu);
    EXPECT_EQ(camera.Register(1, 0x63), 0u);
}

TEST(RegisterWrites, PageSelectDecidesWhichPageLaterWritesReach) {
    Camera camera;
    TestHost host(camera);
    host.WriteRegister(0x00, 0x000004);
    host.WriteRegister(0x7F, 1);
    EXPECT_EQ(camera.SelectedPage(), 1u);
    host.WriteRegister(0x00, 0x4F6009);
    host.WriteRegister(0x7F, 0);
    host.WriteRegister(0x01, 0x0001FF);

    EXPECT_EQ(camera.Register(0, 0x00), 4u);
    EXPECT_EQ(camera.Register(1, 0x00), 0x4F6009u);
    EXPECT_EQ(camera.Register(0, 0x01), 0x1FFu);
    EXPECT_EQ(camera.Register(1, 0x01), 0u);
    // The camera has two pages: selecting a third is refused.
    EXPECT_EQ(host.WriteRegister(0x7F, 2), ControlStatus::Stall);
    EXPECT_EQ(camera.SelectedPage(), 0u);
}

TEST(RegisterWrites, TheSensorInitTableIsAcceptedAndLeavesItsLastValues) {
    // The 112 steps the device channel plays; 0xFFFF is a pause.
    static constexpr std::pair<uint16_t, uint32_t> kTable[] = {
        {0x7F, 0x000000}, {0x10, 0x000001}, {0x00, 0x000004}, {0x7F, 0x000001}, {0x00, 0x4F6009}, {0x01, 0x091029},
        {0x02, 0x055000}, {0x03, 0x0000AA}, {0x04, 0x0AA055}, {0x05, 0x069000}, {0x06, 0x0000B9}, {0x07, 0x000000},
        {0x08, 0x000000}, {0x09, 0x000000}, {0x0A, 0x000000}, {0x0B, 0x000000}, {0x60, 0x4F6009}, {0x61, 0x091029},
        {0x62, 0x3520F5}, {0x63, 0x0AA055}, {0x64, 0x000000}, {0x65, 0x0AA055}, {0x66, 0x000000}, {0x67, 0x0B9069},
        {0x68, 0x000000}, {0x69, 0x000000}, {0x6A, 0x000000}, {0x6B, 0x000000}, {0x6C, 0x000000}, {0x6D, 0x000000},
        {0x6E, 0x000000}, {0x80, 0x00008C}, {0x81, 0x001001}, {0x82, 0x4F6000}, {0x83, 0x0EC029}, {0x84, 0x0CB029},
        {0x85, 0x000000}, {0x86, 0x000000}, {0x87, 0x02900F}, {0x88, 0x00000C}, {0x89, 0x001001}, {0x8A, 0x4F6000},
        {0x8B, 0x0EC029}, {0x8C, 0x0CB029}, {0x8D, 0x000000}, {0x8E, 0x000000}, {0x8F, 0x02900F}, {0xD0, 0x001001},
        {0xD1, 0x000000}, {0xD2, 0x009008}, {0xD3, 0x000000}, {0xD4, 0x4F6318}, {0xD5, 0x0001C0}, {0xD6, 0x008008},
        {0xD7, 0x000000}, {0x7F, 0x000000}, {0x15, 0x000001}, {0xFFFF, 1},       {0x01, 0x0001FF}, {0x02, 0x000080},
        {0x03, 0x000004}, {0x11, 0x000001}, {0x12, 0x000001}, {0x13, 0x000000}, {0x14, 0x000000}, {0x16, 0x000001},
        {0x18, 0x000000}, {0x19, 0x000000}, {0x1A, 0x000000}, {0x1B, 0x200000}, {0x1C, 0x000000}, {0x21, 0x000000},
        {0x22, 0x01405E}, {0x30, 0x000001}, {0x31, 0x001001}, {0x33, 0x000801}, {0x34, 0x000000}, {0x35, 0x0036DB},
        {0x36, 0x000020}, {0x37, 0x000100}, {0x40, 0xFFFFFF}, {0x41, 0xFFFFFF}, {0x42, 0xFFFFFF}, {0x50, 0x00000F},
        {0x51, 0x38E348}, {0x52, 0x38E348}, {0x53, 0xFFFFFF}, {0x54, 0xFFFFFF}, {0x60, 0x000000}, {0x61, 0x000002},
        {0x62, 0x001014}, {0x63, 0x1BA000}, {0x64, 0x000001}, {0x65, 0x0A2074}, {0x66, 0xFFFFFF}, {0x67, 0x000000},
        {0x68, 0x001000}, {0x69, 0x000000}, {0x6A, 0x000000}, {0x6B, 0x000000}, {0x6C, 0x000000}, {0x6D, 0x000001},
        {0x6E, 0x000000}, {0x6F, 0x000000}, {0x70, 0x000000}, {0x71, 0x000118}, {0x20, 0x000001}, {0x11, 0x000001},
        {0x13, 0x000001}, {0xFFFF, 16},      {0x13, 0x000000}, {0x15, 0x000001},
    };
    static_assert(std::size(kTable) == 112);
    Camera camera;
    TestHost host(camera);
    uint32_t frame = 0;
    for (const auto &[address, value] : kTable) {
        if (address == 0xFFFF) {
            for (uint32_t k = 0; k < value; ++k)
                camera.StartOfFrame(frame++);
            continue;
        }
        ASSERT_EQ(host.WriteRegister(static_cast<uint8_t>(address), value), ControlStatus::Ack)
            << "register " << address;
    }

    EXPECT_EQ(camera.SelectedPage(), 0u);
    EXPECT_EQ(camera.Register(0, 0x00), 4u);
    EXPECT_EQ(camera.Register(1, 0x00), 0x4F6009u);
    EXPECT_EQ(camera.Register(1, 0x63), 0x0AA055u);
    EXPECT_EQ(camera.Register(0, 0x63), 0x1BA000u);
    EXPECT_EQ(camera.Register(0, 0x30), 1u);
    EXPECT_EQ(camera.Register(0, 0x36), 0x20u);
    // The pair matches neither speed exactly; the selector decides.
    EXPECT_EQ(camera.CurrentFramePeriod(), 133u);
}

TEST(WordReads, ReplyIsHighByteLowByteAndStatus8CutToWLength) {
    Camera camera;
    TestHost host(camera);
    EXPECT_EQ(ReadWord(host, 0x24C0), Bytes({0x55, 0x80, 0x08}));
    EXPECT_EQ(ReadWord(host, 0x24C0, 2), Bytes({0x55, 0x80}));
    EXPECT_EQ(ReadWord(host, 0x24C0, 64), Bytes({0x55, 0x80, 0x08}));  // a short data stage
    EXPECT_EQ(ReadWord(host, 0x24C1, 3), Bytes({0x80, 0x00, 0x08}));  // byte addresses
    const auto setup = camera.RecentControlTransfers().front().setup.Bytes();
    EXPECT_EQ(setup, (std::array<uint8_t, 8>{0xC0, 0x11, 0x00, 0x00, 0xC0, 0x24, 0x03, 0x00}));
}

TEST(WordReads, DefaultDefectTableFollowsTheStoredLayout) {
    Camera camera;
    TestHost host(camera);
    const DefectTable table = DefectTable::Default();
    for (uint16_t s = 0; s < 4; ++s) {
        EXPECT_EQ(Word(host, static_cast<uint16_t>(0x24C4 + 4 * s)), s * 0x0101) << "size " << s;
        ASSERT_EQ(Word(host, static_cast<uint16_t>(0x24C6 + 4 * s)), table.sizes[s].size()) << "size " << s;
        for (uint16_t i = 0; i < table.sizes[s].size(); ++i) {
            const auto entry = static_cast<uint16_t>(0x2500 + 0x100 * s + 4 * i);
            EXPECT_EQ(Word(host, entry), table.sizes[s][i].x);
            EXPECT_EQ(Word(host, static_cast<uint16_t>(entry + 2)), table.sizes[s][i].y);
        }
    }
    EXPECT_GT(table.sizes[0].size(), 0u);
}

TEST(WordReads, ConfiguredDefectsReplaceTheTableAndTooManyAreRefused) {
    Camera camera;
    TestHost host(camera);
    DefectTable table;
    table.sizes[3] = {{3, 5}, {0x1234, 0xBEEF}};
    ASSERT_TRUE(camera.StoreDefects(table));
    EXPECT_EQ(Word(host, 0x24C6), 0);
    EXPECT_EQ(Word(host, 0x24D2), 2);
    EXPECT_EQ(ReadWord(host, 0x2800), Bytes({0x00, 0x03, 0x08}));
    EXPECT_EQ(ReadWord(host, 0x2806), Bytes({0xBE, 0xEF, 0x08}));

    DefectTable crowded;
    crowded.sizes[1].resize(65);
    EXPECT_FALSE(camera.StoreDefects(crowded));
    EXPECT_EQ(Word(host, 0x24D2), 2);
}

TEST(WordReads, ACameraWithoutATableHasNoMarker) {
    Camera camera({.defect_table = std::nullopt});
    TestHost host(camera);
    EXPECT_EQ(ReadWord(host, 0x24C0), Bytes({0x00, 0x00, 0x08}));
}

TEST(MemoryLoad, DataStageLandsAtWValueAndWrapsAtTheTopOfMemory) {
    Camera camera;
    TestHost host(camera);
    EXPECT_EQ(host.Out(0x40, 0xA0, 0x1000, 0, {0x11, 0x22, 0x33}), ControlStatus::Ack);
    EXPECT_EQ(camera.ReadMemory(0x1000, 3), Bytes({0x11, 0x22, 0x33}));

    EXPECT_EQ(host.Out(0x40, 0xA0, 0xFFFE, 0, {0xA1, 0xA2, 0xA3, 0xA4}), ControlStatus::Ack);
    EXPECT_EQ(camera.ReadMemory(0xFFFE, 4), Bytes({0xA1, 0xA2, 0xA3, 0xA4}));
    EXPECT_EQ(camera.ReadMemory(0x0000, 2), Bytes({0xA3, 0xA4}));
    EXPECT_EQ(ReadWord(host, 0xFFFF), Bytes({0xA2, 0xA3, 0x08}));

    // A 512-byte block overwriting the marker is what word reads see next.
    std::vector<uint8_t> block(512, 0);
    EXPECT_EQ(host.Out(0x40, 0xA0, 0x2400, 0, block), ControlStatus::Ack);
    EXPECT_EQ(ReadWord(host, 0x24C0), Bytes({0x00, 0x00, 0x08}));
    EXPECT_EQ(host.Out(0x40, 0xA0, 0x3000, 0, {}), ControlStatus::Ack);
}

TEST(ControlWord, IsKeptAndOnlyThreeStreams) {
    Camera camera;
    TestHost host(camera);
    for (uint16_t value : {1, 0, 1}) {
        EXPECT_EQ(host.SetControlWord(value), ControlStatus::Ack);
        EXPECT_EQ(camera.ControlWord(), value);
        EXPECT_FALSE(camera.Streaming());
    }
    EXPECT_EQ(host.SetControlWord(3), ControlStatus::Ack);
    EXPECT_TRUE(camera.Streaming());
    EXPECT_EQ(host.SetControlWord(3), ControlStatus::Ack);
    EXPECT_TRUE(camera.Streaming());
    EXPECT_EQ(host.SetControlWord(7), ControlStatus::Ack);
    EXPECT_EQ(camera.ControlWord(), 7);
    EXPECT_FALSE(camera.Streaming());
}

TEST(VendorRequests, RequestsInAFormTheCameraDoesNotKnowStall) {
    Camera camera;
    TestHost host(camera);
    EXPECT_EQ(host.In(0xC0, 0x18, 0x1BA0, 0x6300, 3).status, ControlStatus::Stall);  // registers are write-only
    EXPECT_EQ(host.Out(0x40, 0x18, 0x1BA0, 0x6300, {0}), ControlStatus::Stall);     // writes carry no data
    EXPECT_EQ(host.Out(0x40, 0x11, 0, 0x24C0, {0, 0, 0}), ControlStatus::Stall);     // word reads go to the host
    EXPECT_EQ(host.Out(0x40, 0x01, 3, 0x000E), ControlStatus::Stall);                // no such device word
    EXPECT_EQ(host.In(0xC0, 0x01, 0, 0x000F, 2).status, ControlStatus::Stall);
    EXPECT_EQ(host.In(0xC0, 0xA0, 0x1000, 0, 16).status, ControlStatus::Stall);
    EXPECT_EQ(host.Out(0x40, 0x55, 0, 0), ControlStatus::Stall);
    EXPECT_EQ(host.Out(0x41, 0x18, 0x1BA0, 0x6300), ControlStatus::Stall);  // vendor, interface
    EXPECT_EQ(host.Out(0x43, 0x18, 0x1BA0, 0x6300), ControlStatus::Stall);  // vendor, other
    EXPECT_EQ(host.Out(0x21, 0x18, 0x1BA0, 0x6300), ControlStatus::Stall);  // class, interface
    EXPECT_EQ(host.In(0xA0, 0x11, 0, 0x24C0, 3).status, ControlStatus::Stall);  // class, device
    EXPECT_EQ(host.Out(0x60, 0x18, 0x1BA0, 0x6300), ControlStatus::Stall);      // reserved type
    EXPECT_EQ(host.SetControlWord(3), ControlStatus::Ack);
    EXPECT_EQ(camera.Register(0, 0x63), 0u);
    EXPECT_TRUE(camera.Streaming());
}
