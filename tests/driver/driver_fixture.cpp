#include "driver_fixture.h"

namespace driver_test {

Machine &TheMachine() {
    static Machine &machine = [] () -> Machine & {
        tm350::sim::MachineOptions options;
        options.cameras = 0;
        options.timing = tm350::sim::Timing::Fast;
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

CameraId DriverTest::Plug(long *start_status) {
    // A camera of the test before may still wait for its last handle, which
    // the test closed after its end: that removal goes first.
    TheMachine().WaitForPendingWork();
    const CameraId id = TheMachine().Plug({}, start_status);
    plugged_.push_back(id);
    return id;
}

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
