// The standard requests every simulated device shares, driven through the
// camera: device states, the requests each state refuses, endpoint halts,
// attachment, the control transfer log and its fault injection.
#include <gtest/gtest.h>

#include "sim/camera.h"
#include "tests/sim/test_host.h"

namespace {

using tm350::sim::Camera;
using tm350::test::TestHost;
using tm350::usb::ControlStatus;
using tm350::usb::DeviceState;
using tm350::usb::EndpointInfo;
using tm350::usb::Handshake;
using tm350::usb::PacketResult;
using tm350::usb::RequestType;
using tm350::usb::TransferType;

constexpr uint8_t kHostToDevice = 0x00;
constexpr uint8_t kDeviceToHost = 0x80;
constexpr uint8_t kToInterface = 0x01;
constexpr uint8_t kToEndpoint = 0x02;

enum : uint8_t { GET_STATUS = 0, CLEAR_FEATURE = 1, SET_FEATURE = 3, SET_ADDRESS = 5, SET_DESCRIPTOR = 7,
                 GET_CONFIGURATION = 8, SET_CONFIGURATION = 9, GET_INTERFACE = 10, SET_INTERFACE = 11,
                 SYNCH_FRAME = 12 };

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> bytes) { return bytes; }

PacketResult In(Camera &camera, uint8_t endpoint) {
    std::vector<uint8_t> room(1024);
    return camera.InPacket(endpoint, room);
}

}  // namespace

TEST(StandardRequests, DefaultStateAcceptsOnlyDescriptorsAndAnAddress) {
    Camera camera;
    TestHost host(camera);
    camera.Reset();
    EXPECT_EQ(camera.State(), DeviceState::Default);
    EXPECT_EQ(host.Out(kHostToDevice, SET_CONFIGURATION, 1, 0), ControlStatus::Stall);
    EXPECT_EQ(host.In(kDeviceToHost, GET_CONFIGURATION, 0, 0, 1).status, ControlStatus::Stall);
    EXPECT_EQ(host.Out(kToInterface, SET_INTERFACE, 1, 0), ControlStatus::Stall);
    EXPECT_TRUE(camera.ActiveEndpoints().empty());

    EXPECT_EQ(host.Out(kHostToDevice, SET_ADDRESS, 128, 0), ControlStatus::Stall);
    EXPECT_EQ(host.Out(kHostToDevice, SET_ADDRESS, 7, 0), ControlStatus::Ack);
    EXPECT_EQ(camera.Address(), 7);
    EXPECT_EQ(camera.State(), DeviceState::Addressed);
}

TEST(StandardRequests, ConfigurationSelectsTheFirstSettingsEndpointsInPipeOrder) {
    Camera camera;
    TestHost host(camera);
    host.Enumerate();

    EXPECT_EQ(camera.State(), DeviceState::Configured);
    EXPECT_EQ(host.In(kDeviceToHost, GET_CONFIGURATION, 0, 0, 1).data, Bytes({1}));
    const auto endpoints = camera.ActiveEndpoints();
    ASSERT_EQ(endpoints.size(), 2u);
    EXPECT_EQ(endpoints[0], (EndpointInfo{0x01, TransferType::Bulk, 512, 1, 0, 0, 0}));
    EXPECT_EQ(endpoints[1], (EndpointInfo{0x82, TransferType::Bulk, 512, 1, 0, 0, 0}));

    // Configured, the address is fixed; configuration 2 does not exist.
    EXPECT_EQ(host.Out(kHostToDevice, SET_ADDRESS, 9, 0), ControlStatus::Stall);
    EXPECT_EQ(host.Out(kHostToDevice, SET_CONFIGURATION, 2, 0), ControlStatus::Stall);
    EXPECT_EQ(camera.Configuration(), 1);

    EXPECT_EQ(host.Out(kHostToDevice, SET_CONFIGURATION, 0, 0), ControlStatus::Ack);
    EXPECT_EQ(camera.State(), DeviceState::Addressed);
    EXPECT_TRUE(camera.ActiveEndpoints().empty());
    EXPECT_EQ(In(camera, 0x82).handshake, Handshake::Stall);
}

