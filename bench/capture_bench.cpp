// The whole capture stack, as an application runs it: the capture filter
// module loaded by class identifier (registered into a registry of the
// benchmark's own), capture filter -> sample grabber -> null renderer,
// reading from a camera of the simulated machine through vexusb.
//
// 1. Fast timing (a bus frame every 0.1 ms), high speed: samples per second
//    the stack delivers when the camera is ten times faster than the real
//    one, and CPU time per delivered sample, of the whole process (the
//    simulated camera, bus and driver included) and of the streaming thread
//    (the picture pipeline).
// 2. Real timing, high and normal speed: 300 samples each (or the number
//    given), counting frames lost on the way exactly from the number each
//    frame carries in its picture. The goal is none.
//
//   build/bin/capture_bench [samples per real-timing run, default 300]
//
// Exits 1 when a real-timing run lost a frame or the capture failed.
#include <windows.h>
#include <dshow.h>
#include <qedit.h>

#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "filter/invc480.h"
#include "filter/nvc480_identity.h"
#include "sim/machine.h"
#include "tests/capture/numbered_frames.h"

EXTERN_C const CLSID CLSID_SampleGrabber;
EXTERN_C const CLSID CLSID_NullRenderer;

namespace {

double CpuSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

double WallSeconds() { return CpuSeconds(CLOCK_MONOTONIC); }

std::filesystem::path LibDirectory() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "lib";
}

// Counts samples and the frames missing between them, on the streaming
// thread, and takes that thread's CPU time at the first and the last sample.
class SampleCounter final : public ISampleGrabberCB {
public:
    explicit SampleCounter(unsigned wanted) : wanted_(wanted) {}

    STDMETHODIMP QueryInterface(REFIID riid, void **object) override {
        if (riid == IID_IUnknown || riid == IID_ISampleGrabberCB) {
            *object = static_cast<ISampleGrabberCB *>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // Lives on main's stack, longer than the graph.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP SampleCB(double, IMediaSample *sample) override {
        BYTE *data = nullptr;
        std::optional<uint16_t> number;
        if (SUCCEEDED(sample->GetPointer(&data)) && data != nullptr) {
            number = capture_test::FrameNumberOf(
                std::span<const uint8_t>(data, static_cast<size_t>(sample->GetActualDataLength())));
        }
        const double cpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        std::lock_guard lock(mutex_);
        if (samples_ >= wanted_) return S_OK;
        if (samples_ == 0) {
            firstThreadCpu_ = cpu;
            firstWall_ = WallSeconds();
            firstProcessCpu_ = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        }
        if (!number) {
            ++unreadable_;
        } else {
            if (previous_) lost_ += static_cast<uint16_t>(*number - *previous_ - 1);
            previous_ = number;
        }
        ++samples_;
        lastThreadCpu_ = cpu;
        lastWall_ = WallSeconds();
        lastProcessCpu_ = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        if (samples_ == wanted_) done_.notify_all();
        return S_OK;
    }
    STDMETHODIMP BufferCB(double, BYTE *, LONG) override { return E_NOTIMPL; }

    bool WaitForAll() {
        std::unique_lock lock(mutex_);
        return done_.wait_for(lock, std::chrono::seconds(600), [&] { return samples_ >= wanted_; });
    }

    // Figures over the samples after the first (the first one's time
    // includes starting up).
    struct Figures {
        unsigned samples, lost, unreadable;
        double perSecond, threadCpuMs, processCpuMs;
    };
    Figures Result() {
        std::lock_guard lock(mutex_);
        const double intervals = samples_ > 1 ? samples_ - 1 : 1;
        return {samples_,
                lost_,
                unreadable_,
                (samples_ - 1) / (lastWall_ - firstWall_),
                1000 * (lastThreadCpu_ - firstThreadCpu_) / intervals,
                1000 * (lastProcessCpu_ - firstProcessCpu_) / intervals};
    }

private:
    const unsigned wanted_;
    std::mutex mutex_;
    std::condition_variable done_;
    unsigned samples_ = 0, lost_ = 0, unreadable_ = 0;
    std::optional<uint16_t> previous_;
    double firstThreadCpu_ = 0, lastThreadCpu_ = 0, firstWall_ = 0, lastWall_ = 0;
    double firstProcessCpu_ = 0, lastProcessCpu_ = 0;
};

template <class T>
struct Held {
    T *pointer = nullptr;
    ~Held() {
        if (pointer) pointer->Release();
    }
    T *operator->() const { return pointer; }
    void **Out() { return reinterpret_cast<void **>(&pointer); }
};

IPin *FirstPin(IBaseFilter *filter, PIN_DIRECTION wanted) {
    Held<IEnumPins> pins;
    if (filter->EnumPins(reinterpret_cast<IEnumPins **>(pins.Out())) != S_OK) return nullptr;
    IPin *pin = nullptr;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        PIN_DIRECTION direction;
        pin->QueryDirection(&direction);
        if (direction == wanted) return pin;
        pin->Release();
    }
    return nullptr;
}

