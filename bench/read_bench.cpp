// Reads frames from the simulated camera through the device channel, as the
// capture filter's capture thread does: the camera bound by BindCamera,
// streaming started, then ReadFrame back to back at real timing. For high
// and normal speed it reports the frames read whole, the frames lost on the
// way (counted exactly from the frame number the simulated camera writes at
// the start of line 0, so a frame that ReadFrame's resynchronisation skipped
// silently counts too), the frames ReadFrame itself dropped, and CPU time per
// frame: the reading thread's own, and the whole process's (which includes
// the simulated camera, bus and driver).
//
//   build/bin/read_bench [frames per speed, default 300]
//
// Exits 1 when a frame was lost or the camera failed: the goal is none.
#include <windows.h>

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "camera/device_binding.h"
#include "camera/device_channel.h"
#include "camera/raw_frame.h"
#include "sim/machine.h"

namespace {

double CpuSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

// The simulated camera's number of the frame, big-endian in bytes 0 to 3.
unsigned FrameNumberOf(const BYTE *raw) {
    return static_cast<unsigned>(raw[0]) << 24 | raw[1] << 16 | raw[2] << 8 | raw[3];
}

struct Outcome {
    unsigned read = 0;     // ReadFrame gave 1
    unsigned dropped = 0;  // ReadFrame gave 0
    // Frame numbers skipped between frames read: every frame the camera made
    // and we did not get, those ReadFrame dropped among them.
    unsigned lost = 0;
    bool failed = false;   // ReadFrame gave -1
    double threadCpu = 0;
    double processCpu = 0;
};

Outcome ReadFrames(CDeviceChannel &channel, unsigned frames) {
    Outcome outcome;
    std::vector<BYTE> raw(RAW_FRAME_SIZE);
    const double threadStart = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const double processStart = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    bool first = true;
    unsigned previous = 0;
    while (outcome.read < frames) {
        const int result = channel.ReadFrame(raw.data());
        if (result < 0) {
            outcome.failed = true;
            break;
        }
        if (result == 0) {
            ++outcome.dropped;
            continue;
        }
        ++outcome.read;
        const unsigned number = FrameNumberOf(raw.data());
        if (!first) outcome.lost += number - previous - 1;
        first = false;
        previous = number;
    }
    outcome.threadCpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - threadStart;
    outcome.processCpu = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processStart;
    return outcome;
}

}  // namespace

int main(int argc, char **argv) {
    const unsigned frames = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 300;
    tm350::sim::MachineOptions options;
    options.cameras = 1;
    options.timing = tm350::sim::Timing::Real;
    options.sensor.scene = tm350::sim::Scene::Chart;  // the scene that numbers its frames
    tm350::sim::Machine::Start(options);
    tm350::sim::Machine &machine = tm350::sim::Machine::Get();
    tm350::sim::Camera &camera = machine.CameraOf(machine.Cameras().front());

    int status = 0;
    for (BYTE speed : {1, 0}) {
        CCameraSettings settings;
        settings.SetDefaults();
        settings.Speed = speed;
        CDefectList defects = {};
        std::unique_ptr<CDeviceChannel> channel(BindCamera(0, settings, defects));
        if (!channel) {
            std::fprintf(stderr, "the camera could not be bound\n");
            return 1;
        }
        const tm350::sim::CameraCounters before = camera.Counters();
        channel->StartStreaming();
        const Outcome outcome = ReadFrames(*channel, frames);
        channel->StopStreaming();
        const tm350::sim::CameraCounters after = camera.Counters();
        channel.reset();
        const unsigned counted = outcome.read + outcome.dropped;
        std::printf("%s speed: %u frames read, %u lost, ReadFrame gave 0 %u times; camera lost %llu bytes "
                    "in %llu frames; CPU per frame %.2f ms reading, %.2f ms whole process%s\n",
                    speed == 1 ? "high" : "normal", outcome.read, outcome.lost, outcome.dropped,
                    static_cast<unsigned long long>(after.bytes_lost - before.bytes_lost),
                    static_cast<unsigned long long>(after.frames_short - before.frames_short),
                    counted != 0 ? 1000.0 * outcome.threadCpu / counted : 0.0,
                    counted != 0 ? 1000.0 * outcome.processCpu / counted : 0.0,
                    outcome.failed ? " (the camera failed)" : "");
        if (outcome.failed || outcome.lost != 0) status = 1;
    }
    machine.Shutdown();
    return status;
}
