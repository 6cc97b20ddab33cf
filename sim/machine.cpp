#include "sim/machine.h"

#include <dlfcn.h>

#include <wdm.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "kernel/devices.h"
#include "kernel/driver_loader.h"
#include "kernel/kernel_api.h"
#include "kernel/pnp_manager.h"
#include "kernel/power.h"
#include "kernel/pool.h"
#include "sim/stack_faults.h"
#include "usb/usb_bus.h"
#include "usb/usb_log.h"

namespace tm350::sim {

namespace {

bool ParseUnsigned(std::string_view text, unsigned *value) {
    if (text.empty() || text.size() > 9) return false;
    unsigned result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        result = result * 10 + static_cast<unsigned>(c - '0');
    }
    *value = result;
    return true;
}

// The driver module sits beside this library.
std::string DriverPath() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&DriverPath), &info) == 0 || info.dli_fname == nullptr) return "vexusb.so";
    std::string path = info.dli_fname;
    const size_t slash = path.rfind('/');
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "vexusb.so";
}

struct PluggedCamera {
    std::unique_ptr<Camera> camera;
    PDEVICE_OBJECT pdo = nullptr;
};

}  // namespace

std::optional<MachineOptions> ParseMachineOptions(std::string_view text, std::string *error) {
    MachineOptions options;
    while (!text.empty()) {
        const size_t end = text.find(';');
        std::string_view pair = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (pair.empty()) continue;
        const size_t equals = pair.find('=');
        const std::string_view key = pair.substr(0, equals);
        const std::string_view value = equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
        bool good = equals != std::string_view::npos;
        if (good && key == "cameras")
            good = ParseUnsigned(value, &options.cameras) && options.cameras <= 8;
        else if (good && key == "timing" && (value == "real" || value == "fast"))
            options.timing = value == "fast" ? Timing::Fast : Timing::Real;
        else if (good && key == "scene" && (value == "chart" || value == "pattern"))
            options.sensor.scene = value == "pattern" ? Scene::Pattern : Scene::Chart;
        else if (good && key == "noise" && (value == "on" || value == "off"))
            options.sensor.noise = value == "off" ? Noise::Off : Noise::On;
        else if (good && key == "seed")
            good = ParseUnsigned(value, &options.sensor.seed);
        else if (good && key == "unplug")
            good = ParseUnsigned(value, &options.unplug_after_frames) && options.unplug_after_frames > 0;
        else
            good = false;
        if (!good) {
            if (error != nullptr)
                *error = "TM350_SIM: \"" + std::string(pair) +
                         "\" is not cameras=0..8, timing=real|fast, scene=chart|pattern, noise=on|off, seed=N or unplug=F";
            return std::nullopt;
        }
    }
    return options;
}

struct Machine::State {
    mutable std::mutex mutex;  // guards the camera list; PnP requests run outside it
    std::unique_ptr<usb::UsbBus> bus;
    std::unique_ptr<ntos::Driver> driver;
    std::map<CameraId, PluggedCamera> cameras;
    // Cameras pulled out: kept until the machine shuts down, because a
    // stack waiting for its last close still has the PDO of one.
    std::vector<std::unique_ptr<Camera>> departed;
    // Each camera's stack faults, kept until shutdown: a test may lift a
    // hold while the camera is being removed.
    std::map<CameraId, StackFaults *> faults;
    CameraId next_id = 0;
    SensorOptions sensor;  // for cameras plugged without a choice of their own
    bool running = false;
    // Pulls cameras out after a number of frames (unplug=F), while set.
    std::thread unplugger;
    std::atomic<bool> stop_unplugger{false};
};

namespace {

std::mutex g_start_mutex;
Machine *g_machine = nullptr;

}  // namespace

void Machine::HaltAtExit() {
    if (g_machine == nullptr) return;
    // The puller may be removing a camera, which needs the bus running.
    g_machine->StopPullingCameras();
    if (g_machine->state_->bus) g_machine->state_->bus->Halt();
}

void Machine::PullCamerasAfter(uint64_t frames) {
    while (!state_->stop_unplugger.load()) {
        state_->bus->WaitFrames(1);
        std::vector<CameraId> due;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            for (const auto &[id, plugged] : state_->cameras)
                if (plugged.camera->Counters().frames_completed >= frames) due.push_back(id);
        }
        for (CameraId id : due) Unplug(id);
    }
}

void Machine::StopPullingCameras() {
    state_->stop_unplugger.store(true);
    if (state_->unplugger.joinable()) state_->unplugger.join();
}

Machine::Machine(const MachineOptions &options) : state_(new State) { PowerOn(options); }

