#include "driver_fixture.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace driver_test {

tm350::sim::MachineOptions TestMachineOptions() {
    tm350::sim::MachineOptions options;
    options.cameras = 0;
    options.timing = tm350::sim::Timing::Fast;
    // Frames whose every byte is known, for the tests that check them.
    options.sensor.scene = tm350::sim::Scene::Pattern;
    return options;
}

Machine &TheMachine() {
    static Machine &machine = [] () -> Machine & {
        Machine::Start(TestMachineOptions());
        return Machine::Get();
    }();
    return machine;
}

Handle OpenCamera(int instance, Io io) {
    const std::string path = "\\\\.\\TM350-" + std::to_string(instance);
    return Handle(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, io == Io::Overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr));
}

std::vector<tm350::usb::UrbTrace> BulkTransfers(const std::vector<tm350::usb::UrbTrace> &urbs) {
    std::vector<tm350::usb::UrbTrace> bulk;
    for (const auto &urb : urbs)
        if (urb.function == kUrbBulkTransfer) bulk.push_back(urb);
    return bulk;
}

bool EnableRead(HANDLE device) { return Ioctl(device, IOCTL_CAM_ENABLE_READ, {1, 0}, 0).ok; }

bool StartStreaming(HANDLE device) {
    return Ioctl(device, IOCTL_CAM_CONTROL_REQUEST, CameraRecord(0, 2, 0, 0x01, 3, 0x000F), 0).ok;
}

Overlapped::Overlapped(size_t length, uint8_t fill) : buffer_(length, fill) {
    overlapped_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

Overlapped::~Overlapped() { CloseHandle(overlapped_.hEvent); }

bool Overlapped::Started(BOOL result) {
    if (result || GetLastError() == ERROR_IO_PENDING) return true;
    error_ = GetLastError();
    return false;
}

bool Overlapped::Read(HANDLE device) {
    return Started(ReadFile(device, buffer_.empty() ? nullptr : buffer_.data(), static_cast<DWORD>(buffer_.size()),
                            nullptr, &overlapped_));
}

bool Overlapped::Write(HANDLE device, const void *data) {
    return Started(WriteFile(device, data, static_cast<DWORD>(buffer_.size()), nullptr, &overlapped_));
}

bool Overlapped::DeviceControl(HANDLE device, DWORD code, std::vector<uint8_t> input) {
    return Started(DeviceIoControl(device, code, input.empty() ? nullptr : input.data(),
                                   static_cast<DWORD>(input.size()), buffer_.empty() ? nullptr : buffer_.data(),
                                   static_cast<DWORD>(buffer_.size()), nullptr, &overlapped_));
}

Control Overlapped::Wait(HANDLE device) {
    Control result;
    result.ok = GetOverlappedResult(device, &overlapped_, &result.bytes, TRUE) != FALSE;
    if (!result.ok) result.error = GetLastError();
    return result;
}

void Overlapped::AwaitEnd(const char *what, unsigned seconds) {
    if (WaitForSingleObject(overlapped_.hEvent, seconds * 1000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "%s never ended\n", what);
        std::abort();
    }
}

std::vector<uint8_t> FrameHeader(uint32_t magic, uint32_t timeout, uint32_t packet, size_t length) {
    std::vector<uint8_t> buffer(length, 0xEE);
    const uint32_t words[] = {magic, timeout, packet};
    for (size_t w = 0; w < 3 && 4 * w + 4 <= length; ++w)
        for (size_t b = 0; b < 4; ++b) buffer[4 * w + b] = static_cast<uint8_t>(words[w] >> (8 * b));
    return buffer;
}

FrameResult ReadFrame(HANDLE device, std::vector<uint8_t> buffer) {
    FrameResult result;
    result.buffer = std::move(buffer);
    result.ok = DeviceIoControl(device, IOCTL_CAM_READ_FRAME, nullptr, 0,
                                result.buffer.empty() ? nullptr : result.buffer.data(),
                                static_cast<DWORD>(result.buffer.size()), &result.bytes, nullptr) != FALSE;
    if (!result.ok) result.error = GetLastError();
    return result;
}

void WaitForBulkTransfers(UrbWatch &urbs, size_t count) {
    for (size_t seen = 0;;) {
        seen += BulkTransfers(urbs.New()).size();
        if (seen >= count) return;
        TheMachine().WaitFrames(1);
    }
}

bool Overlapped::Done() const { return HasOverlappedIoCompleted(&overlapped_); }

Control Ioctl(HANDLE device, DWORD code, std::vector<uint8_t> input, DWORD output_length) {
    Control result;
    result.output.assign(output_length, 0xEE);
    result.ok = DeviceIoControl(device, code, input.empty() ? nullptr : input.data(), static_cast<DWORD>(input.size()),
                                output_length == 0 ? nullptr : result.output.data(), output_length, &result.bytes,
                                nullptr) != FALSE;
    if (!result.ok) result.error = GetLastError();
    return result;
}

std::vector<uint8_t> CameraRecord(uint8_t direction, uint8_t type, uint8_t recipient, uint8_t request,
                                   uint16_t value, uint16_t index) {
    return {direction, type, recipient, 0, request, 0, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8)};
}

