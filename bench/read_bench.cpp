// Reads frames from the simulated camera the way the capture filter does,
// at real timing: per frame three overlapped reads of 301,056 bytes and one
// of 4,704 (the short one ends the frame), four reads kept outstanding. For
// normal and high speed it reports the frames read whole, the frames the
// camera lost on the way (its FIFO overflowed because no read was pending),
// and the process's CPU time per frame.
//
//   build/bin/read_bench [frames per speed, default 300]
#include <windows.h>
#include <winioctl.h>

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "driver/vexusb_interface.h"
#include "sim/machine.h"

namespace {

constexpr DWORD kSizes[4] = {301056, 301056, 301056, 4704};

double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

bool Control(HANDLE device, DWORD code, std::vector<BYTE> input) {
    DWORD bytes = 0;
    return DeviceIoControl(device, code, input.data(), static_cast<DWORD>(input.size()), nullptr, 0, &bytes,
                           nullptr) != FALSE;
}

// A vendor request to the camera with no data stage.
bool Vendor(HANDLE device, BYTE request, WORD value, WORD index) {
    return Control(device, IOCTL_CAM_CONTROL_REQUEST,
                   {0, 2, 0, 0, request, 0, static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                    static_cast<BYTE>(index), static_cast<BYTE>(index >> 8)});
}

struct Read {
    std::vector<BYTE> buffer = std::vector<BYTE>(kSizes[0]);
    OVERLAPPED overlapped{};
    DWORD size = 0;
};

struct Outcome {
    unsigned whole = 0;
    unsigned broken = 0;  // frames whose reads did not come back as 3 x 301,056 + 4,704
    double cpu = 0;
    bool failed = false;
};

// Streaming starts once the first four reads are pending, as the filter starts it.
Outcome ReadFrames(HANDLE device, unsigned frames) {
    Outcome outcome;
    Read reads[4];
    for (Read &read : reads) read.overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto issue = [&](Read &read, DWORD size) {
        read.size = size;
        ResetEvent(read.overlapped.hEvent);
        return ReadFile(device, read.buffer.data(), size, nullptr, &read.overlapped) ||
               GetLastError() == ERROR_IO_PENDING;
    };
    for (int k = 0; k < 4; ++k)
        if (!issue(reads[k], kSizes[k])) {
            std::fprintf(stderr, "read %d refused: error %lu\n", k, static_cast<unsigned long>(GetLastError()));
            outcome.failed = true;
        }
    if (!Vendor(device, 0x01, 3, 0x000F)) outcome.failed = true;
    const double start = CpuSeconds();
    bool frame_good = true;
    for (unsigned k = 0; !outcome.failed && outcome.whole + outcome.broken < frames; ++k) {
        Read &read = reads[k % 4];
        DWORD bytes = 0;
        if (!GetOverlappedResult(device, &read.overlapped, &bytes, TRUE)) {
            std::fprintf(stderr, "read %u failed: error %lu\n", k, static_cast<unsigned long>(GetLastError()));
            outcome.failed = true;
            break;
        }
        if (bytes != read.size) frame_good = false;
        if (k % 4 == 3) {
            (frame_good ? outcome.whole : outcome.broken) += 1;
            frame_good = true;
        }
        if (!issue(read, kSizes[k % 4])) outcome.failed = true;
    }
    outcome.cpu = CpuSeconds() - start;
    CancelIo(device);
    for (Read &read : reads) {
        DWORD bytes = 0;
        GetOverlappedResult(device, &read.overlapped, &bytes, TRUE);
        CloseHandle(read.overlapped.hEvent);
    }
    return outcome;
}

}  // namespace

int main(int argc, char **argv) {
    const unsigned frames = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 300;
    tm350::sim::MachineOptions options;
    options.cameras = 1;
    options.timing = tm350::sim::Timing::Real;
    tm350::sim::Machine::Start(options);
    tm350::sim::Machine &machine = tm350::sim::Machine::Get();
    tm350::sim::Camera &camera = machine.CameraOf(machine.Cameras().front());

    int status = 0;
    for (int speed : {1, 0}) {
        HANDLE device = CreateFileA("\\\\.\\TM350-0", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (device == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "no camera\n");
            return 1;
        }
        // Register 0x30: 1 normal speed, 0 high speed; the data pipe fresh.
        const bool ready = Control(device, IOCTL_CAM_ENABLE_READ, {1, 0}) &&
                           Control(device, IOCTL_CAM_RESET_PIPE, {1, 0, 0, 0}) &&
                           Vendor(device, 0x18, 0, static_cast<WORD>(0x3000 | speed));
        const tm350::sim::CameraCounters before = camera.Counters();
        Outcome outcome;
        if (ready) outcome = ReadFrames(device, frames);
        else outcome.failed = true;
        Vendor(device, 0x01, 1, 0x000F);
        Vendor(device, 0x01, 0, 0x000F);
        const tm350::sim::CameraCounters after = camera.Counters();
        CloseHandle(device);
        const unsigned read = outcome.whole + outcome.broken;
        std::printf("%s speed: %u frames read, %u whole, %u broken; camera lost %llu bytes in %llu frames; "
                    "CPU %.2f ms per frame%s\n",
                    speed == 1 ? "normal" : "high", read, outcome.whole, outcome.broken,
                    static_cast<unsigned long long>(after.bytes_lost - before.bytes_lost),
                    static_cast<unsigned long long>(after.frames_short - before.frames_short),
                    read != 0 ? 1000.0 * outcome.cpu / read : 0.0, outcome.failed ? " (a read failed)" : "");
        if (outcome.failed || outcome.broken != 0) status = 1;
    }
    machine.Shutdown();
    return status;
}
