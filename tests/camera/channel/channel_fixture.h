// Tests of the device channel run it against the vexusb driver and a camera
// of the simulated machine, in fast timing, the way the output pin uses it.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "camera/device_channel.h"
#include "sim/machine.h"

namespace channel_test {

using tm350::sim::Camera;
using tm350::sim::CameraId;
using tm350::sim::CameraWrite;
using tm350::sim::Machine;

// The machine the tests share: started without cameras, in fast timing,
// with the counting pattern unless a camera asks for another scene.
Machine &TheMachine();

// A register write as the camera takes it (the page it went to included).
CameraWrite RegisterWrite(unsigned page, uint8_t address, uint32_t value);
CameraWrite ControlWord(uint16_t word);

// The writes a camera took since the watch began or was last asked.
class WriteWatch {
public:
    explicit WriteWatch(Camera &camera) : camera_(camera), seen_(camera.WriteCount()) {}
    std::vector<CameraWrite> New();

private:
    Camera &camera_;
    uint64_t seen_;
};

// Counts the bulk transfers the USB stack has been handed since the watch
// began or was last asked.
class BulkWatch {
public:
    BulkWatch();
    size_t New();

private:
    uint64_t seen_;
};

// A driver or channel that waits for ever would leave the test waiting for
// ever: a wait that runs out says what never ended and stops the program.
template <typename T>
T Await(std::future<T> &future, const char *what) {
    if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        std::fprintf(stderr, "%s never ended\n", what);
        std::abort();
    }
    return future.get();
}

// ReadFrame on a thread of its own that lives on until this object goes:
// the end of a thread cancels the I/O it issued, which would hide a read
// that ReadFrame left in flight.
class FrameReader {
public:
    FrameReader(CDeviceChannel &channel, BYTE *destination);
    ~FrameReader();
    FrameReader(const FrameReader &) = delete;
    FrameReader &operator=(const FrameReader &) = delete;
    // ReadFrame's result; stops the program when it has not come in 30 s.
    int Result(const char *what = "ReadFrame");
    bool Done() const;

private:
    std::promise<int> result_;
    std::future<int> future_;
    std::promise<void> release_;
    std::thread thread_;
};

// One camera plugged in for the test as instance 0, pulled out at its end.
class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs the test's camera.
    Camera &Plug(tm350::sim::CameraOptions options = {});
    // Pulls it out before the test ends.
    void Unplug();
    // A channel on instance 0 that Initialize has opened and programmed.
    std::unique_ptr<CDeviceChannel> InitializedChannel();
    // ReadFrame on a thread of its own, returning once its reads are with
    // the USB stack: a camera started after that loses no byte of its first
    // frame.
    std::unique_ptr<FrameReader> ReadFrameInBackground(CDeviceChannel &channel, BYTE *destination);

    std::vector<CameraId> plugged_;
    Camera *camera_ = nullptr;
};

}  // namespace channel_test
