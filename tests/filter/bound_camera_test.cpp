// The filter with a camera of the simulated machine bound: what it reports
// while paused, what the camera control interface writes to the camera, and
// which camera each build's module binds.
#include "capture_module_fixture.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

#include <qedit.h>

#include <condition_variable>
#include <mutex>

#include "sim/machine.h"

EXTERN_C const CLSID CLSID_SampleGrabber;

namespace filter_test {
namespace {

using tm350::sim::Camera;
using tm350::sim::CameraId;
using tm350::sim::CameraWrite;
using tm350::sim::Machine;

Machine &TheMachine() {
    static Machine &machine = []() -> Machine & {
        tm350::sim::MachineOptions options;
        options.cameras = 0;
        options.timing = tm350::sim::Timing::Fast;
        Machine::Start(options);
        return Machine::Get();
    }();
    return machine;
}

bool IsRegister(const CameraWrite &write, uint8_t address, uint32_t value) {
    return write.kind == CameraWrite::Kind::Register && write.address == address && write.value == value;
}

bool IsSpeedWrite(const CameraWrite &write) {
    return write.kind == CameraWrite::Kind::Register && (write.address == 0x30 || write.address == 0x36);
}

// The writes a camera took since the watch began or was last asked.
class WriteWatch {
public:
    explicit WriteWatch(Camera &camera) : camera_(camera), seen_(camera.WriteCount()) {}
    std::vector<CameraWrite> New() {
        const uint64_t count = camera_.WriteCount();
        const std::vector<CameraWrite> recent = camera_.Writes();
        const size_t fresh = static_cast<size_t>(std::min<uint64_t>(count - seen_, recent.size()));
        seen_ = count;
        return std::vector<CameraWrite>(recent.end() - fresh, recent.end());
    }

private:
    Camera &camera_;
    uint64_t seen_;
};

// A call that must come back within 30 s; the program ends otherwise, since
// a hang would hold every later test.
template <typename T>
T Await(std::future<T> &future, const char *what) {
    if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        std::fprintf(stderr, "%s never returned\n", what);
        std::abort();
    }
    return future.get();
}

// Says when the first sample has passed on its way to the renderer.
class FirstSample final : public ISampleGrabberCB {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **object) override {
        if (riid == IID_IUnknown || riid == IID_ISampleGrabberCB) {
            *object = static_cast<ISampleGrabberCB *>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // Lives on the test's stack, longer than the graph.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP SampleCB(double, IMediaSample *) override {
        std::lock_guard lock(mutex_);
        arrived_ = true;
        changed_.notify_all();
        return S_OK;
    }
    STDMETHODIMP BufferCB(double, BYTE *, LONG) override { return E_NOTIMPL; }
    bool Wait() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return arrived_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool arrived_ = false;
};

// The filter -> sample grabber -> null renderer. Paused, the renderer holds
// the first sample, so the streaming thread waits in that delivery and the
// camera takes no writes but the test's own.
class PausedGraph {
public:
    explicit PausedGraph(IBaseFilter *filter) {
        EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                   graph_.ReceiveVoid()),
                  S_OK);
        EXPECT_EQ(CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   grabber_.ReceiveVoid()),
                  S_OK);
        EXPECT_EQ(CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   renderer_.ReceiveVoid()),
                  S_OK);
        if (!graph_ || !grabber_ || !renderer_) return;
        graph_->QueryInterface(IID_IMediaControl, control_.ReceiveVoid());
        Ref<ISampleGrabber> grabbing;
        grabber_->QueryInterface(IID_ISampleGrabber, grabbing.ReceiveVoid());
        grabbing->SetCallback(&first_sample_, 0);
        graph_->AddFilter(filter, L"Camera");
        graph_->AddFilter(grabber_.Get(), L"Grabber");
        graph_->AddFilter(renderer_.Get(), L"Renderer");
        Ref<IPin> grabber_in, grabber_out, renderer_in;
        Ref<IEnumPins> pins;
        grabber_->EnumPins(pins.Receive());
        pins->Next(1, grabber_in.Receive(), nullptr);
        pins->Next(1, grabber_out.Receive(), nullptr);
        renderer_->EnumPins(pins.Receive());
        pins->Next(1, renderer_in.Receive(), nullptr);
        Ref<IPin> output;
        filter->EnumPins(pins.Receive());
        pins->Next(1, output.Receive(), nullptr);
        connect_result_ = graph_->ConnectDirect(output.Get(), grabber_in.Get(), nullptr);
        if (SUCCEEDED(connect_result_))
            connect_result_ = graph_->ConnectDirect(grabber_out.Get(), renderer_in.Get(), nullptr);
    }
    ~PausedGraph() {
        if (control_) Stop();
    }

    HRESULT connect_result() const { return connect_result_; }
    IMediaControl *control() const { return control_.Get(); }

    // Paused and holding the first sample.
    void PauseUntilHeld() {
        ASSERT_TRUE(SUCCEEDED(control_->Pause()));
        ASSERT_TRUE(first_sample_.Wait());
    }

    HRESULT Stop() {
        std::future<HRESULT> stopped = std::async(std::launch::async, [&] { return control_->Stop(); });
        return Await(stopped, "Stop");
    }

