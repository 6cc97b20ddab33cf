// Driver loading: the module, the driver object, DriverEntry, and the
// verifier's checks when a driver goes.
#include "kernel/driver_loader.h"

#include "kernel/devices.h"
#include "kernel/irp_internal.h"
#include "kernel/kernel_api.h"
#include "kernel/pool.h"
#include "kernel/verifier.h"

#include "common/text.h"

#include <dlfcn.h>
#include <link.h>

#include <filesystem>
#include <mutex>
#include <vector>

namespace tm350::ntos {

PDRIVER_DISPATCH DefaultDispatchRoutine();

struct Driver::State {
    void *module = nullptr;  // dlopen handle; null for a built-in driver
    ModuleId module_id = 0;
    std::u16string name;          // "\Driver\x"
    std::u16string service_name;  // "x"
    std::u16string registry_path;
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    UNICODE_STRING registry_path_string{};
};

namespace {

std::string Narrow(std::u16string_view text) { return tm350::text::Utf16ToUtf8(text); }

UNICODE_STRING CountedString(std::u16string &text) {
    UNICODE_STRING string;
    string.Buffer = reinterpret_cast<PWSTR>(text.data());
    string.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    string.MaximumLength = string.Length;
    return string;
}

// The address range of a loaded module's segments, for pool attribution.
bool ModuleRange(void *handle, const void **begin, const void **end) {
    link_map *map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return false;
    struct Search {
        ElfW(Addr) base;
        uintptr_t low = UINTPTR_MAX;
        uintptr_t high = 0;
    } search{map->l_addr};
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) {
            auto *search = static_cast<Search *>(data);
            if (info->dlpi_addr != search->base) return 0;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr) &segment = info->dlpi_phdr[i];
                if (segment.p_type != PT_LOAD) continue;
                uintptr_t start = info->dlpi_addr + segment.p_vaddr;
                search->low = std::min<uintptr_t>(search->low, start);
                search->high = std::max<uintptr_t>(search->high, start + segment.p_memsz);
            }
            return 1;
        },
        &search);
    if (search.high == 0) return false;
    *begin = reinterpret_cast<const void *>(search.low);
    *end = reinterpret_cast<const void *>(search.high);
    return true;
}

// Drivers without an unload routine stay for the rest of the process.
std::vector<std::unique_ptr<Driver::State>> &ResidentDrivers() {
    static auto *drivers = new std::vector<std::unique_ptr<Driver::State>>;
    return *drivers;
}

void InitializeObject(Driver::State &state, PDRIVER_INITIALIZE entry) {
    DRIVER_OBJECT &object = state.object;
    object.Type = kIoTypeDriver;
    object.Size = sizeof(DRIVER_OBJECT);
    object.DriverExtension = &state.extension;
    object.DriverName = CountedString(state.name);
    object.DriverInit = entry;
    for (PDRIVER_DISPATCH &dispatch : object.MajorFunction) dispatch = DefaultDispatchRoutine();
    state.extension.DriverObject = &object;
    state.extension.ServiceKeyName = CountedString(state.service_name);
    state.registry_path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + state.service_name;
    state.registry_path_string = CountedString(state.registry_path);
}

// What a driver that goes (unloaded, or failed in DriverEntry) must have
// given back.
void CheckNothingLeft(Driver::State &state, const char *when) {
    std::string name = Narrow(state.name);
    DriverDevices devices = DevicesOf(&state.object);
    auto join = [](const std::vector<std::string> &names) {
        std::string text;
        for (const std::string &name : names) text += (text.empty() ? "" : ", ") + name;
        return text;
    };
    if (!devices.present.empty()) {
        VerifierFailure("driver %s %s with device object(s) not deleted: %s", name.c_str(), when,
                        join(devices.present).c_str());
    }
    if (!devices.still_referenced.empty()) {
        VerifierFailure("driver %s %s while its deleted device object(s) are still referenced (open files or "
                        "attached devices): %s",
                        name.c_str(), when, join(devices.still_referenced).c_str());
    }
    if (state.module_id != 0) {
        std::vector<PoolUsage> usage = PoolUsageOf(state.module_id);
        if (!usage.empty()) {
            VerifierFailure("driver %s %s without freeing its pool: %s", name.c_str(), when,
                            DescribeUsage(usage).c_str());
        }
    }
}