TEST(StandardRequests, SetInterfaceSwapsTheBulkDataEndpointForTheIsochronousOne) {
    Camera camera;
    TestHost host(camera);
    host.Enumerate();

    EXPECT_EQ(host.Out(kToInterface, SET_INTERFACE, 1, 0), ControlStatus::Ack);
    EXPECT_EQ(host.In(kDeviceToHost | kToInterface, GET_INTERFACE, 0, 0, 1).data, Bytes({1}));
    const auto endpoints = camera.ActiveEndpoints();
    ASSERT_EQ(endpoints.size(), 2u);
    EXPECT_EQ(endpoints[1], (EndpointInfo{0x83, TransferType::Isochronous, 1024, 3, 1, 0, 1}));
    // The bulk data endpoint is gone with its setting.
    EXPECT_EQ(In(camera, 0x82).handshake, Handshake::Stall);

    EXPECT_EQ(host.Out(kToInterface, SET_INTERFACE, 2, 0), ControlStatus::Stall);
    EXPECT_EQ(host.Out(kToInterface, SET_INTERFACE, 0, 1), ControlStatus::Stall);
    EXPECT_EQ(host.In(kDeviceToHost | kToInterface, GET_INTERFACE, 0, 1, 1).status, ControlStatus::Stall);
    EXPECT_EQ(camera.AlternateSetting(0), 1);

    // A new configuration starts every interface at setting 0 again.
    EXPECT_EQ(host.Out(kHostToDevice, SET_CONFIGURATION, 1, 0), ControlStatus::Ack);
    EXPECT_EQ(camera.AlternateSetting(0), 0);
}

TEST(StandardRequests, EndpointHaltStallsTheEndpointUntilTheHostClearsIt) {
    Camera camera;
    TestHost host(camera);
    host.Enumerate();
    EXPECT_EQ(In(camera, 0x82).handshake, Handshake::Nak);

    EXPECT_EQ(host.Out(kToEndpoint, SET_FEATURE, 0, 0x82), ControlStatus::Ack);
    EXPECT_EQ(host.In(kDeviceToHost | kToEndpoint, GET_STATUS, 0, 0x82, 2).data, Bytes({1, 0}));
    EXPECT_EQ(In(camera, 0x82).handshake, Handshake::Stall);
    EXPECT_EQ(In(camera, 0x82).handshake, Handshake::Stall);

    EXPECT_EQ(host.Out(kToEndpoint, CLEAR_FEATURE, 0, 0x82), ControlStatus::Ack);
    EXPECT_EQ(host.In(kDeviceToHost | kToEndpoint, GET_STATUS, 0, 0x82, 2).data, Bytes({0, 0}));
    EXPECT_EQ(In(camera, 0x82).handshake, Handshake::Nak);

    // A halt the device raised itself holds the same way; selecting the
    // setting again starts its endpoints afresh.
    EXPECT_FALSE(camera.HaltEndpoint(0x83));  // not in the current setting
    EXPECT_TRUE(camera.HaltEndpoint(0x82));
    EXPECT_EQ(In(camera, 0x82).handshake, Handshake::Stall);
    EXPECT_EQ(host.Out(kToInterface, SET_INTERFACE, 0, 0), ControlStatus::Ack);
    EXPECT_FALSE(camera.EndpointHalted(0x82));

    // Endpoint 0 has nothing to clear; endpoints not in the setting stall.
    EXPECT_EQ(host.Out(kToEndpoint, CLEAR_FEATURE, 0, 0x00), ControlStatus::Ack);
    EXPECT_EQ(host.Out(kToEndpoint, SET_FEATURE, 0, 0x83), ControlStatus::Stall);
    EXPECT_EQ(host.In(kDeviceToHost | kToEndpoint, GET_STATUS, 0, 0x03, 2).status, ControlStatus::Stall);
}

