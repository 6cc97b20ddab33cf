// Tests of the host side of the USB stack drive the bus the way a function
// driver does: URBs in IRPs sent to the PDO of a simulated camera, in fast
// timing. Every wait is bounded, so a request that never completes fails its
// test instead of hanging it.
#pragma once

#include <wdm.h>
#include <usbdi.h>
#include <usbdlib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

#include "sim/camera.h"
#include "usb/usb_bus.h"

namespace usb_test {

using tm350::sim::Camera;
using tm350::usb::UsbBus;

// Stands between the bus and the camera, passing every operation on, so a
// test can stop the host controller at an exact point of a transfer: the
// hook runs after each IN transaction the camera answered, on the host
// controller's thread with the bus lock held (it must not send requests).
class DeviceTap : public tm350::usb::UsbDevice {
public:
    using InHook = std::function<void(uint8_t endpoint_address, const tm350::usb::PacketResult &result)>;

    explicit DeviceTap(Camera &camera) : camera_(camera) {}
    // Waits for a hook that is running to return.
    void SetInHook(InHook hook);

    tm350::usb::BusSpeed Speed() const override { return camera_.Speed(); }
    bool Attached() const override { return camera_.Attached(); }
    uint8_t Address() const override { return camera_.Address(); }
    void Reset() override { camera_.Reset(); }
    void StartOfFrame(uint32_t frame_number) override { camera_.StartOfFrame(frame_number); }
    tm350::usb::ControlResult ControlTransfer(const tm350::usb::SetupPacket &setup, std::span<uint8_t> data) override {
        return camera_.ControlTransfer(setup, data);
    }
    tm350::usb::PacketResult InPacket(uint8_t endpoint_address, std::span<uint8_t> room) override;
    tm350::usb::Handshake OutPacket(uint8_t endpoint_address, std::span<const uint8_t> data) override {
        return camera_.OutPacket(endpoint_address, data);
    }
    std::vector<tm350::usb::EndpointInfo> ActiveEndpoints() const override { return camera_.ActiveEndpoints(); }

private:
    Camera &camera_;
    std::mutex hook_mutex_;
    InHook hook_;
};

// The one bus of the test program, made on first use; the program's end
// checks that every test removed what it plugged.
UsbBus &Bus();

// Long enough for any request the camera can answer in fast timing.
constexpr LONGLONG kWaitMilliseconds = 5000;

// One URB in flight in an IRP the test owns, so it can be cancelled at any
// time, completed or not, without racing the IRP's release.
class UrbRequest {
public:
    UrbRequest(PDEVICE_OBJECT pdo, PURB urb, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB);
    // Cancels the request if it is still queued and waits for it.
    ~UrbRequest();
    UrbRequest(const UrbRequest &) = delete;
    UrbRequest &operator=(const UrbRequest &) = delete;

    NTSTATUS returned() const { return returned_; }
    // True once completed; waits up to `milliseconds`.
    bool Wait(LONGLONG milliseconds = kWaitMilliseconds);
    bool Completed() const { return completions_ > 0; }
    int Completions() const { return completions_; }
    NTSTATUS Status() const { return irp_->IoStatus.Status; }
    BOOLEAN Cancel() { return IoCancelIrp(irp_); }
    // True once IoCancelIrp has taken the request's cancel routine (it may
    // still be waiting to run it).
    bool CancelTaken() const {
        return __atomic_load_n(&irp_->Cancel, __ATOMIC_SEQ_CST) &&
               __atomic_load_n(&irp_->CancelRoutine, __ATOMIC_SEQ_CST) == nullptr;
    }
    PIRP Irp() const { return irp_; }

private:
    static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context);

    PIRP irp_;
    KEVENT done_;
    std::atomic<int> completions_{0};
    NTSTATUS returned_;
};

// Sends a URB and waits for it; returns the IRP's final status
// (STATUS_TIMEOUT when it did not complete in time).
NTSTATUS SubmitAndWait(PDEVICE_OBJECT pdo, PURB urb, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB);

// A bulk or interrupt transfer request block.
URB BulkUrb(USBD_PIPE_HANDLE pipe, void *buffer, ULONG length, ULONG flags);
// A vendor request to the device.
URB VendorUrb(bool in, UCHAR request, USHORT value, USHORT index, void *buffer, ULONG length);
// A request on a pipe (abort, reset).
URB PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe);

// An isochronous request block of `packets` packets of `packet_bytes` each,
// with its buffer.
struct IsochronousRequest {
    std::vector<uint8_t> storage;  // the URB with its packet descriptors
    std::vector<uint8_t> data;
    PURB urb() { return reinterpret_cast<PURB>(storage.data()); }
};
IsochronousRequest IsochronousUrb(USBD_PIPE_HANDLE pipe, ULONG packets, ULONG packet_bytes);

// A camera plugged into the bus for one test; it leaves the bus (and its
// PDO goes) when the test ends.
class CameraTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The camera's configuration descriptor, as the device gives it.
    std::vector<uint8_t> ConfigurationDescriptor();
    // Selects the configuration with interface 0 in `alternate_setting`
    // and keeps the pipes' information; false on failure.
    NTSTATUS SelectConfiguration(UCHAR alternate_setting = 0);
    // Control word 3: the sensor starts reading out frames.
    void StartStreaming();
    // Pulls the camera out and removes its PDO (once).
    void UnplugAndRemove();

    PUSBD_INTERFACE_INFORMATION Interface() {
        return reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(interface_.data());
    }
    USBD_PIPE_HANDLE OutPipe() { return Interface()->Pipes[0].PipeHandle; }
    USBD_PIPE_HANDLE DataPipe() { return Interface()->Pipes[1].PipeHandle; }

    // The counting pattern, so that every byte a transfer carries can be checked.
    Camera camera_{{.sensor = tm350::sim::SensorOptions{.scene = tm350::sim::Scene::Pattern}}};
    DeviceTap device_{camera_};  // what the bus sees of camera_
    PDEVICE_OBJECT pdo_ = nullptr;
    std::vector<uint8_t> configuration_;
    std::vector<uint8_t> interface_;  // the selected interface's record
    USBD_CONFIGURATION_HANDLE configuration_handle_ = nullptr;
};

// A bulk read queued on a pipe, with its own buffer (filled with 0xEE, so
// bytes that never arrived show).
struct QueuedRead {
    QueuedRead(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, ULONG length, ULONG flags = USBD_SHORT_TRANSFER_OK)
        : buffer(length, 0xEE),
          urb(BulkUrb(pipe, buffer.data(), length, USBD_TRANSFER_DIRECTION_IN | flags)),
          request(pdo, &urb) {}
    ULONG Length() const { return urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }

    std::vector<uint8_t> buffer;
    URB urb;
    UrbRequest request;
};

}  // namespace usb_test
