// Loading and unloading drivers: what the service control manager and the
// PnP manager do with a driver image before any device is added to it.
//
// A driver module is a shared object that exports
//   extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING RegistryPath)
// and links libtm350ntoskrnl the way a .sys imports ntoskrnl.exe.
//
//   auto load = tm350::ntos::LoadDriver("build/lib/testecho.so");
//   if (!NT_SUCCESS(load.status)) ...;
//   DRIVER_OBJECT *driver = load.driver->Object();   // MajorFunction, DriverExtension->AddDevice ...
//   ...
//   load.driver->Unload();   // DriverUnload, then the verifier's checks, then the module goes
//
// A PnP manager built on this calls DriverExtension->AddDevice itself and
// sends IRP_MJ_PNP and IRP_MJ_POWER with IoCallDriver.
#pragma once

#include <wdm.h>

#include <memory>
#include <string>
#include <string_view>

namespace tm350::ntos {

class Driver {
public:
    ~Driver();  // unloads the driver if it can be unloaded; one without DriverUnload stays resident
    Driver(const Driver &) = delete;
    Driver &operator=(const Driver &) = delete;

    DRIVER_OBJECT *Object();
    // "\Driver\NAME".
    const std::u16string &Name() const;
    bool Loaded() const { return loaded_; }

    // Calls DriverUnload at PASSIVE_LEVEL, then checks, fatally, that the
    // driver deleted all its device objects, that none of them is still
    // referenced (open files, attached devices) and that no pool, IRP, MDL
    // or work item charged to the module is left; then closes the module.
    // STATUS_INVALID_DEVICE_REQUEST, with nothing done, when the driver has
    // no unload routine.
    NTSTATUS Unload();

    struct State;

private:
    explicit Driver(std::unique_ptr<State> state);
    static struct DriverLoad Start(std::unique_ptr<State> state);
    friend struct DriverLoad LoadDriver(const std::string &path);
    friend struct DriverLoad LoadBuiltinDriver(std::u16string_view name, PDRIVER_INITIALIZE entry);

    std::unique_ptr<State> state_;
    bool loaded_ = true;
};

struct DriverLoad {
    NTSTATUS status;
    std::unique_ptr<Driver> driver;  // set when status is a success
};

// Loads the module at `path`, named after its file ("testecho.so" is
// "\Driver\testecho"), and runs its DriverEntry. Failures: STATUS_DLL_NOT_FOUND
// (no such module), STATUS_DRIVER_ENTRYPOINT_NOT_FOUND, STATUS_IMAGE_ALREADY_LOADED
// (a driver of that name is loaded), or what DriverEntry returned -- in which
// case the driver must have released everything it took (checked fatally).
DriverLoad LoadDriver(const std::string &path);

// The same for a driver linked into the program (the USB stack's own
// drivers, test code): no module, and no pool attribution to it.
DriverLoad LoadBuiltinDriver(std::u16string_view name, PDRIVER_INITIALIZE entry);

}  // namespace tm350::ntos