TEST(StandardRequests, DeviceStatusReportsBusPowerAndTheRemoteWakeupTheHostEnabled) {
    Camera camera;
    TestHost host(camera);
    host.Enumerate();

    EXPECT_EQ(host.In(kDeviceToHost, GET_STATUS, 0, 0, 2).data, Bytes({0, 0}));
    EXPECT_EQ(host.Out(kHostToDevice, SET_FEATURE, 1, 0), ControlStatus::Ack);
    EXPECT_EQ(host.In(kDeviceToHost, GET_STATUS, 0, 0, 2).data, Bytes({2, 0}));
    EXPECT_EQ(host.In(kDeviceToHost | kToInterface, GET_STATUS, 0, 0, 2).data, Bytes({0, 0}));
    EXPECT_EQ(host.Out(kHostToDevice, CLEAR_FEATURE, 1, 0), ControlStatus::Ack);
    EXPECT_FALSE(camera.RemoteWakeupEnabled());

    EXPECT_EQ(host.Out(kHostToDevice, SET_FEATURE, 2, 0x0400), ControlStatus::Stall);  // test mode
    EXPECT_EQ(host.Out(kToInterface, SET_FEATURE, 0, 0), ControlStatus::Stall);
}

TEST(StandardRequests, UnknownAndMisdirectedStandardRequestsStall) {
    Camera camera;
    TestHost host(camera);
    host.Enumerate();
    EXPECT_EQ(host.In(kDeviceToHost | kToEndpoint, SYNCH_FRAME, 0, 0x83, 2).status, ControlStatus::Stall);
    EXPECT_EQ(host.Out(kHostToDevice, SET_DESCRIPTOR, 0x0100, 0, std::vector<uint8_t>(18)), ControlStatus::Stall);
    EXPECT_EQ(host.Out(kHostToDevice, 2, 0, 0), ControlStatus::Stall);    // reserved code
    EXPECT_EQ(host.Out(kHostToDevice, 0x30, 0, 0), ControlStatus::Stall);
    EXPECT_EQ(host.Out(kHostToDevice, GET_STATUS, 0, 0), ControlStatus::Stall);
    EXPECT_EQ(host.In(kDeviceToHost, SET_ADDRESS, 3, 0, 0).status, ControlStatus::Stall);
    EXPECT_EQ(host.In(kDeviceToHost | 0x1F, GET_STATUS, 0, 0, 2).status, ControlStatus::Stall);
    // Endpoint 0 recovers by itself: the next request is answered.
    EXPECT_EQ(host.In(kDeviceToHost, GET_CONFIGURATION, 0, 0, 1).data, Bytes({1}));
}

TEST(StandardRequests, BusResetReturnsToAddressZeroUnconfiguredWithNoHalts) {
    Camera camera;
    TestHost host(camera);
    host.Enumerate();
    host.Out(kToInterface, SET_INTERFACE, 1, 0);
    camera.HaltEndpoint(0x83);
    host.Out(kHostToDevice, SET_FEATURE, 1, 0);

    camera.Reset();

    EXPECT_EQ(camera.Address(), 0);
    EXPECT_EQ(camera.State(), DeviceState::Default);
    EXPECT_EQ(camera.AlternateSetting(0), std::nullopt);
    EXPECT_FALSE(camera.EndpointHalted(0x83));
    EXPECT_FALSE(camera.RemoteWakeupEnabled());
    host.Enumerate();
    EXPECT_EQ(camera.AlternateSetting(0), 0);
}

