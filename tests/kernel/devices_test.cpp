// Device objects, names and links, device stacks, and loading and
// unloading driver modules with the verifier's checks at unload.
#include "kernel/kernel_test_support.h"

#include "platform/kernel/kernel_api.h"

#include <cstdlib>

namespace tm350::test {
namespace {

NTSTATUS Succeed(PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); }

UNICODE_STRING Name(PCWSTR text) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, text);
    return name;
}

// The names here are the tests' own: once a Win32 test has opened a device
// the simulated machine runs in this process, and its cameras are tm350-N.
TEST(KernelDevices, NamesAreUniqueWithoutRegardToCase) {
    BuiltinDriver driver;
    driver.AddDevice(Succeed, L"\\Device\\kerneltest-0");
    UNICODE_STRING same = Name(L"\\DEVICE\\KERNELTEST-0");
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver.Object(), 0, &same, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(device, nullptr);
    UNICODE_STRING nowhere = Name(L"\\Nowhere\\x");
    EXPECT_EQ(IoCreateDevice(driver.Object(), 0, &nowhere, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_OBJECT_PATH_NOT_FOUND);
    UNICODE_STRING relative = Name(L"Device\\x");
    EXPECT_EQ(IoCreateDevice(driver.Object(), 0, &relative, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_OBJECT_PATH_SYNTAX_BAD);
}

TEST(KernelDevices, CreatedDevicesHaveZeroedExtensionsAndJoinTheDriversList) {
    BuiltinDriver driver;
    PDEVICE_OBJECT first = driver.AddDevice(Succeed, L"\\Device\\First");
    PDEVICE_OBJECT second = driver.AddDevice(Succeed);
    EXPECT_EQ(driver.Object()->DeviceObject, second);
    EXPECT_EQ(second->NextDevice, first);
    EXPECT_EQ(first->StackSize, 1);
    EXPECT_EQ(first->DriverObject, driver.Object());
    auto *extension = static_cast<unsigned char *>(first->DeviceExtension);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(extension[i], 0);
}

TEST(KernelDevices, DeletingADeviceFreesItsNameAndUnlinksIt) {
    BuiltinDriver driver;
    PDEVICE_OBJECT device = driver.AddDevice(Succeed, L"\\Device\\Reused");
    driver.Forget(device);
    IoDeleteDevice(device);
    EXPECT_EQ(driver.Object()->DeviceObject, nullptr);
    driver.AddDevice(Succeed, L"\\Device\\Reused");  // the name is free again
}

TEST(KernelDevices, SymbolicLinksCollideAndDeleteByName) {
    UNICODE_STRING link = Name(L"\\DosDevices\\kerneltest-0");
    UNICODE_STRING target = Name(L"\\Device\\kerneltest-0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    UNICODE_STRING same = Name(L"\\??\\KERNELTEST-0");
    EXPECT_EQ(IoCreateSymbolicLink(&same, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoDeleteSymbolicLink(&same), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(KernelDevices, AttachingStacksDevicesAndDetachingUndoesIt) {
    BuiltinDriver driver;
    PDEVICE_OBJECT bottom = driver.AddDevice(Succeed);
    PDEVICE_OBJECT middle = driver.AddDevice(Succeed);
    PDEVICE_OBJECT top = driver.AddDevice(Succeed);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(middle, bottom), bottom);
    // Attaching to any device of a stack attaches to its top.
    EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), middle);
    EXPECT_EQ(top->StackSize, 3);
    EXPECT_EQ(bottom->AttachedDevice, middle);
    EXPECT_EQ(middle->AttachedDevice, top);
    IoDetachDevice(middle);
    EXPECT_EQ(middle->AttachedDevice, nullptr);
}

class KernelDeviceRules : public ::testing::Test {
protected:
    void SetUp() override { TM350_USE_THREADSAFE_DEATH_TESTS(); }
};

TEST_F(KernelDeviceRules, DeletingAnAttachedDeviceOrCreatingAtDispatchLevelIsFatal) {
    EXPECT_DEATH(
        {
            BuiltinDriver driver;
            PDEVICE_OBJECT lower = driver.AddDevice(Succeed);
            PDEVICE_OBJECT upper = driver.AddDevice(Succeed);
            IoAttachDeviceToDeviceStack(upper, lower);
            IoDeleteDevice(upper);
        },
        "tm350 verifier: IoDeleteDevice\\(\\(unnamed\\)\\) while it is attached to a lower device");
    EXPECT_DEATH(
        {
            BuiltinDriver driver;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            driver.AddDevice(Succeed);
        },
        "IoCreateDevice called at IRQL 2; it may run at IRQL 0 at most");
}

TEST(KernelDriverLoader, LoadsAModuleRunsDriverEntryAndUnloadsIt) {
    auto load = tm350::ntos::LoadDriver(DriverModule("testecho"));
    ASSERT_EQ(load.status, STATUS_SUCCESS);
    DRIVER_OBJECT *object = load.driver->Object();
    EXPECT_TRUE(load.driver->Name() == u"\\Driver\\testecho");
    EXPECT_NE(object->DriverUnload, nullptr);
    ASSERT_NE(object->DeviceObject, nullptr);
    // Devices made in DriverEntry are ready once it returns.
    for (PDEVICE_OBJECT device = object->DeviceObject; device != nullptr; device = device->NextDevice) {
        EXPECT_EQ(device->Flags & DO_DEVICE_INITIALIZING, 0u);
    }
    // One driver of a name at a time.
    EXPECT_EQ(tm350::ntos::LoadDriver(DriverModule("testecho")).status, STATUS_IMAGE_ALREADY_LOADED);
    EXPECT_EQ(load.driver->Unload(), STATUS_SUCCESS);
    EXPECT_FALSE(load.driver->Loaded());
    auto again = tm350::ntos::LoadDriver(DriverModule("testecho"));
    ASSERT_EQ(again.status, STATUS_SUCCESS);
    EXPECT_EQ(again.driver->Unload(), STATUS_SUCCESS);  // the next test may load it again
}

TEST(KernelDriverLoader, ReportsModulesThatCannotBeDrivers) {
    EXPECT_EQ(tm350::ntos::LoadDriver(DriverModule("no-such-driver")).status, STATUS_DLL_NOT_FOUND);
    EXPECT_EQ(tm350::ntos::LoadDriver(DriverModule("testnoentry")).status, STATUS_DRIVER_ENTRYPOINT_NOT_FOUND);
}

TEST(KernelDriverLoader, AFailedDriverEntryIsReportedAndTheDriverIsGone) {
    unsetenv("TM350_TEST_DRIVER_MODE");
    auto load = tm350::ntos::LoadDriver(DriverModule("testfailing"));
    EXPECT_EQ(load.status, STATUS_NO_MEMORY);
    EXPECT_EQ(load.driver, nullptr);
    // Gone: it loads again (and fails again) rather than being already loaded.
    EXPECT_EQ(tm350::ntos::LoadDriver(DriverModule("testfailing")).status, STATUS_NO_MEMORY);
}

// A driver that cannot unload stays for the life of the process, so this
// one lives in a process of its own and leaves the test program's free.
TEST(KernelDriverLoader, ADriverWithoutUnloadRoutineStaysLoaded) {
    TM350_USE_THREADSAFE_DEATH_TESTS();
    EXPECT_EXIT(
        {
            setenv("TM350_TEST_DRIVER_MODE", "resident", 1);
            auto load = tm350::ntos::LoadDriver(DriverModule("testfailing"));
            if (load.status != STATUS_SUCCESS) std::_Exit(1);
            if (load.driver->Unload() != STATUS_INVALID_DEVICE_REQUEST) std::_Exit(2);
            std::_Exit(load.driver->Loaded() ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

class KernelDriverLoaderRules : public ::testing::Test {
protected:
    void SetUp() override { TM350_USE_THREADSAFE_DEATH_TESTS(); }
};

TEST_F(KernelDriverLoaderRules, LeaksAtUnloadOrFailedEntryAreFatal) {
    EXPECT_DEATH(
        {
            setenv("TM350_TEST_DRIVER_MODE", "leak", 1);
            tm350::ntos::LoadDriver(DriverModule("testfailing"));
        },
        "tm350 verifier: driver \\\\Driver\\\\testfailing failed DriverEntry without freeing its pool: "
        "'Lost' 1 block\\(s\\) 32 bytes");
    EXPECT_DEATH(
        {
            setenv("TM350_TEST_DRIVER_MODE", "device", 1);
            tm350::ntos::LoadDriver(DriverModule("testfailing"));
        },
        "driver \\\\Driver\\\\testfailing failed DriverEntry with device object\\(s\\) not deleted: "
        "\\\\Device\\\\TestFailing0");
    EXPECT_DEATH(
        {
            BuiltinDriver driver;
            driver.AddDevice(Succeed, L"\\Device\\Forgotten");
            driver.Forget(driver.Object()->DeviceObject);
        },
        "driver \\\\Driver\\\\kerneltest unloaded with device object\\(s\\) not deleted: \\\\Device\\\\Forgotten");
}

}  // namespace
}  // namespace tm350::test