private:
    FirstSample first_sample_;
    Ref<IGraphBuilder> graph_;
    Ref<IBaseFilter> grabber_;
    Ref<IBaseFilter> renderer_;
    Ref<IMediaControl> control_;
    HRESULT connect_result_ = E_FAIL;
};

class BoundCamera : public CaptureModuleTest {
protected:
    void SetUp() override {
        TheMachine().WaitForPendingWork();
        CaptureModuleTest::SetUp();
    }
    void TearDown() override {
        CaptureModuleTest::TearDown();
        for (CameraId id : plugged_) TheMachine().Unplug(id);
        TheMachine().WaitForPendingWork();
    }

    Camera &Plug() {
        TheMachine().WaitForPendingWork();
        CameraId id = TheMachine().Plug();
        plugged_.push_back(id);
        return TheMachine().CameraOf(id);
    }

    std::vector<CameraId> plugged_;
};

TEST_F(BoundCamera, APausedFilterReportsThatItCannotCue) {
    Plug();
    Ref<IBaseFilter> filter = CreateFilter();
    PausedGraph graph(filter.Get());
    ASSERT_EQ(graph.connect_result(), S_OK);
    graph.PauseUntilHeld();
    FILTER_STATE state = State_Stopped;
    EXPECT_EQ(filter->GetState(0, &state), VFW_S_CANT_CUE);
    EXPECT_EQ(state, State_Paused);
    // The graph passes the answer on to the application.
    OAFilterState graph_state = State_Stopped;
    EXPECT_EQ(graph.control()->GetState(0, &graph_state), VFW_S_CANT_CUE);
    EXPECT_EQ(graph_state, State_Paused);
    ASSERT_TRUE(SUCCEEDED(graph.control()->Run()));
    EXPECT_EQ(filter->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Running);
    EXPECT_EQ(graph.Stop(), S_OK);
    EXPECT_EQ(filter->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Stopped);
}

TEST_F(BoundCamera, ManualExposureGoesToTheCameraTimeFirstAndAutomaticExposureWritesNothing) {
    Camera &camera = Plug();
    Ref<IBaseFilter> filter = CreateFilter();
    Ref<INVC480> control = Query<INVC480>(OutputPin(filter.Get()).Get(), IID_INVC480);
    PausedGraph graph(filter.Get());
    ASSERT_EQ(graph.connect_result(), S_OK);
    graph.PauseUntilHeld();

    WriteWatch watch(camera);
    ASSERT_EQ(control->SetExposureControl(1, 90, 400, 300), S_OK);
    EXPECT_TRUE(watch.New().empty());

    ASSERT_EQ(control->SetExposureControl(0, 100, 500, 256), S_OK);
    std::vector<CameraWrite> writes = watch.New();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_TRUE(IsRegister(writes[0], 0x63, (792 - 500) << 12));
    EXPECT_TRUE(IsRegister(writes[1], 0x01, 256));
    EXPECT_EQ(graph.Stop(), S_OK);

    // Unbound, the settings are only stored.
    watch.New();
    ASSERT_EQ(control->SetExposureControl(0, 100, 600, 128), S_OK);
    EXPECT_TRUE(watch.New().empty());
}