void Machine::PowerOn(const MachineOptions &options) {
    state_->sensor = options.sensor;
    state_->bus = std::make_unique<usb::UsbBus>(options.timing == Timing::Fast ? usb::FrameTiming::Fast
                                                                              : usb::FrameTiming::Real);
    ntos::DriverLoad load = ntos::LoadDriver(DriverPath());
    if (!NT_SUCCESS(load.status))
        usb::ContractViolation("the vexusb driver did not load from %s (status 0x%08X)", DriverPath().c_str(),
                               static_cast<unsigned>(load.status));
    state_->driver = std::move(load.driver);
    if (!LoadStackFaultDriver()) usb::ContractViolation("the stack fault filter did not load");
    state_->running = true;
    for (unsigned i = 0; i < options.cameras; ++i) Plug();
    if (options.unplug_after_frames > 0) {
        state_->stop_unplugger.store(false);
        const uint64_t frames = options.unplug_after_frames;
        state_->unplugger = std::thread([this, frames] { PullCamerasAfter(frames); });
    }
}

bool Machine::Start(const MachineOptions &options) {
    std::lock_guard<std::mutex> lock(g_start_mutex);
    if (g_machine == nullptr) {
        g_machine = new Machine(options);
        std::atexit(HaltAtExit);
        return true;
    }
    if (g_machine->state_->running) return false;
    g_machine->PowerOn(options);
    return true;
}

bool Machine::Running() const { return state_->running; }

Machine &Machine::Get() {
    {
        std::lock_guard<std::mutex> lock(g_start_mutex);
        if (g_machine != nullptr) return *g_machine;
    }
    MachineOptions options;
    if (const char *text = std::getenv("TM350_SIM"); text != nullptr) {
        std::string error;
        if (auto parsed = ParseMachineOptions(text, &error))
            options = *parsed;
        else
            std::fprintf(stderr, "tm350: %s; using the defaults\n", error.c_str());
    }
    Start(options);
    return *g_machine;
}

CameraId Machine::Plug(CameraOptions options, long *start_status, PlugFaults faults) {
    if (!options.sensor) options.sensor = state_->sensor;
    auto camera = std::make_unique<Camera>(std::move(options));
    PDEVICE_OBJECT pdo = state_->bus->Plug(*camera);
    StackFaults *stack_faults = pdo != nullptr ? AttachStackFaults(pdo) : nullptr;
    if (stack_faults != nullptr && faults.lower_start_fails) FailNextStart(*stack_faults);
    if (faults.stalled_control_transfers > 0) camera->StallNextControlTransfers(faults.stalled_control_transfers);
    CameraId id;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        id = state_->next_id++;
        state_->cameras[id] = PluggedCamera{std::move(camera), pdo};
        if (stack_faults != nullptr) state_->faults[id] = stack_faults;
    }
    const NTSTATUS status = pdo != nullptr ? ntos::StartDevice(pdo, *state_->driver) : STATUS_NO_SUCH_DEVICE;
    if (start_status != nullptr) *start_status = status;
    return id;
}

long Machine::Unplug(CameraId camera, Removal removal) {
    PDEVICE_OBJECT pdo;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        auto it = state_->cameras.find(camera);
        if (it == state_->cameras.end()) return STATUS_NO_SUCH_DEVICE;
        pdo = it->second.pdo;
    }
    // The camera stays listed while its stack is asked and removed, so that
    // a test can reach it meanwhile; a veto leaves it plugged and working.
    NTSTATUS status = STATUS_SUCCESS;
    if (pdo != nullptr && removal == Removal::Orderly) {
        status = ntos::RemoveDevice(pdo, ntos::Removal::Orderly);
        if (!NT_SUCCESS(status)) return status;
    }
    PluggedCamera plugged;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        auto it = state_->cameras.find(camera);
        plugged = std::move(it->second);
        state_->cameras.erase(it);
    }
    if (plugged.pdo != nullptr) {
        plugged.camera->SetAttached(false);
        state_->bus->Unplug(plugged.pdo);
        // The stack goes (surprise), or the PDO that stayed behind (orderly).
        const NTSTATUS surprise = ntos::RemoveDevice(plugged.pdo, ntos::Removal::Surprise);
        if (removal == Removal::Surprise) status = surprise;
    }
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->departed.push_back(std::move(plugged.camera));
    return status;
}

Camera &Machine::CameraOf(CameraId camera) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return *state_->cameras.at(camera).camera;
}

std::vector<CameraId> Machine::Cameras() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::vector<CameraId> ids;
    for (const auto &[id, plugged] : state_->cameras) ids.push_back(id);
    return ids;
}

namespace {

std::vector<PDEVICE_OBJECT> Stacks(Machine::State &state) {
    std::lock_guard<std::mutex> lock(state.mutex);
    std::vector<PDEVICE_OBJECT> pdos;
    for (const auto &[id, plugged] : state.cameras)
        if (plugged.pdo != nullptr) pdos.push_back(plugged.pdo);
    return pdos;
}

PDEVICE_OBJECT StackOf(Machine::State &state, CameraId camera) {
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.cameras.at(camera).pdo;
}

}  // namespace