namespace {

// The last `count - seen` entries of a history that keeps only its recent end.
template <typename T>
std::vector<T> Fresh(const std::vector<T> &recent, uint64_t seen, uint64_t count) {
    const size_t fresh = static_cast<size_t>(std::min<uint64_t>(count - seen, recent.size()));
    return std::vector<T>(recent.end() - fresh, recent.end());
}

}  // namespace

std::vector<tm350::usb::ControlRecord> TransferWatch::New() {
    const uint64_t count = camera_.ControlTransferCount();
    std::vector<tm350::usb::ControlRecord> fresh = Fresh(camera_.RecentControlTransfers(), seen_, count);
    seen_ = count;
    return fresh;
}

UrbWatch::UrbWatch() : seen_(tm350::usb::UrbCount()) {}

std::vector<tm350::usb::UrbTrace> UrbWatch::New() {
    const uint64_t count = tm350::usb::UrbCount();
    std::vector<tm350::usb::UrbTrace> fresh = Fresh(tm350::usb::RecentUrbs(), seen_, count);
    seen_ = count;
    return fresh;
}

CameraId DriverTest::Plug(long *start_status) { return Plug(tm350::sim::CameraOptions{}, start_status); }

CameraId DriverTest::Plug(tm350::sim::CameraOptions options, long *start_status) {
    // A camera of the test before may still wait for its last handle, which
    // the test closed after its end: that removal goes first.
    TheMachine().WaitForPendingWork();
    const CameraId id = TheMachine().Plug(std::move(options), start_status);
    plugged_.push_back(id);
    return id;
}

// A test before may have closed its last handle after its own teardown (a
// handle member outlives TearDown), releasing a removal that is still under
// way: every test starts from a settled machine.
void DriverTest::SetUp() { TheMachine().WaitForPendingWork(); }

void DriverTest::TearDown() {
    for (CameraId id : plugged_) TheMachine().Unplug(id);
    plugged_.clear();
    // Removals released by a last close finish before the next test counts anything.
    TheMachine().WaitForPendingWork();
}

void OneCameraTest::SetUp() {
    DriverTest::SetUp();
    camera_ = &TheMachine().CameraOf(Plug());
    handle_ = OpenCamera(0);
    ASSERT_TRUE(handle_.valid());
}

Pages::Pages(size_t count) : size_(count * PageSize()) {
    void *memory = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    memory_ = memory == MAP_FAILED ? nullptr : static_cast<uint8_t *>(memory);
    if (memory_ != nullptr) std::memset(memory_, 0x33, size_);
}

Pages::~Pages() {
    if (memory_ != nullptr) munmap(memory_, size_);
}

size_t Pages::PageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

bool Pages::MakeReadOnly(size_t first_page) {
    return mprotect(memory_ + first_page * PageSize(), size_ - first_page * PageSize(), PROT_READ) == 0;
}

std::vector<uint8_t> IsoRecord(uint32_t pipe, uint32_t size, uint32_t count, uint32_t per_transfer,
                               uint32_t transfers) {
    std::vector<uint8_t> record(20);
    const uint32_t fields[] = {pipe, size, count, per_transfer, transfers};
    std::memcpy(record.data(), fields, sizeof(fields));
    return record;
}

}  // namespace driver_test

namespace {

// At the end of the program every camera comes out and the driver unloads,
// which makes the kernel's verifier check for leaks and stray references.
class MachineEnvironment : public ::testing::Environment {
public:
    void TearDown() override { driver_test::TheMachine().Shutdown(); }
};

[[maybe_unused]] ::testing::Environment *const g_environment =
    ::testing::AddGlobalTestEnvironment(new MachineEnvironment);

}  // namespace