TEST_F(BoundCamera, ASpeedChangeReprogramsABoundCameraAtOnce) {
    Camera &camera = Plug();
    Ref<IBaseFilter> filter = CreateFilter();
    Ref<INVC480> control = Query<INVC480>(filter.Get(), IID_INVC480);
    PausedGraph graph(filter.Get());
    ASSERT_EQ(graph.connect_result(), S_OK);
    graph.PauseUntilHeld();

    WriteWatch watch(camera);
    ASSERT_EQ(control->SetSpeedMode(1), S_OK);
    std::vector<CameraWrite> writes = watch.New();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_TRUE(IsRegister(writes[0], 0x30, 0));
    EXPECT_TRUE(IsRegister(writes[2], 0x15, 1));
    EXPECT_EQ(graph.Stop(), S_OK);

    watch.New();
    ASSERT_EQ(control->SetSpeedMode(0), S_OK);
    EXPECT_TRUE(watch.New().empty());
}

// The streaming thread deletes the device channel under the pin lock when
// the graph stops; a speed change arriving meanwhile waits for that and then
// finds no camera to write to.
TEST_F(BoundCamera, ASpeedChangeDuringTheCamerasReleaseWaitsAndWritesNothing) {
    Camera &camera = Plug();
    CameraId id = plugged_.back();
    Ref<IBaseFilter> filter = CreateFilter();
    Ref<INVC480> control = Query<INVC480>(filter.Get(), IID_INVC480);
    PausedGraph graph(filter.Get());
    ASSERT_EQ(graph.connect_result(), S_OK);
    graph.PauseUntilHeld();

    WriteWatch watch(camera);
    // The release stops in its first write to the camera, holding the pin lock.
    TheMachine().HoldControlTransfers(id, tm350::sim::ControlHold::Stuck);
    std::future<HRESULT> stopped = std::async(std::launch::async, [&] { return graph.control()->Stop(); });
    TheMachine().WaitForHeldTransfers(id, 1);
    std::future<HRESULT> speed_set = std::async(std::launch::async, [&] { return control->SetSpeedMode(1); });
    TheMachine().HoldControlTransfers(id, tm350::sim::ControlHold::Off);
    EXPECT_EQ(Await(stopped, "Stop"), S_OK);
    EXPECT_EQ(Await(speed_set, "SetSpeedMode"), S_OK);

    std::vector<CameraWrite> writes = watch.New();
    EXPECT_TRUE(std::none_of(writes.begin(), writes.end(), IsSpeedWrite));
    ASSERT_FALSE(writes.empty());
    EXPECT_TRUE(IsRegister(writes.back(), 0x00, 3)) << "the camera is shut down last";
    BYTE speed = 0;
    EXPECT_EQ(control->GetSpeedMode(&speed), S_OK);
    EXPECT_EQ(speed, 1);
}

TEST_F(BoundCamera, SetFormatIsRefusedWhileTheFilterIsNotStopped) {
    Plug();
    Ref<IBaseFilter> filter = CreateFilter();
    Ref<IAMStreamConfig> config = Query<IAMStreamConfig>(OutputPin(filter.Get()).Get(), IID_IAMStreamConfig);
    PausedGraph graph(filter.Get());
    ASSERT_EQ(graph.connect_result(), S_OK);
    graph.PauseUntilHeld();
    AM_MEDIA_TYPE *current = nullptr;
    ASSERT_EQ(config->GetFormat(&current), S_OK);
    EXPECT_EQ(config->SetFormat(current), VFW_E_NOT_STOPPED);
    EXPECT_EQ(graph.Stop(), S_OK);
    EXPECT_EQ(config->SetFormat(current), S_OK);
    CoTaskMemFree(current->pbFormat);
    CoTaskMemFree(current);
}

// With one camera only instance 0 exists: the other build's filter cannot
// bind it, and binds once its own camera is there.
TEST_F(BoundCamera, TheOtherInstancesModuleFailsToPauseUntilItsCameraIsPluggedIn) {
    Camera &first = Plug();
    Ref<IBaseFilter> filter = CreateFilter(2);
    PausedGraph graph(filter.Get());
    ASSERT_EQ(graph.connect_result(), S_OK);
    EXPECT_TRUE(FAILED(graph.control()->Pause()));
    FILTER_STATE state = State_Running;
    EXPECT_EQ(filter->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Stopped);
    EXPECT_FALSE(first.Streaming());

    Plug();
    Camera &third = Plug();
    graph.PauseUntilHeld();
    EXPECT_TRUE(third.Streaming());
    EXPECT_FALSE(first.Streaming());
    EXPECT_EQ(graph.Stop(), S_OK);
}

}  // namespace
}  // namespace filter_test
