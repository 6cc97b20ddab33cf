// /usb/control/stress: a seeded stream of random control requests -- both
// directions, data stages from none to more than the device answers, with
// and without a buffer behind an empty stage -- each of which must reach the
// camera as its SETUP packet and come back once, with a length within what
// was asked and nothing written outside the buffer. Run in the sanitizer
// build, it also catches undefined behaviour on the way.
#include "usb/usb_test_support.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace usb_test {
namespace {

using UsbControlStress = CameraTest;

constexpr size_t kGuard = 16;

URB ControlTransferUrb(const tm350::usb::SetupPacket &setup, void *buffer, ULONG length) {
    URB urb{};
    auto &request = urb.UrbControlTransfer;
    request.Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER;
    request.Hdr.Length = sizeof(struct _URB_CONTROL_TRANSFER);
    request.TransferFlags = (setup.Direction() == tm350::usb::TransferDirection::DeviceToHost
                                 ? USBD_TRANSFER_DIRECTION_IN
                                 : USBD_TRANSFER_DIRECTION_OUT) |
                            USBD_SHORT_TRANSFER_OK;
    request.TransferBuffer = buffer;
    request.TransferBufferLength = length;
    const auto bytes = setup.Bytes();
    std::copy(bytes.begin(), bytes.end(), request.SetupPacket);
    return urb;
}

// A request the camera may see at any time: vendor requests it knows and
// ones it does not, class requests (it has none), and the standard requests
// a function driver may send. Requests that belong to the host (addresses,
// configurations, settings) are left out: they would pull the device from
// under the stack.
tm350::usb::SetupPacket RandomSetup(std::mt19937 &random) {
    static constexpr uint8_t kVendorRequests[] = {0x01, 0x11, 0x18, 0xA0, 0x55};
    static constexpr uint8_t kStandardInRequests[] = {0x00, 0x06, 0x08, 0x0A};
    tm350::usb::SetupPacket setup;
    const bool in = random() % 2 == 0;
    const uint16_t length = static_cast<uint16_t>(random() % 4 == 0 ? 0 : random() % 80);
    switch (random() % 4) {
    case 0:
    case 1:
        setup.bmRequestType = in ? 0xC0 : 0x40;
        setup.bRequest = kVendorRequests[random() % std::size(kVendorRequests)];
        break;
    case 2:
        setup.bmRequestType = static_cast<uint8_t>((in ? 0xA0 : 0x20) | random() % 3);
        setup.bRequest = static_cast<uint8_t>(random());
        break;
    default:
        setup.bmRequestType = static_cast<uint8_t>(0x80 | random() % 3);
        setup.bRequest = kStandardInRequests[random() % std::size(kStandardInRequests)];
        break;
    }
    setup.wValue = static_cast<uint16_t>(random() % 3 == 0 ? random() : random() % 0x400);
    setup.wIndex = static_cast<uint16_t>(random() % 3 == 0 ? random() : random() % 0x20);
    setup.wLength = length;
    return setup;
}

TEST_F(UsbControlStress, RandomRequestsEachReachTheCameraAndComeBackWithinTheirBuffer) {
    std::mt19937 random(0x350);
    for (int i = 0; i < 400; ++i) {
        const tm350::usb::SetupPacket setup = RandomSetup(random);
        const bool in = setup.Direction() == tm350::usb::TransferDirection::DeviceToHost;
        // The buffer, with guard bytes behind it; an empty stage sometimes
        // has a buffer and sometimes none.
        std::vector<uint8_t> storage(setup.wLength + kGuard);
        for (uint8_t &byte : storage) byte = static_cast<uint8_t>(random());
        const std::vector<uint8_t> before = storage;
        void *buffer = setup.wLength == 0 && random() % 2 == 0 ? nullptr : storage.data();
        URB urb = ControlTransferUrb(setup, buffer, setup.wLength);
        const uint64_t seen = camera_.ControlTransferCount();

        const NTSTATUS status = SubmitAndWait(pdo_, &urb);
        ASSERT_NE(status, STATUS_TIMEOUT) << "request " << i;
        const USBD_STATUS usb = urb.UrbHeader.Status;
        EXPECT_EQ(NT_SUCCESS(status), USBD_SUCCESS(usb)) << "request " << i;
        if (!USBD_SUCCESS(usb)) EXPECT_EQ(usb, USBD_STATUS_STALL_PID) << "request " << i;
        ASSERT_EQ(camera_.ControlTransferCount(), seen + 1) << "request " << i;
        EXPECT_EQ(camera_.RecentControlTransfers().back().setup, setup) << "request " << i;

        const ULONG length = urb.UrbControlTransfer.TransferBufferLength;
        EXPECT_LE(length, setup.wLength) << "request " << i;
        // Outside what the device replied, nothing changed: past the data
        // stage always, and all of it for a host-to-device request.
        const size_t untouched_from = in && USBD_SUCCESS(usb) ? length : 0;
        EXPECT_TRUE(std::equal(storage.begin() + untouched_from, storage.end(), before.begin() + untouched_from))
            << "request " << i;
    }
}

}  // namespace
}  // namespace usb_test
