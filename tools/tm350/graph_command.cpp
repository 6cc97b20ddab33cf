// tm350 graph: a small media framework client. Lists the devices of a
// category by friendly name, or runs a graph from one of them through the
// sample grabber to the null renderer, printing a line per sample.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include <windows.h>
#include <dshow.h>
#include <qedit.h>

#include "tools/tm350/commands.h"
#include "tools/tm350/dshow_client.h"
#include "tools/tm350/interrupt_watch.h"

// qedit.h leaves these to the program, as the Windows headers do.
EXTERN_C const CLSID CLSID_SampleGrabber;
EXTERN_C const CLSID CLSID_NullRenderer;

namespace tm350::tool {

namespace {

enum GraphExit { kSuccess = 0, kFailed = 1, kBadArguments = 2 };

// The categories known by name; any other is given as {GUID}.
struct NamedCategory {
    const char *name;
    const CLSID *clsid;
};
const NamedCategory kCategories[] = {
    {"video", &CLSID_VideoInputDeviceCategory},
    {"audio", &CLSID_AudioInputDeviceCategory},
    {"filters", &CLSID_LegacyAmFilterCategory},
};

bool ParseCategory(const std::string &text, CLSID *category) {
    for (const NamedCategory &known : kCategories) {
        if (strcasecmp(text.c_str(), known.name) == 0) {
            *category = *known.clsid;
            return true;
        }
    }
    if (text.size() != 38) return false;
    WCHAR wide[39];
    for (size_t i = 0; i < text.size(); ++i) wide[i] = static_cast<WCHAR>(static_cast<unsigned char>(text[i]));
    wide[38] = 0;
    return SUCCEEDED(CLSIDFromString(wide, category));
}

// Prints each sample the grabber shows until `limit` have been printed
// (0: no limit), then sets `enough`. Called on the streaming thread.
class SamplePrinter final : public ISampleGrabberCB {
public:
    SamplePrinter(long limit, HANDLE enough) : limit_(limit), enough_(enough) {}

    STDMETHODIMP QueryInterface(REFIID riid, void **object) override {
        if (object == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ISampleGrabberCB) {
            *object = static_cast<ISampleGrabberCB *>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // Owned by the command, which outlives the graph.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP SampleCB(double, IMediaSample *sample) override {
        LONG number = InterlockedIncrement(&seen_) - 1;
        if (limit_ > 0 && number >= limit_) return S_OK;
        REFERENCE_TIME start = 0, stop = 0;
        HRESULT times = sample->GetTime(&start, &stop);
        if (times == VFW_E_SAMPLE_TIME_NOT_SET) {
            printf("%ld no time length=%ld\n", static_cast<long>(number), static_cast<long>(sample->GetActualDataLength()));
        } else {
            printf("%ld start=%s stop=%s length=%ld\n", static_cast<long>(number), Seconds(start).c_str(),
                   Seconds(stop).c_str(), static_cast<long>(sample->GetActualDataLength()));
        }
        fflush(stdout);
        InterlockedIncrement(&printed_);
        if (limit_ > 0 && number + 1 == limit_) SetEvent(enough_);
        return S_OK;
    }
    STDMETHODIMP BufferCB(double, BYTE *, LONG) override { return E_NOTIMPL; }

    long Printed() const { return printed_; }

private:
    // Exact: seven decimals are 100 ns units.
    static std::string Seconds(REFERENCE_TIME time) {
        char text[40];
        const char *sign = time < 0 ? "-" : "";
        unsigned long long magnitude = time < 0 ? 0ULL - static_cast<unsigned long long>(time) : time;
        snprintf(text, sizeof text, "%s%llu.%07llu", sign, magnitude / 10000000ULL, magnitude % 10000000ULL);
        return text;
    }

    const long limit_;
    const HANDLE enough_;
    volatile LONG seen_ = 0;
    volatile LONG printed_ = 0;
};

int Fail(const char *what, HRESULT hr) {
    fprintf(stderr, "tm350 graph: %s failed with 0x%08X\n", what, static_cast<unsigned>(hr));
    return kFailed;
}

int ListDevices(REFCLSID category) {
    std::vector<Device> devices;
    HRESULT hr = EnumerateDevices(category, &devices);
    if (FAILED(hr)) return Fail("enumerating the category", hr);
    for (const Device &device : devices) printf("%s\n", device.friendly_name.c_str());
    ReleaseDevices(devices);
    return kSuccess;
}

// How the wait for samples ended.
enum class Ending { Enough, Complete, Aborted, Interrupted };

// Runs the graph until `limit` samples were printed, the stream ends, the
// graph aborts or the user interrupts.
int RunDeviceGraph(IMoniker *device, const std::string &device_name, long limit, CInterruptWatch &interrupt) {
    Ref<IGraphBuilder> graph;
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  graph.ReceiveVoid());
    if (FAILED(hr)) return Fail("creating the filter graph", hr);
    Ref<IBaseFilter> source, grabber, renderer;
    hr = device->BindToObject(nullptr, nullptr, IID_IBaseFilter, source.ReceiveVoid());
    if (FAILED(hr)) return Fail(("creating \"" + device_name + "\"").c_str(), hr);
    hr = CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, grabber.ReceiveVoid());
    if (FAILED(hr)) return Fail("creating the sample grabber", hr);
    hr = CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, renderer.ReceiveVoid());
    if (FAILED(hr)) return Fail("creating the null renderer", hr);

