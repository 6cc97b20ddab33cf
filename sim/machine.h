// The simulated machine: a USB bus with cameras on it, the kernel's PnP
// manager, and the vexusb driver loaded for them. One per process, started
// on first use; everything a Windows-style program opens as "\\.\TM350-N"
// is a camera of this machine. It can be stopped (Shutdown) and started
// again (Start) within the process, as a machine is switched off and on:
// a stop pulls every camera out, so what programs wait for on them ends,
// and waits (bounded) for the programs to close their handles before the
// driver unloads with the kernel verifier's leak checks. A test that stops
// the machine while requests are in flight collects them and closes its
// handles on another thread than the one that stops it.
//
// The environment variable TM350_SIM configures it with key=value pairs
// separated by ';':
//   cameras=N      cameras plugged in at start, 0 to 8 (default 1); they get
//                  the instance digits 0, 1, ... in plug order
//   timing=real    a bus frame every 1 ms, so frames come every 133 or 67 ms
//   timing=fast    a bus frame every 0.1 ms: everything ten times faster
//   scene=chart    the cameras' sensors look at the colour chart (default)
//   scene=pattern  the cameras send the counting pattern instead
//   noise=on|off   the sensors' noise (default on)
//   seed=N         the noise's seed, 0 to 999999999 (default 1)
//   unplug=F       every camera is pulled out (a surprise removal) once the
//                  host has taken F frames from it, as a user pulls the cable
//                  in the middle of a capture; 1 to 999999999
// The scene, noise and seed go to every camera the machine plugs whose
// options leave the sensor unset.
//
// This header carries no Windows types, so tests that use <windows.h> can
// drive the machine too.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/camera.h"

namespace tm350::sim {

enum class Timing : uint8_t { Real, Fast };

struct MachineOptions {
    unsigned cameras = 1;
    Timing timing = Timing::Real;
    SensorOptions sensor;
    // Pulls each camera out once the host has taken this many frames from
    // it (frames_completed); 0: never.
    unsigned unplug_after_frames = 0;
};

// Parses TM350_SIM's text. An unknown key or a bad value is an error that
// names it; nothing is returned then.
std::optional<MachineOptions> ParseMachineOptions(std::string_view text, std::string *error);

enum class Removal : uint8_t {
    // The camera is pulled out: its stack gets IRP_MN_SURPRISE_REMOVAL at
    // once and IRP_MN_REMOVE_DEVICE when the last handle to it is closed.
    Surprise,
    // The stack is asked and removed while the camera is present, then the
    // camera is pulled out. Handles open on it veto that: the camera then
    // stays plugged and working.
    Orderly,
};

enum class ControlHold : uint8_t {
    Off,
    Cancellable,  // a held transfer ends when it is cancelled
    Stuck,        // it ends only when the hold is lifted
};

// Faults of a camera's stack below the driver, armed before its start.
struct PlugFaults {
    bool lower_start_fails = false;      // the lower stack fails IRP_MN_START_DEVICE
    unsigned stalled_control_transfers = 0;  // the camera stalls the driver's first N control transfers
};

using CameraId = unsigned;

class Machine {
public:
    // The machine of this process, started with the options of TM350_SIM on
    // the first call. A configuration error is reported on stderr and the
    // default is used for that pair.
    static Machine &Get();
    // Starts the machine with these options instead, or starts it again after
    // a Shutdown (the same object: references to it stay good); false when it
    // runs already.
    static bool Start(const MachineOptions &options);
    bool Running() const;

    // Plugs a new camera in and starts its device stack; the NTSTATUS of the
    // start (or of AddDevice) goes to *start_status when given.
    CameraId Plug(CameraOptions options = {}, long *start_status = nullptr, PlugFaults faults = {});
    // The NTSTATUS of the removal: STATUS_PENDING for a surprise removal
    // whose stack waits for handles to close, a veto of an orderly one.
    long Unplug(CameraId camera, Removal removal = Removal::Surprise);
    Camera &CameraOf(CameraId camera);
    std::vector<CameraId> Cameras() const;

    // IRP_MN_STOP_DEVICE, then IRP_MN_START_DEVICE again, to a camera's
    // stack (as when its resources are rebalanced); the NTSTATUS of each.
    long StopDevice(CameraId camera);
    long StartDevice(CameraId camera);

    // The whole machine sleeps (S3) and wakes (S0), every camera stack with it.
    void Sleep();
    void Resume();

    // IRP_MN_QUERY_CAPABILITIES for a camera's stack with a record of this
    // version; the NTSTATUS, and whether the stack set SurpriseRemovalOK.
    long QueryCapabilities(CameraId camera, uint16_t version, bool *surprise_removal_ok);

    uint32_t FrameNumber() const;
    void WaitFrames(uint32_t frames);

    // The camera's control transfers stay pending below the driver, as if
    // the camera never answered, until they are cancelled (Cancellable) or
    // the hold is lifted (Off), when the held ones go on to the camera.
    void HoldControlTransfers(CameraId camera, ControlHold hold);
    // Returns once `count` control transfers of the camera are held.
    void WaitForHeldTransfers(CameraId camera, size_t count);
    // Returns once the driver has sent `count` abort-pipe requests for the
    // camera in all.
    void WaitForPipeAborts(CameraId camera, size_t count);
    // While set, the driver's device power requests fail.
    void FailDevicePowerRequests(bool fail);

    // Returns once the work the system has been handed so far is done:
    // work items, closes finishing on the system worker, and removals
    // released by a last close.
    void WaitForPendingWork();

    // What the driver holds: its device objects (deleted ones still
    // referenced included) and its live pool blocks.
    size_t DriverDeviceCount() const;
    size_t DriverPoolBlocks() const;
    // The device power state the driver last reported for a camera's
    // device object (1 for D0 ... 4 for D3); D0 until it reports one.
    int ReportedPowerState(CameraId camera) const;

    // Stops the machine: pulls every camera out (a surprise removal), which
    // ends the requests in flight on them; waits up to `handles_bound` for
    // the handles still open on them to be closed, so that each stack's
    // removal finishes; then unloads the driver, which runs the kernel
    // verifier's checks for leaks. A handle still open after the bound is
    // fatal. Start brings the machine up again.
    void Shutdown(std::chrono::milliseconds handles_bound = std::chrono::seconds(30));

    struct State;

private:
    explicit Machine(const MachineOptions &options);
    void PowerOn(const MachineOptions &options);
    // At the end of the process the host controller stops, so that no frame
    // runs while the libraries go away. Nothing is unloaded: a program may
    // end with handles open, as it may on Windows.
    static void HaltAtExit();
    // The thread behind MachineOptions::unplug_after_frames.
    void PullCamerasAfter(uint64_t frames);
    void StopPullingCameras();
    State *state_;
};

}  // namespace tm350::sim
