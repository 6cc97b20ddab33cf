// PoStartNextPowerIrp accounting and where device power callbacks run.
#include "kernel/kernel_test_support.h"

#include "platform/kernel/kernel_api.h"

#include <atomic>

namespace tm350::test {
namespace {

NTSTATUS RequestD3(PDEVICE_OBJECT device, PREQUEST_POWER_COMPLETE callback = nullptr) {
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    const NTSTATUS status = PoRequestPowerIrp(device, IRP_MN_SET_POWER, d3, callback, nullptr, nullptr);
    tm350::ntos::FlushSystemWorker();
    return status;
}

class PowerRules : public ::testing::Test {
protected:
    void SetUp() override { TM350_USE_THREADSAFE_DEATH_TESTS(); }
};

TEST_F(PowerRules, EveryDriverAPowerRequestReachesStartsTheNextOneExactlyOnce) {
    EXPECT_DEATH(
        {
            BuiltinDriver driver;
            PDEVICE_OBJECT device =
                driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });
            RequestD3(device);
        },
        "tm350 verifier: the driver of \\(unnamed\\) completed or passed on power IRP 0x[0-9a-f]+ without calling "
        "PoStartNextPowerIrp");
    EXPECT_DEATH(
        {
            BuiltinDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
                PoStartNextPowerIrp(irp);
                PoStartNextPowerIrp(irp);
                return CompleteWith(irp, STATUS_SUCCESS);
            });
            RequestD3(device);
        },
        "tm350 verifier: PoStartNextPowerIrp called twice for power IRP 0x[0-9a-f]+ \\(minor 0x02\\)");
}

TEST_F(PowerRules, ADriverBelowAnotherIsAccountedOnItsOwn) {
    // The upper driver starts the next request and passes it down; the lower
    // one forgets: that is the lower driver's finding.
    EXPECT_DEATH(
        {
            BuiltinDriver driver;
            PDEVICE_OBJECT lower = driver.AddDevice(
                [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); }, L"\\Device\\PowerLower");
            PDEVICE_OBJECT upper = driver.AddDevice([lower](PDEVICE_OBJECT, PIRP irp) {
                PoStartNextPowerIrp(irp);
                IoSkipCurrentIrpStackLocation(irp);
                return PoCallDriver(lower, irp);
            });
            IoAttachDeviceToDeviceStack(upper, lower);
            RequestD3(upper);
        },
        "the driver of \\\\Device\\\\PowerLower completed or passed on power IRP");
}

TEST(PowerRequests, TheCallbackRunsAfterTheRequestReturnedAtDispatchLevel) {
    BuiltinDriver driver;
    PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        return CompleteWith(irp, STATUS_SUCCESS);
    });
    static std::atomic<int> callbacks;
    static std::atomic<KIRQL> irql_seen;
    callbacks = 0;
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(PoRequestPowerIrp(
                  device, IRP_MN_SET_POWER, d3,
                  [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK) {
                      irql_seen = KeGetCurrentIrql();
                      ++callbacks;
                  },
                  nullptr, nullptr),
              STATUS_PENDING);
    tm350::ntos::FlushSystemWorker();
    EXPECT_EQ(callbacks, 1);
    EXPECT_EQ(irql_seen, DISPATCH_LEVEL);
}

}  // namespace
}  // namespace tm350::test