    HANDLE enough = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (enough == nullptr) return Fail("creating an event", HRESULT_FROM_WIN32(GetLastError()));
    SamplePrinter printer(limit, enough);
    Ref<ISampleGrabber> grabbing;
    Ref<IMediaControl> control;
    Ref<IMediaEvent> events;
    int status = kSuccess;
    Ending ending = Ending::Enough;
    HRESULT abort_error = S_OK;
    {
        hr = grabber->QueryInterface(IID_ISampleGrabber, grabbing.ReceiveVoid());
        if (SUCCEEDED(hr)) hr = grabbing->SetCallback(&printer, 0);
        if (SUCCEEDED(hr)) hr = graph->AddFilter(source.Get(), nullptr);
        if (SUCCEEDED(hr)) hr = graph->AddFilter(grabber.Get(), L"Sample Grabber");
        if (SUCCEEDED(hr)) hr = graph->AddFilter(renderer.Get(), L"Null Renderer");
        if (FAILED(hr)) {
            status = Fail("building the graph", hr);
        } else if (FAILED(hr = ConnectFilters(graph.Get(), source.Get(), grabber.Get()))) {
            status = Fail(("connecting \"" + device_name + "\" to the sample grabber").c_str(), hr);
        } else if (FAILED(hr = ConnectFilters(graph.Get(), grabber.Get(), renderer.Get()))) {
            status = Fail("connecting the sample grabber to the null renderer", hr);
        } else if (FAILED(hr = graph->QueryInterface(IID_IMediaControl, control.ReceiveVoid())) ||
                   FAILED(hr = graph->QueryInterface(IID_IMediaEvent, events.ReceiveVoid()))) {
            status = Fail("asking the graph for its control", hr);
        }
        if (status == kSuccess) {
            interrupt.OnInterrupt([enough] { SetEvent(enough); });
            hr = control->Run();
            if (FAILED(hr)) status = Fail("running the graph", hr);
        }
        if (status == kSuccess) {
            const GraphWait wait = WaitForGraph(events.Get(), &enough, 1);
            if (wait.outcome == GraphWait::Signalled) {
                ending = interrupt.Interrupted() ? Ending::Interrupted : Ending::Enough;
            } else if (wait.outcome == GraphWait::Complete) {
                ending = Ending::Complete;
            } else {
                ending = Ending::Aborted;
                abort_error = wait.abort_error;
            }
        }
        interrupt.OnInterrupt(nullptr);
        if (control) control->Stop();
        if (status == kSuccess && ending != Ending::Aborted) {
            if (HRESULT stopped_with = StoppedWithError(events.Get()); stopped_with != S_OK) {
                ending = Ending::Aborted;
                abort_error = stopped_with;
            }
        }
    }
    CloseHandle(enough);
    if (status != kSuccess) return status;
    long printed = printer.Printed();
    switch (ending) {
    case Ending::Enough:
        printf("%ld samples\n", printed);
        return kSuccess;
    case Ending::Complete:
        printf("%ld samples, end of stream\n", printed);
        // Asked for more than the stream had.
        return limit > 0 && printed < limit ? kFailed : kSuccess;
    case Ending::Aborted:
        printf("%ld samples\n", printed);
        fprintf(stderr, "tm350 graph: \"%s\" stopped the stream with error 0x%08X\n", device_name.c_str(),
                static_cast<unsigned>(abort_error));
        return kFailed;
    case Ending::Interrupted:
        printf("%ld samples\n", printed);
        fprintf(stderr, "tm350 graph: interrupted\n");
        return kExitInterrupted;
    }
    return kFailed;
}

}  // namespace

int RunGraph(const Arguments &arguments) {
    CLSID category = CLSID_VideoInputDeviceCategory;
    std::string device_name;
    long limit = 0;
    bool have_device = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        if ((argument == "-c" || argument == "-C") && i + 1 < arguments.size()) {
            const std::string &value = arguments[++i];
            if (argument == "-c") {
                if (!ParseCategory(value, &category)) {
                    fprintf(stderr, "tm350 graph: unknown category \"%s\" (video, audio, filters or {GUID})\n",
                            value.c_str());
                    return kBadArguments;
                }
            } else {
                char *end = nullptr;
                limit = strtol(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || limit <= 0) {
                    fprintf(stderr, "tm350 graph: -C takes a positive count, not \"%s\"\n", value.c_str());
                    return kBadArguments;
                }
            }
        } else if (!have_device && !argument.empty() && argument[0] != '-') {
            device_name = argument;
            have_device = true;
        } else {
            fprintf(stderr, "tm350 graph: unexpected argument \"%s\"\n", argument.c_str());
            return kBadArguments;
        }
    }

    // Before COM and the runtime start any thread, so that all of them
    // leave Ctrl-C to the watch.
    CInterruptWatch interrupt;
    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(init)) return Fail("initialising COM", init);
    int status;
    if (!have_device) {
        status = ListDevices(category);
    } else {
        std::vector<Device> devices;
        HRESULT hr = EnumerateDevices(category, &devices);
        const Device *chosen = nullptr;
        for (const Device &device : devices) {
            if (device.friendly_name == device_name) {
                chosen = &device;
                break;
            }
        }
        if (FAILED(hr)) {
            status = Fail("enumerating the category", hr);
        } else if (chosen == nullptr) {
            fprintf(stderr, "tm350 graph: no device \"%s\" in the category\n", device_name.c_str());
            status = kFailed;
        } else {
            status = RunDeviceGraph(chosen->moniker, device_name, limit, interrupt);
        }
        ReleaseDevices(devices);
    }
    CoUninitialize();
    return status;
}

}  // namespace tm350::tool
