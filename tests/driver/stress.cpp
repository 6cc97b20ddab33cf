#include "stress.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>

#include "driver_fixture.h"

namespace driver_test {

void RepeatUnplugs(int rounds, const InFlightFactory &make) {
    Machine &machine = TheMachine();
    machine.WaitForPendingWork();
    const size_t devices = machine.DriverDeviceCount();
    const size_t blocks = machine.DriverPoolBlocks();
    for (int round = 0; round < rounds; ++round) {
        const CameraId id = machine.Plug();
        std::unique_ptr<InFlight> load = make();
        load->Start();
        machine.Unplug(id);
        load->Finish();
        machine.WaitForPendingWork();
        ASSERT_EQ(machine.DriverDeviceCount(), devices) << "round " << round;
        ASSERT_EQ(machine.DriverPoolBlocks(), blocks) << "round " << round;
    }
}

void RepeatMachineStops(int rounds, const InFlightFactory &make) {
    Machine &machine = TheMachine();
    machine.WaitForPendingWork();
    const size_t blocks = machine.DriverPoolBlocks();
    // Started again as every test expects to find it.
    const tm350::sim::MachineOptions options = TestMachineOptions();
    for (int round = 0; round < rounds; ++round) {
        machine.Plug();
        std::unique_ptr<InFlight> load = make();
        load->Start();
        auto stopped = std::async(std::launch::async, [&] { machine.Shutdown(); });
        load->Finish();
        if (stopped.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            std::fprintf(stderr, "the machine never stopped (round %d)\n", round);
            std::abort();
        }
        stopped.get();
        ASSERT_FALSE(machine.Running());
        ASSERT_TRUE(tm350::sim::Machine::Start(options));
        ASSERT_EQ(machine.DriverDeviceCount(), 0u) << "round " << round;
        ASSERT_EQ(machine.DriverPoolBlocks(), blocks) << "round " << round;
    }
}

}  // namespace driver_test