void Machine::Sleep() {
    for (PDEVICE_OBJECT pdo : Stacks(*state_)) ntos::SetSystemPower(pdo, PowerSystemSleeping3);
}

void Machine::Resume() {
    for (PDEVICE_OBJECT pdo : Stacks(*state_)) ntos::SetSystemPower(pdo, PowerSystemWorking);
}

long Machine::QueryCapabilities(CameraId camera, uint16_t version, bool *surprise_removal_ok) {
    PDEVICE_OBJECT pdo = StackOf(*state_, camera);
    DEVICE_CAPABILITIES capabilities;
    const NTSTATUS status = ntos::QueryCapabilities(pdo, version, &capabilities);
    if (surprise_removal_ok != nullptr) *surprise_removal_ok = capabilities.SurpriseRemovalOK;
    return status;
}

namespace {

StackFaults &FaultsOf(Machine::State &state, CameraId camera) {
    std::lock_guard<std::mutex> lock(state.mutex);
    auto found = state.faults.find(camera);
    if (found == state.faults.end()) usb::ContractViolation("camera %u has no stack fault filter", camera);
    return *found->second;
}

}  // namespace

void Machine::HoldControlTransfers(CameraId camera, ControlHold hold) {
    const Hold filter_hold = hold == ControlHold::Off           ? Hold::Off
                             : hold == ControlHold::Cancellable ? Hold::Cancellable
                                                                : Hold::Stuck;
    sim::HoldControlTransfers(FaultsOf(*state_, camera), filter_hold);
}

void Machine::WaitForHeldTransfers(CameraId camera, size_t count) {
    sim::WaitForHeldTransfers(FaultsOf(*state_, camera), count);
}

void Machine::WaitForPipeAborts(CameraId camera, size_t count) {
    sim::WaitForPipeAborts(FaultsOf(*state_, camera), count);
}

void Machine::FailDevicePowerRequests(bool fail) { ntos::SetPowerRequestFailure(fail); }

void Machine::WaitForPendingWork() {
    // A removal can queue work items, and work items can end a last close.
    for (int round = 0; round < 2; ++round) {
        ntos::FlushSystemWorker();
        ntos::FlushPnpWork();
    }
}

size_t Machine::DriverDeviceCount() const {
    if (!state_->driver) return 0;
    const ntos::DriverDevices devices = ntos::DevicesOf(state_->driver->Object());
    return devices.present.size() + devices.still_referenced.size();
}

size_t Machine::DriverPoolBlocks() const {
    size_t blocks = 0;
    if (!state_->driver) return 0;
    for (const ntos::PoolUsage &usage : ntos::PoolUsageOf(ntos::ModuleOf(state_->driver->Object()->DriverStart)))
        blocks += usage.blocks;
    return blocks;
}

int Machine::ReportedPowerState(CameraId camera) const {
    PDEVICE_OBJECT top = ntos::ReferenceAttachedTop(StackOf(*state_, camera));
    const DEVICE_POWER_STATE state = ntos::DevicePowerStateOf(top);
    ntos::DereferenceDevice(top);
    return static_cast<int>(state);
}

long Machine::StopDevice(CameraId camera) { return ntos::SendPnp(StackOf(*state_, camera), IRP_MN_STOP_DEVICE); }

long Machine::StartDevice(CameraId camera) { return ntos::SendPnp(StackOf(*state_, camera), IRP_MN_START_DEVICE); }

uint32_t Machine::FrameNumber() const { return state_->bus->FrameNumber(); }

void Machine::WaitFrames(uint32_t frames) { state_->bus->WaitFrames(frames); }

void Machine::Shutdown(std::chrono::milliseconds handles_bound) {
    StopPullingCameras();
    for (CameraId id : Cameras()) Unplug(id);
    // Every request on a pulled camera has ended; each stack goes once the
    // programs holding its handles have seen that and closed them.
    const auto deadline = std::chrono::steady_clock::now() + handles_bound;
    for (;;) {
        WaitForPendingWork();
        const size_t left = DriverDeviceCount();
        if (left == 0) break;
        if (std::chrono::steady_clock::now() >= deadline)
            usb::ContractViolation("machine shutdown: %zu camera device(s) still open after %lld ms; every handle "
                                   "must be closed before the machine stops",
                                   left, static_cast<long long>(handles_bound.count()));
        state_->bus->WaitFrames(1);
    }
    state_->driver->Unload();
    state_->driver.reset();
    UnloadStackFaultDriver();
    for (auto &[id, faults] : state_->faults) FreeStackFaults(faults);
    state_->faults.clear();
    state_->bus.reset();
    state_->departed.clear();
    state_->running = false;
}

}  // namespace tm350::sim

// What the platform calls the first time a program opens a device path.
extern "C" __attribute__((visibility("default"))) void tm350_machine_boot() { tm350::sim::Machine::Get(); }
