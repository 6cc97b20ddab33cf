// Helpers shared by the kernel's tests: a driver linked into the test
// program whose dispatch routines run whatever a test gives them, paths of
// the test driver modules, and the death-test setup.
#pragma once

#include <wdm.h>

#include <gtest/gtest.h>

#include "platform/kernel/driver_loader.h"
#include "support/temp_directory.h"
#include "support/eventually.h"

#include <chrono>
#include <functional>
#include <map>
#include <thread>
#include <string>
#include <vector>

namespace tm350::test {

// Verifier failures end the process: death tests re-run the test program
// (the kernel has threads of its own, so forking alone is not safe).
#define TM350_USE_THREADSAFE_DEATH_TESTS() GTEST_FLAG_SET(death_test_style, "threadsafe")

inline std::string DriverModule(const char *name) { return (LibDirectory() / (std::string(name) + ".so")).string(); }

// 10 ms in the kernel's relative time units.
inline LARGE_INTEGER Milliseconds(LONGLONG milliseconds) {
    LARGE_INTEGER interval;
    interval.QuadPart = -10000 * milliseconds;
    return interval;
}

// A driver built into the test program. Each device created through it
// has its own dispatch handler; the driver deletes its devices and unloads
// when the test ends.
class BuiltinDriver {
public:
    using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

    // Work a handler leaves for once it has returned, such as starting the
    // thread that completes a request it left pending, so that the
    // completion cannot overtake the handler's return.
    static std::vector<std::function<void()>> &AfterDispatch() {
        thread_local std::vector<std::function<void()>> work;
        return work;
    }

    BuiltinDriver() {
        instance_ = this;
        auto load = tm350::ntos::LoadBuiltinDriver(u"kerneltest", &Entry);
        EXPECT_TRUE(NT_SUCCESS(load.status)) << std::hex << load.status;
        driver_ = std::move(load.driver);
    }
    ~BuiltinDriver() {
        for (PDEVICE_OBJECT device : devices_) {
            if (device->AttachedDevice != nullptr) IoDetachDevice(device);
        }
        for (auto device = devices_.rbegin(); device != devices_.rend(); ++device) IoDeleteDevice(*device);
        driver_->Unload();
        instance_ = nullptr;
    }

    PDRIVER_OBJECT Object() { return driver_->Object(); }

    PDEVICE_OBJECT AddDevice(Handler handler, PCWSTR name = nullptr, ULONG flags = 0) {
        UNICODE_STRING device_name;
        if (name != nullptr) RtlInitUnicodeString(&device_name, name);
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = IoCreateDevice(Object(), 64, name != nullptr ? &device_name : nullptr, FILE_DEVICE_UNKNOWN,
                                         0, FALSE, &device);
        EXPECT_EQ(status, STATUS_SUCCESS);
        if (device == nullptr) return nullptr;
        device->Flags |= flags;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        handlers_[device] = std::move(handler);
        devices_.push_back(device);
        return device;
    }

    // Takes a device out of the driver's care (the test deletes it).
    void Forget(PDEVICE_OBJECT device) {
        handlers_.erase(device);
        std::erase(devices_, device);
    }

private:
    static NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
        for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction) dispatch = Dispatch;
        driver->DriverUnload = [](PDRIVER_OBJECT) {};
        return STATUS_SUCCESS;
    }
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
        NTSTATUS status = instance_->handlers_.at(device)(device, irp);
        std::vector<std::function<void()>> after = std::move(AfterDispatch());
        AfterDispatch().clear();
        for (auto &work : after) work();
        return status;
    }

    static inline BuiltinDriver *instance_ = nullptr;
    std::unique_ptr<tm350::ntos::Driver> driver_;
    std::map<PDEVICE_OBJECT, Handler> handlers_;
    std::vector<PDEVICE_OBJECT> devices_;
};

inline NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace tm350::test