TEST(StandardRequests, AnUnpluggedDeviceAnswersNothingAndComesBackFresh) {
    Camera camera;
    TestHost host(camera);
    host.Enumerate();
    const auto seen = camera.ControlTransferCount();

    camera.SetAttached(false);
    EXPECT_FALSE(camera.Attached());
    EXPECT_EQ(host.GetDescriptor(1, 0, 0, 18).status, ControlStatus::NoResponse);
    EXPECT_EQ(In(camera, 0x82).handshake, Handshake::NoResponse);
    std::vector<uint8_t> packet(4);
    EXPECT_EQ(camera.OutPacket(0x01, packet), Handshake::NoResponse);
    camera.Reset();  // ignored
    EXPECT_EQ(camera.ControlTransferCount(), seen);

    camera.SetAttached(true);
    EXPECT_EQ(camera.State(), DeviceState::Default);
    EXPECT_EQ(host.GetDescriptor(1, 0, 0, 18).status, ControlStatus::Ack);
}

TEST(StandardRequests, RecentTransfersKeepTheSetupAndDataStageOfEachRequest) {
    Camera camera;
    TestHost host(camera);
    host.GetDescriptor(1, 0, 0, 8);
    host.Out(0x40, 0xA0, 0x1000, 0, {1, 2, 3});
    host.Out(0x40, 0x77, 0, 0);

    const auto recent = camera.RecentControlTransfers();
    ASSERT_EQ(recent.size(), 3u);
    EXPECT_EQ(recent[0].setup.Bytes(), (std::array<uint8_t, 8>{0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x08, 0x00}));
    EXPECT_EQ(recent[0].data.size(), 8u);
    EXPECT_EQ(recent[0].data[0], 18);
    EXPECT_EQ(recent[1].data, Bytes({1, 2, 3}));
    EXPECT_EQ(recent[1].status, ControlStatus::Ack);
    EXPECT_EQ(recent[2].setup.bRequest, 0x77);
    EXPECT_EQ(recent[2].status, ControlStatus::Stall);

    for (int k = 0; k < 100; ++k)
        host.GetDescriptor(1, 0, 0, 1);
    EXPECT_EQ(camera.RecentControlTransfers().size(), Camera::kControlHistory);
    EXPECT_EQ(camera.ControlTransferCount(), 103u);
}

TEST(StandardRequests, InjectedStallsHitTheNextTransfersOrEveryRequestWithACode) {
    Camera camera;
    TestHost host(camera);
    camera.StallNextControlTransfers(2);
    EXPECT_EQ(host.GetDescriptor(1, 0, 0, 18).status, ControlStatus::Stall);
    EXPECT_EQ(host.WriteRegister(0x01, 5), ControlStatus::Stall);
    EXPECT_EQ(host.GetDescriptor(1, 0, 0, 18).status, ControlStatus::Ack);
    EXPECT_EQ(camera.Register(0, 0x01), 0u);

    camera.StallRequests(RequestType::Vendor, 0x18);
    EXPECT_EQ(host.WriteRegister(0x01, 5), ControlStatus::Stall);
    EXPECT_EQ(host.WriteRegister(0x01, 5), ControlStatus::Stall);
    EXPECT_EQ(host.In(0xC0, 0x11, 0, 0x24C0, 3).status, ControlStatus::Ack);
    // The standard request with the same code is another request.
    EXPECT_EQ(host.Out(0x00, SET_ADDRESS, 3, 0), ControlStatus::Ack);

    camera.ClearControlFaults();
    EXPECT_EQ(host.WriteRegister(0x01, 5), ControlStatus::Ack);
    EXPECT_EQ(camera.Register(0, 0x01), 5u);
}

TEST(StandardRequestsDeathTest, ADataStageThatDisagreesWithWLengthIsAHostBug) {
    Camera camera;
    std::vector<uint8_t> room(4);
    EXPECT_DEATH(camera.ControlTransfer({0x80, 0x06, 0x0100, 0, 18}, room), "data stage of 4 bytes, SETUP wLength 18");
    EXPECT_DEATH(
        {
            TestHost(camera).Enumerate();
            camera.InPacket(0x82, room);
        },
        "room for 4 bytes");
}