void Release(Driver::State &state) {
    RemoveDriverName(state.name);
    if (state.module_id != 0) UnregisterModule(state.module_id);
    if (state.module != nullptr) dlclose(state.module);
    state.module = nullptr;
}

}  // namespace

Driver::Driver(std::unique_ptr<State> state) : state_(std::move(state)) {}

Driver::~Driver() {
    if (!loaded_) return;
    if (state_->object.DriverUnload != nullptr) {
        Unload();
    } else {
        ResidentDrivers().push_back(std::move(state_));
    }
}

DRIVER_OBJECT *Driver::Object() { return &state_->object; }

const std::u16string &Driver::Name() const { return state_->name; }

NTSTATUS Driver::Unload() {
    RequireIrqlAtMost(PASSIVE_LEVEL, "unloading a driver");
    if (!loaded_) return STATUS_INVALID_DEVICE_REQUEST;
    State &state = *state_;
    if (state.object.DriverUnload == nullptr) {
        Log("driver %s has no unload routine: it stays loaded", Narrow(state.name).c_str());
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // Closes and work items queued before the unload reach the driver first.
    FlushSystemWorker();
    state.object.DriverUnload(&state.object);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        VerifierFailure("DriverUnload of %s returned at IRQL %u", Narrow(state.name).c_str(), KeGetCurrentIrql());
    }
    FlushSystemWorker();
    CheckNothingLeft(state, "unloaded");
    Log("driver %s unloaded", Narrow(state.name).c_str());
    Release(state);
    loaded_ = false;
    return STATUS_SUCCESS;
}

DriverLoad Driver::Start(std::unique_ptr<State> state) {
    NTSTATUS status = InsertDriverName(state->name);
    if (!NT_SUCCESS(status)) {
        state->name.clear();  // not ours to remove
        if (state->module_id != 0) UnregisterModule(state->module_id);
        if (state->module != nullptr) dlclose(state->module);
        return {status, nullptr};
    }
    status = state->object.DriverInit(&state->object, &state->registry_path_string);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        VerifierFailure("DriverEntry of %s returned at IRQL %u", Narrow(state->name).c_str(), KeGetCurrentIrql());
    }
    Log("DriverEntry of %s: 0x%08X", Narrow(state->name).c_str(), static_cast<unsigned>(status));
    if (!NT_SUCCESS(status)) {
        // No DriverUnload after a failed DriverEntry: it must clean up itself.
        FlushSystemWorker();
        CheckNothingLeft(*state, "failed DriverEntry");
        Release(*state);
        return {status, nullptr};
    }
    FinishDeviceInitialization(&state->object);
    return {status, std::unique_ptr<Driver>(new Driver(std::move(state)))};
}

DriverLoad LoadDriver(const std::string &path) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "LoadDriver");
    void *module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        Log("LoadDriver(%s): %s", path.c_str(), dlerror());
        return {STATUS_DLL_NOT_FOUND, nullptr};
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module, "DriverEntry"));
    if (entry == nullptr) {
        Log("LoadDriver(%s): no DriverEntry", path.c_str());
        dlclose(module);
        return {STATUS_DRIVER_ENTRYPOINT_NOT_FOUND, nullptr};
    }
    auto state = std::make_unique<Driver::State>();
    state->module = module;
    const void *begin = nullptr;
    const void *end = nullptr;
    if (ModuleRange(module, &begin, &end)) {
        state->module_id = RegisterModule(begin, end);
        state->object.DriverStart = const_cast<void *>(begin);
        state->object.DriverSize = static_cast<ULONG>(static_cast<const char *>(end) - static_cast<const char *>(begin));
    }
    std::string stem = std::filesystem::path(path).stem().string();
    state->service_name = tm350::text::Utf8ToUtf16(stem);
    state->name = u"\\Driver\\" + state->service_name;
    InitializeObject(*state, entry);
    return Driver::Start(std::move(state));
}

DriverLoad LoadBuiltinDriver(std::u16string_view name, PDRIVER_INITIALIZE entry) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "LoadBuiltinDriver");
    auto state = std::make_unique<Driver::State>();
    state->service_name = std::u16string(name);
    state->name = u"\\Driver\\" + state->service_name;
    InitializeObject(*state, entry);
    return Driver::Start(std::move(state));
}

}  // namespace tm350::ntos
