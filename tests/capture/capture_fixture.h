// What the capture tests share: the simulated machine (fast timing, no
// camera until a test plugs one), a registry of each test's own with both
// capture modules registered in it, COM on the test's thread, and a graph
// with the capture filter, created by class identifier as an application
// creates it, connected to the recording sink.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "capture_sink.h"
#include "dshow/com_ptr.h"
#include "filter/invc480.h"
#include "filter/nvc480_identity.h"
#include "sim/machine.h"
#include "support/temp_directory.h"

namespace capture_test {

using tm350::sim::Camera;
using tm350::sim::CameraId;
using tm350::sim::CameraWrite;
using tm350::sim::Machine;
using tm350::test::ComPtr;

// Sample durations in 100 ns units.
constexpr REFERENCE_TIME kNormalSpeedDuration = 1330000;
constexpr REFERENCE_TIME kHighSpeedDuration = 670000;
constexpr LONG kSampleBytes = 1024 * 768 * 3;

// The machine the tests share: fast timing, started without cameras.
tm350::sim::MachineOptions TestMachineOptions();
Machine &TheMachine();

// The processor count GetSystemInfo reports while the object lives (filters
// created meanwhile read it).
class ScopedProcessors {
public:
    explicit ScopedProcessors(int count);
    ~ScopedProcessors();
};

// Bus frames in one sensor frame at normal speed.
constexpr uint32_t kNormalSpeedBusFrames = 133;

// Registers the native module of instance 0 or 2 in the current registry.
HRESULT RegisterModule(int instance);

// The capture filter of an instance, a graph around it and the sink it is
// connected to.
struct CaptureGraph {
    explicit CaptureGraph(int instance = 0);
    ~CaptureGraph();

    // The next event with `code` within 10 s, its first parameter in
    // *param; false when none came. Other events are skipped.
    bool NextEvent(LONG code, LONG_PTR *param = nullptr, LONG timeout_ms = 10000);
    // Stop, which must return within 30 s (the program ends otherwise).
    HRESULT StopPromptly();
    FILTER_STATE FilterState();

    ComPtr<IGraphBuilder> builder;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEventEx> events;
    ComPtr<IBaseFilter> filter;
    ComPtr<INVC480> camera;  // the pin's settings interface
    ComPtr<CaptureSink> sink;
    HRESULT connected = E_FAIL;
};

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs a camera in; the first one plugged becomes instance 0.
    Camera &Plug(tm350::sim::CameraOptions options = {});
    // Plugs a camera showing NumberedFrames, without a defect table.
    Camera &PlugNumbered();
    void UnplugAll();

    tm350::test::TempRegistry registry_;
    std::vector<CameraId> plugged_;
};

// The writes a camera took since the watch began or was last asked.
class WriteWatch {
public:
    explicit WriteWatch(Camera &camera) : camera_(camera), seen_(camera.WriteCount()) {}
    std::vector<CameraWrite> New();

private:
    Camera &camera_;
    uint64_t seen_;
};

// Waits until the camera has started `frames` more sensor frames.
void WaitSensorFrames(Camera &camera, uint64_t frames);

}  // namespace capture_test
