#include "capture_fixture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>

#include "numbered_frames.h"

namespace capture_test {

namespace {

std::filesystem::path ModulePath(int instance) {
    const char *name = sizeof(void *) == 8 ? (instance == 0 ? "TM350Mt64.ax" : "TM350Mt64_2.ax")
                                           : (instance == 0 ? "TM350Mt.ax" : "TM350Mt_2.ax");
    return tm350::test::LibDirectory() / name;
}

template <class Interface>
ComPtr<Interface> Query(IUnknown *object, REFIID iid) {
    ComPtr<Interface> result;
    if (object != nullptr) object->QueryInterface(iid, reinterpret_cast<void **>(result.Receive()));
    return result;
}

ComPtr<IPin> FirstPin(IBaseFilter *filter) {
    ComPtr<IEnumPins> pins;
    ComPtr<IPin> pin;
    if (filter->EnumPins(pins.Receive()) == S_OK) pins->Next(1, pin.Receive(), nullptr);
    return pin;
}

}  // namespace

tm350::sim::MachineOptions TestMachineOptions() {
    tm350::sim::MachineOptions options;
    options.cameras = 0;
    options.timing = tm350::sim::Timing::Fast;
    return options;
}

Machine &TheMachine() {
    static Machine &machine = []() -> Machine & {
        Machine::Start(TestMachineOptions());
        return Machine::Get();
    }();
    return machine;
}

ScopedProcessors::ScopedProcessors(int count) { setenv("TM350_PROCESSORS", std::to_string(count).c_str(), 1); }

ScopedProcessors::~ScopedProcessors() { unsetenv("TM350_PROCESSORS"); }

HRESULT RegisterModule(int instance) {
    HMODULE module = LoadLibraryA(ModulePath(instance).c_str());
    if (module == NULL) return E_FAIL;
    typedef HRESULT(STDAPICALLTYPE * Entry)();
    auto entry = reinterpret_cast<Entry>(GetProcAddress(module, "DllRegisterServer"));
    HRESULT hr = entry != NULL ? entry() : E_FAIL;
    FreeLibrary(module);
    return hr;
}

CaptureGraph::CaptureGraph(int instance) {
    const CNVC480Identity &identity = kNVC480Identities[instance == 0 ? 0 : 1];
    EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void **>(builder.Receive())),
              S_OK);
    EXPECT_EQ(CoCreateInstance(identity.filter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               reinterpret_cast<void **>(filter.Receive())),
              S_OK);
    if (!builder || !filter) return;
    control = Query<IMediaControl>(builder.Get(), IID_IMediaControl);
    events = Query<IMediaEventEx>(builder.Get(), IID_IMediaEventEx);
    sink = ComPtr<CaptureSink>::Adopt(new CaptureSink());
    EXPECT_EQ(builder->AddFilter(filter.Get(), identity.friendlyName), S_OK);
    EXPECT_EQ(builder->AddFilter(sink.Get(), L"Sink"), S_OK);
    ComPtr<IPin> output = FirstPin(filter.Get());
    camera = Query<INVC480>(output.Get(), IID_INVC480);
    connected = builder->ConnectDirect(output.Get(), sink->pin(0), nullptr);
    EXPECT_EQ(connected, S_OK);
}

CaptureGraph::~CaptureGraph() {
    if (control) StopPromptly();
}

bool CaptureGraph::NextEvent(LONG wanted, LONG_PTR *param, LONG timeout_ms) {
    LONG code = 0;
    LONG_PTR first = 0, second = 0;
    while (events->GetEvent(&code, &first, &second, timeout_ms) == S_OK) {
        events->FreeEventParams(code, first, second);
        if (code == wanted) {
            if (param != nullptr) *param = first;
            return true;
        }
    }
    return false;
}

HRESULT CaptureGraph::StopPromptly() {
    std::future<HRESULT> stopped = std::async(std::launch::async, [this] { return control->Stop(); });
    if (stopped.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        std::fprintf(stderr, "the graph's Stop never returned\n");
        std::abort();
    }
    return stopped.get();
}

FILTER_STATE CaptureGraph::FilterState() {
    FILTER_STATE state = State_Running;
    filter->GetState(0, &state);
    return state;
}

void CaptureTest::SetUp() {
    TheMachine().WaitForPendingWork();
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ASSERT_EQ(RegisterModule(0), S_OK);
    ASSERT_EQ(RegisterModule(2), S_OK);
}

void CaptureTest::TearDown() {
    CoFreeUnusedLibraries();
    CoUninitialize();
    UnplugAll();
    TheMachine().WaitForPendingWork();
}

Camera &CaptureTest::Plug(tm350::sim::CameraOptions options) {
    TheMachine().WaitForPendingWork();
    const CameraId id = TheMachine().Plug(std::move(options));
    plugged_.push_back(id);
    return TheMachine().CameraOf(id);
}

Camera &CaptureTest::PlugNumbered() {
    tm350::sim::CameraOptions options;
    options.defect_table = std::nullopt;
    Camera &camera = Plug(std::move(options));
    camera.SetFrameSource(std::make_unique<NumberedFrames>());
    return camera;
}

void CaptureTest::UnplugAll() {
    for (CameraId id : plugged_) TheMachine().Unplug(id);
    plugged_.clear();
}

std::vector<CameraWrite> WriteWatch::New() {
    const uint64_t count = camera_.WriteCount();
    const std::vector<CameraWrite> recent = camera_.Writes();
    const size_t fresh = static_cast<size_t>(std::min<uint64_t>(count - seen_, recent.size()));
    seen_ = count;
    return std::vector<CameraWrite>(recent.end() - fresh, recent.end());
}

void WaitSensorFrames(Camera &camera, uint64_t frames) {
    const uint64_t until = camera.Counters().frames_started + frames;
    // Bounded by twice the bus frames so many sensor frames take, for a
    // camera that stopped streaming.
    for (uint64_t waited = 0; camera.Counters().frames_started < until && waited < 2 * frames * kNormalSpeedBusFrames;
         waited += kNormalSpeedBusFrames / 4) {
        TheMachine().WaitFrames(kNormalSpeedBusFrames / 4);
    }
}

}  // namespace capture_test