HRESULT Connect(IGraphBuilder *graph, IBaseFilter *from, IBaseFilter *to) {
    Held<IPin> output{FirstPin(from, PINDIR_OUTPUT)}, input{FirstPin(to, PINDIR_INPUT)};
    if (!output.pointer || !input.pointer) return E_FAIL;
    return graph->ConnectDirect(output.pointer, input.pointer, nullptr);
}

// One run of the graph until `wanted` samples came; false when the graph
// could not be built or run, or the samples did not come.
bool Capture(BYTE speed, unsigned wanted, SampleCounter::Figures *figures) {
    SampleCounter counter(wanted);
    {
        Held<IGraphBuilder> graph;
        Held<IBaseFilter> camera, grabber, renderer;
        Held<IMediaControl> control;
        Held<INVC480> settings;
        if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, graph.Out())) ||
            FAILED(CoCreateInstance(kNVC480Identities[0].filter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                    camera.Out())) ||
            FAILED(CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                    grabber.Out())) ||
            FAILED(CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                    renderer.Out()))) {
            std::fprintf(stderr, "the graph's filters could not be created\n");
            return false;
        }
        Held<ISampleGrabber> grabbing;
        grabber->QueryInterface(IID_ISampleGrabber, grabbing.Out());
        grabbing->SetCallback(&counter, 0);
        camera->QueryInterface(IID_INVC480, settings.Out());
        settings->SetSpeedMode(speed);
        graph->QueryInterface(IID_IMediaControl, control.Out());
        graph->AddFilter(camera.pointer, kNVC480Identities[0].friendlyName);
        graph->AddFilter(grabber.pointer, L"Sample Grabber");
        graph->AddFilter(renderer.pointer, L"Null Renderer");
        if (Connect(graph.pointer, camera.pointer, grabber.pointer) != S_OK ||
            Connect(graph.pointer, grabber.pointer, renderer.pointer) != S_OK) {
            std::fprintf(stderr, "the graph could not be connected\n");
            return false;
        }
        if (FAILED(control->Run())) {
            std::fprintf(stderr, "the graph could not run\n");
            return false;
        }
        const bool all = counter.WaitForAll();
        control->Stop();
        if (!all) {
            std::fprintf(stderr, "the samples stopped coming\n");
            return false;
        }
    }
    *figures = counter.Result();
    return true;
}

bool StartMachine(tm350::sim::Timing timing) {
    tm350::sim::MachineOptions options;
    options.cameras = 1;
    options.timing = timing;
    if (!tm350::sim::Machine::Start(options)) return false;
    tm350::sim::Machine &machine = tm350::sim::Machine::Get();
    tm350::sim::Camera &camera = machine.CameraOf(machine.Cameras().front());
    camera.SetFrameSource(std::make_unique<capture_test::NumberedFrames>());
    return true;
}

void Print(const char *what, const SampleCounter::Figures &figures) {
    std::printf("%s: %u samples, %.1f per second, %u frames lost%s; CPU per sample %.2f ms streaming thread, "
                "%.2f ms whole process\n",
                what, figures.samples, figures.perSecond, figures.lost,
                figures.unreadable ? " (some samples unreadable)" : "", figures.threadCpuMs, figures.processCpuMs);
}

}  // namespace

int main(int argc, char **argv) {
    const unsigned realSamples = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 300;
    // Settings and registrations go to a registry of the benchmark's own.
    char directory[] = "/tmp/capture_bench.XXXXXX";
    if (mkdtemp(directory) == nullptr) return 1;
    setenv("TM350_REGISTRY", directory, 1);

    int status = 0;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    {
        HMODULE module = LoadLibraryA((LibDirectory() / (sizeof(void *) == 8 ? "TM350Mt64.ax" : "TM350Mt.ax")).c_str());
        typedef HRESULT(STDAPICALLTYPE * Entry)();
        Entry registerServer = module ? reinterpret_cast<Entry>(GetProcAddress(module, "DllRegisterServer")) : nullptr;
        if (registerServer == nullptr || FAILED(registerServer())) {
            std::fprintf(stderr, "the capture module could not be registered\n");
            return 1;
        }
        FreeLibrary(module);
    }

    SampleCounter::Figures figures{};
    StartMachine(tm350::sim::Timing::Fast);
    if (Capture(1, 600, &figures)) {
        Print("fast timing, high speed", figures);
    } else {
        status = 1;
    }
    tm350::sim::Machine::Get().Shutdown();

    StartMachine(tm350::sim::Timing::Real);
    for (BYTE speed : {1, 0}) {
        if (!Capture(speed, realSamples, &figures)) {
            status = 1;
            continue;
        }
        Print(speed ? "real timing, high speed" : "real timing, normal speed", figures);
        if (figures.lost != 0 || figures.unreadable != 0) status = 1;
    }
    tm350::sim::Machine::Get().Shutdown();
    CoFreeUnusedLibraries();
    CoUninitialize();
    std::filesystem::remove_all(directory);
    return status;
}
