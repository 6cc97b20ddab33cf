#include "driver_fixture.h"

#include <algorithm>
#include <utility>

namespace driver_test {

Machine &TheMachine() {
    static Machine &machine = [] () -> Machine & {
        tm350::sim::MachineOptions options;
        options.cameras = 0;
        options.timing = tm350::sim::Timing::Fast;
        // Frames whose every byte is known, for the tests that check them.
        options.sensor.scene = tm350::sim::Scene::Pattern;
        Machine::Start(options);
        return Machine::Get();
    }();
    return machine;
}

Handle OpenCamera(int instance) {
    const std::string path = "\\\\.\\TM350-" + std::to_string(instance);
    return Handle(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
}

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
