// Tests of the vexusb driver run it in the simulated machine, in fast
// timing, and talk to it the way user mode does: CreateFileA on
// "\\.\TM350-N" and DeviceIoControl.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

#include "driver/vexusb_interface.h"
#include "sim/machine.h"
#include "usb/urb_trace.h"

namespace driver_test {

using tm350::sim::CameraId;
using tm350::sim::Machine;

// The machine every test of the program shares: started empty, cameras
// plugged by each test and pulled out again at its end.
Machine &TheMachine();
// The options it starts with: no cameras, fast timing, the counting pattern.
tm350::sim::MachineOptions TestMachineOptions();

// A handle that closes itself.
class Handle {
public:
    explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    ~Handle() { Close(); }
    Handle(Handle &&other) noexcept : handle_(other.handle_) { other.handle_ = INVALID_HANDLE_VALUE; }
    Handle(const Handle &) = delete;
    Handle &operator=(Handle &&other) noexcept {
        if (this != &other) {
            Close();
            handle_ = other.handle_;
            other.handle_ = INVALID_HANDLE_VALUE;
        }
        return *this;
    }
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    void Close() {
        if (valid()) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_;
};

enum class Io : uint8_t { Overlapped, Synchronous };
Handle OpenCamera(int instance, Io io = Io::Overlapped);

// The result of one DeviceIoControl.
struct Control {
    bool ok = false;
    DWORD error = 0;  // GetLastError when not ok
    DWORD bytes = 0;
    std::vector<uint8_t> output;
};

Control Ioctl(HANDLE device, DWORD code, std::vector<uint8_t> input, DWORD output_length);

std::vector<uint8_t> CameraRecord(uint8_t direction, uint8_t type, uint8_t recipient, uint8_t request,
                                   uint16_t value, uint16_t index);

// The control transfers a camera saw since the watch began or was last asked.
class TransferWatch {
public:
    explicit TransferWatch(tm350::sim::Camera &camera) : camera_(camera), seen_(camera.ControlTransferCount()) {}
    std::vector<tm350::usb::ControlRecord> New();

private:
    tm350::sim::Camera &camera_;
    uint64_t seen_;
};

// The request blocks the USB stack was handed since the watch began or was
// last asked, by every driver of the machine.
class UrbWatch {
public:
    UrbWatch();
    std::vector<tm350::usb::UrbTrace> New();

private:
    uint64_t seen_;
};

// Request block functions and transfer flags as the USB stack knows them.
constexpr uint16_t kUrbAbortPipe = 0x0002;
constexpr uint16_t kUrbBulkTransfer = 0x0009;
constexpr uint16_t kUrbVendorDevice = 0x0017;
constexpr uint16_t kUrbIsochTransfer = 0x000A;
constexpr uint16_t kUrbResetPipe = 0x001E;  // reset the pipe and clear the endpoint's halt
constexpr uint32_t kTransferDirectionIn = 0x1;
constexpr uint32_t kShortTransferOk = 0x2;

// The bulk transfers among request blocks.
std::vector<tm350::usb::UrbTrace> BulkTransfers(const std::vector<tm350::usb::UrbTrace> &urbs);

// IOCTL_CAM_ENABLE_READ {01, 00}, and control word 3, which starts the
// camera streaming; true when the driver accepted each.
bool EnableRead(HANDLE device);
bool StartStreaming(HANDLE device);

// One overlapped ReadFile, WriteFile or DeviceIoControl on its own buffer,
// with its own event.
class Overlapped {
public:
    explicit Overlapped(size_t length, uint8_t fill = 0xEE);
    ~Overlapped();
    Overlapped(const Overlapped &) = delete;
    Overlapped &operator=(const Overlapped &) = delete;

    // False with its error when the request failed at once; true when it
    // completed at once or is pending.
    bool Read(HANDLE device);
    bool Write(HANDLE device, const void *data);
    bool DeviceControl(HANDLE device, DWORD code, std::vector<uint8_t> input);
    DWORD error() const { return error_; }
    // Waits for the request to end: ok, error and bytes as GetOverlappedResult says.
    Control Wait(HANDLE device);
    // Stops the program when the request has not ended within `seconds`: a
    // driver that never completes it would leave the test waiting for ever.
    void AwaitEnd(const char *what, unsigned seconds = 30);
    bool Done() const;
    std::vector<uint8_t> &buffer() { return buffer_; }

private:
    bool Started(BOOL result);
    std::vector<uint8_t> buffer_;
    OVERLAPPED overlapped_{};
    DWORD error_ = 0;
};

// IOCTL_CAM_READ_FRAME's buffer of `length` bytes, starting with as much of
// the header (magic, timeout, packet size) as fits.
std::vector<uint8_t> FrameHeader(uint32_t magic, uint32_t timeout, uint32_t packet, size_t length);

// One IOCTL_CAM_READ_FRAME without an OVERLAPPED: on a handle opened for
// synchronous I/O a failure reports its byte count too.
struct FrameResult {
    bool ok = false;
    DWORD error = 0;
    DWORD bytes = 0;
    std::vector<uint8_t> buffer;
};
FrameResult ReadFrame(HANDLE device, std::vector<uint8_t> buffer);

// Returns once `count` bulk transfers have reached the USB stack since the
// watch began (or was last asked).
void WaitForBulkTransfers(UrbWatch &urbs, size_t count);

// Plugs cameras for one test and pulls them out at its end.
class DriverTest : public ::testing::Test {
protected:
    CameraId Plug(long *start_status = nullptr);
    CameraId Plug(tm350::sim::CameraOptions options, long *start_status = nullptr);
    void SetUp() override;
    void TearDown() override;

    std::vector<CameraId> plugged_;
};

// A test with one camera plugged in and an overlapped handle open on it.
class OneCameraTest : public DriverTest {
protected:
    void SetUp() override;

    tm350::sim::Camera *camera_ = nullptr;
    Handle handle_;
};

// Pages of this process that a test can make read-only, as a caller's
// buffer may be.
class Pages {
public:
    explicit Pages(size_t count);
    ~Pages();
    Pages(const Pages &) = delete;
    Pages &operator=(const Pages &) = delete;
    static size_t PageSize();
    uint8_t *data() const { return memory_; }
    size_t size() const { return size_; }
    // Read-only from page `first_page` to the end.
    bool MakeReadOnly(size_t first_page = 0);

private:
    size_t size_;
    uint8_t *memory_;
};

// A driver that waits for ever would leave the test waiting for ever: a
// wait that runs out says what never ended and stops the program instead.
template <typename T>
T Await(std::future<T> &future, const char *what) {
    if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        std::fprintf(stderr, "%s never ended\n", what);
        std::abort();
    }
    return future.get();
}

// The isochronous record: pipe index, packet size, packet count, packets
// per transfer, transfers.
std::vector<uint8_t> IsoRecord(uint32_t pipe, uint32_t size, uint32_t count, uint32_t per_transfer,
                               uint32_t transfers);

}  // namespace driver_test
