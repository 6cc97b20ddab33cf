#include "kernel/echo_driver.h"

#include "kernel/kernel_test_support.h"
#include "platform/kernel/kernel_api.h"

namespace tm350::test {

struct EchoDriver::State {
    tm350::ntos::DriverLoad load;
};

EchoDriver::EchoDriver() : state_(new State{tm350::ntos::LoadDriver(DriverModule("testecho"))}) {}

EchoDriver::~EchoDriver() {
    if (state_->load.driver != nullptr) state_->load.driver->Unload();
}

bool EchoDriver::Loaded() const { return NT_SUCCESS(state_->load.status); }

void EchoDriver::FlushSystemWorker() { tm350::ntos::FlushSystemWorker(); }

}  // namespace tm350::test
