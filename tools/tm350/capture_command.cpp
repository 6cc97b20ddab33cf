// tm350 capture: a capture application over the media framework. It finds
// the camera among the video input devices (registering the capture module
// first when it is not), sets the settings named on the command line
// through the filter's camera control interface, runs capture filter ->
// sample grabber -> null renderer for a number of samples or until Ctrl-C,
// prints a line per sample and writes the pictures it was asked for.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>
#include <dshow.h>
#include <qedit.h>

#include "tools/tm350/camera_controls.h"
#include "tools/tm350/camera_devices.h"
#include "tools/tm350/commands.h"
#include "tools/tm350/dshow_client.h"
#include "tools/tm350/interrupt_watch.h"
#include "tools/tm350/picture_files.h"
#include "tools/tm350/sample_tally.h"

// qedit.h leaves these to the program, as the Windows headers do.
EXTERN_C const CLSID CLSID_SampleGrabber;
EXTERN_C const CLSID CLSID_NullRenderer;

namespace tm350::tool {

namespace {

enum CaptureExit { kSuccess = 0, kFailed = 1, kBadArguments = 2 };

constexpr unsigned long kDefaultCount = 10;

const char kUsage[] =
    "usage: tm350 capture [--list-devices] [-d N|NAME] [-C COUNT] [-F PATTERN.png|.bmp] [Name=value ...]";

int Fail(const std::string &message, int status = kFailed) {
    fprintf(stderr, "tm350 capture: %s\n", message.c_str());
    return status;
}

struct CaptureOptions {
    bool list_devices = false;
    const std::string *device = nullptr;
    unsigned long count = kDefaultCount;  // 0: until Ctrl-C
    std::string pattern;                  // empty: no pictures
    std::vector<std::string> settings;
};

bool ParseOptions(const Arguments &arguments, CaptureOptions &options, std::string *error) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == "--list-devices") {
            options.list_devices = true;
        } else if (argument == "-d" && hasValue) {
            options.device = &arguments[++i];
        } else if (argument == "-C" && hasValue) {
            const std::string &value = arguments[++i];
            if (value.empty() || value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos) {
                *error = "-C takes a number of samples (0: until Ctrl-C), not \"" + value + "\"";
                return false;
            }
            options.count = std::stoul(value);
        } else if (argument == "-F" && hasValue) {
            options.pattern = arguments[++i];
            if (!IsPictureName(options.pattern)) {
                *error = "the -F pattern must end in .png or .bmp";
                return false;
            }
        } else if (!argument.empty() && argument[0] != '-' && argument.find('=') != std::string::npos) {
            options.settings.push_back(argument);
        } else {
            *error = "unexpected argument \"" + argument + "\" (" + kUsage + ")";
            return false;
        }
    }
    return true;
}

// Exact: seven decimals are 100 ns units.
std::string Seconds(REFERENCE_TIME time) {
    char text[40];
    const char *sign = time < 0 ? "-" : "";
    unsigned long long magnitude = time < 0 ? 0ULL - static_cast<unsigned long long>(time) : time;
    snprintf(text, sizeof text, "%s%llu.%07llu", sign, magnitude / 10000000ULL, magnitude % 10000000ULL);
    return text;
}

// Mean luma of the picture on a grid of every fourth pixel of every fourth
// row, 0 to 255.
unsigned Brightness(const BYTE *picture, const PictureFormat &layout) {
    unsigned long long sum = 0, count = 0;
    for (int y = 0; y < layout.height; y += 4) {
        const BYTE *row = picture + static_cast<size_t>(y) * layout.stride;
        for (int x = 0; x < layout.width; x += 4) {
            const BYTE *pixel = row + static_cast<size_t>(x) * 3;
            sum += (29u * pixel[0] + 150u * pixel[1] + 77u * pixel[2]) >> 8;
            ++count;
        }
    }
    return count == 0 ? 0 : static_cast<unsigned>(sum / count);
}

struct CapturedSample {
    long number = 0;
    bool timed = false;
    REFERENCE_TIME start = 0, stop = 0;
    long bytes = 0;
    unsigned brightness = 0;
    std::chrono::steady_clock::time_point arrived;
    std::vector<BYTE> picture;  // bottom-up, only when pictures are written
};

// Takes each sample on the streaming thread and hands it to the command's
// thread, which prints and writes: a slow disk then holds up the camera only
// when a few pictures are waiting already. Samples past the count are left
// alone; once closed, the queue takes none and lets a waiting sample go.
class SampleQueue final : public ISampleGrabberCB {
public:
    SampleQueue(unsigned long limit, bool keepPictures, const PictureFormat &layout, HANDLE enough, HANDLE queued)
        : limit_(limit), keep_pictures_(keepPictures), layout_(layout), enough_(enough), queued_(queued) {}

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
        const long number = seen_++;
        if (limit_ > 0 && static_cast<unsigned long>(number) >= limit_) return S_OK;
        CapturedSample captured;
        captured.arrived = std::chrono::steady_clock::now();
        captured.number = number;
        captured.timed = sample->GetTime(&captured.start, &captured.stop) != VFW_E_SAMPLE_TIME_NOT_SET;
        captured.bytes = sample->GetActualDataLength();
        BYTE *data = nullptr;
        const size_t pictureBytes = layout_.stride * layout_.height;
        const bool whole = SUCCEEDED(sample->GetPointer(&data)) && data != nullptr &&
                           captured.bytes >= 0 && static_cast<size_t>(captured.bytes) >= pictureBytes;
        if (whole) {
            captured.brightness = Brightness(data, layout_);
            if (keep_pictures_) captured.picture.assign(data, data + pictureBytes);
        }
        {
            std::unique_lock<std::mutex> lock(mutex_);
            room_.wait(lock, [this] { return closed_ || waiting_.size() < kWaitingLimit; });
            if (closed_) return S_OK;
            waiting_.push_back(std::move(captured));
        }
        SetEvent(queued_);
        if (limit_ > 0 && static_cast<unsigned long>(number) + 1 == limit_) SetEvent(enough_);
        return S_OK;
    }
    STDMETHODIMP BufferCB(double, BYTE *, LONG) override { return E_NOTIMPL; }

    // The samples waiting, oldest first.
    std::deque<CapturedSample> Take() {
        std::deque<CapturedSample> taken;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            taken.swap(waiting_);
        }
        room_.notify_all();
        return taken;
    }
    // Before the graph stops, so that a sample waiting for room cannot hold
    // the streaming thread (and the stop) up.
    void Close() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        room_.notify_all();
    }

private:
    static constexpr size_t kWaitingLimit = 4;

    const unsigned long limit_;
    const bool keep_pictures_;
    const PictureFormat layout_;
    const HANDLE enough_;
    const HANDLE queued_;
    std::atomic<long> seen_{0};
    std::mutex mutex_;
    std::condition_variable room_;
    std::deque<CapturedSample> waiting_;  // guarded by mutex_
    bool closed_ = false;                 // guarded by mutex_
};

std::string ClosingLine(const SampleTally &tally) {
    char line[120];
    snprintf(line, sizeof line, "%lu samples, %lld frames lost, %.2f frames per second", tally.Samples(),
             tally.FramesLost(), tally.FramesPerSecond());
    return line;
}

// Prints each sample's line and writes its picture; false with *error when
// a picture cannot be written.
bool ReportSamples(std::deque<CapturedSample> samples, const CaptureOptions &options, const PictureFormat &layout,
                   SampleTally &tally, std::string *error) {
    for (CapturedSample &sample : samples) {
        tally.Count(sample.timed, sample.start, sample.stop, sample.arrived);
        std::string line = std::to_string(sample.number);
        if (sample.timed) {
            line += " start=" + Seconds(sample.start) + " stop=" + Seconds(sample.stop);
        } else {
            line += " no time";
        }
        line += " bytes=" + std::to_string(sample.bytes) + " brightness=" + std::to_string(sample.brightness);
        if (!sample.picture.empty()) {
            if (layout.top_down) {
                // Files hold bottom-up rows, as the camera's pin delivers them.
                std::vector<BYTE> flipped(sample.picture.size());
                for (int row = 0; row < layout.height; ++row)
                    std::copy_n(&sample.picture[row * layout.stride], layout.stride,
                                &flipped[(layout.height - 1 - row) * layout.stride]);
                sample.picture.swap(flipped);
            }
            const std::string name = FrameFileName(options.pattern, static_cast<unsigned long>(sample.number));
            if (!WritePictureFile(name, sample.picture.data(), error)) return false;
            line += " " + name;
        }
        printf("%s\n", line.c_str());
    }
    return true;
}

int ListDevices(const std::vector<Device> &devices) {
    printf("video input devices:\n");
    for (size_t i = 0; i < devices.size(); ++i) {
        std::string note;
        if (const CNVC480Identity *identity = IdentityOfFilter(devices[i].clsid)) {
            const std::string path = CameraDevicePath(*identity);
            note = CameraAnswers(path) ? "  camera at " + path : "  no camera at " + path;
        }
        printf(" [%zu] \"%s\"%s\n", i, devices[i].friendly_name.c_str(), note.c_str());
    }
    if (devices.empty()) printf(" none\n");
    return kSuccess;
}

// The settings named on the command line, set as an application sets them.
int ApplySettings(IBaseFilter *source, const Device &device, const CaptureOptions &options) {
    if (options.settings.empty()) return kSuccess;
    Ref<INVC480> control;
    if (FAILED(source->QueryInterface(IID_INVC480, control.ReceiveVoid())))
        return Fail("\"" + device.friendly_name + "\" has no camera controls to take the settings");
    CCameraSettings current;
    current.SetDefaults();
    HRESULT hr = ReadCameraControls(control.Get(), current);
    if (FAILED(hr)) return Fail("reading the camera controls failed with " + HresultText(hr));
    CCameraSettings wanted = current;
    std::string error;
    if (!ApplyControlArguments(options.settings, wanted, &error) ||
        !WriteCameraControls(control.Get(), current, wanted, &error))
        return Fail(error);
    return kSuccess;
}

// Why the graph could not start, as far as can be told from outside.
std::string WhyRunFailed(const Device &device, HRESULT hr) {
    std::string message = "\"" + device.friendly_name + "\" could not start (" + HresultText(hr) + ")";
    if (const CNVC480Identity *identity = IdentityOfFilter(device.clsid)) {
        const std::string path = CameraDevicePath(*identity);
        if (!CameraAnswers(path)) return message + ": no camera at " + path + "; is it plugged in?";
        return message + ": the camera at " + path + " did not answer as expected; is another program using it?";
    }
    return message;
}

// How the wait for samples ended.
enum class Ending { Enough, Complete, Aborted, Interrupted, WriteFailed };

int CaptureFromDevice(const Device &device, const CaptureOptions &options, CInterruptWatch &interrupt) {
    Ref<IGraphBuilder> graph;
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  graph.ReceiveVoid());
    if (FAILED(hr)) return Fail("creating the filter graph failed with " + HresultText(hr));
    Ref<IBaseFilter> source, grabber, renderer;
    hr = device.moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, source.ReceiveVoid());
    if (FAILED(hr)) return Fail("creating \"" + device.friendly_name + "\" failed with " + HresultText(hr));
    if (int status = ApplySettings(source.Get(), device, options); status != kSuccess) return status;
    hr = CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, grabber.ReceiveVoid());
    if (FAILED(hr)) return Fail("creating the sample grabber failed with " + HresultText(hr));
    hr = CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, renderer.ReceiveVoid());
    if (FAILED(hr)) return Fail("creating the null renderer failed with " + HresultText(hr));

    Ref<ISampleGrabber> grabbing;
    hr = grabber->QueryInterface(IID_ISampleGrabber, grabbing.ReceiveVoid());
    if (FAILED(hr)) return Fail("the sample grabber has no ISampleGrabber (" + HresultText(hr) + ")");
    AM_MEDIA_TYPE wanted = {};
    wanted.majortype = MEDIATYPE_Video;
    wanted.subtype = MEDIASUBTYPE_RGB24;
    if (SUCCEEDED(hr)) hr = grabbing->SetMediaType(&wanted);
    if (SUCCEEDED(hr)) hr = graph->AddFilter(source.Get(), L"Capture");
    if (SUCCEEDED(hr)) hr = graph->AddFilter(grabber.Get(), L"Sample Grabber");
    if (SUCCEEDED(hr)) hr = graph->AddFilter(renderer.Get(), L"Null Renderer");
    if (FAILED(hr)) return Fail("building the graph failed with " + HresultText(hr));
    hr = ConnectFilters(graph.Get(), source.Get(), grabber.Get());
    if (FAILED(hr)) {
        std::string message = "connecting \"" + device.friendly_name + "\" to the sample grabber failed with " +
                              HresultText(hr);
        Ref<INVC480> control;
        DWORD size = 0;
        if (SUCCEEDED(source->QueryInterface(IID_INVC480, control.ReceiveVoid())) &&
            SUCCEEDED(control->GetVideoSize(&size)) && size != NVC480_SIZE_1024x768)
            message += ": the camera offers 1024x768 only, and its size setting is eNVC480Size=" +
                       std::to_string(size) + " (tm350 controls -c eNVC480Size=0)";
        return Fail(message);
    }
    hr = ConnectFilters(graph.Get(), grabber.Get(), renderer.Get());
    if (FAILED(hr)) return Fail("connecting the sample grabber to the null renderer failed with " + HresultText(hr));
    AM_MEDIA_TYPE connected = {};
    if (FAILED(hr = grabbing->GetConnectedMediaType(&connected)))
        return Fail("asking the sample grabber for its type failed with " + HresultText(hr));
    std::optional<PictureFormat> layout = PictureFormatOf(connected);
    if (connected.pbFormat != nullptr) CoTaskMemFree(connected.pbFormat);
    if (connected.pUnk != nullptr) connected.pUnk->Release();
    if (!layout) return Fail("\"" + device.friendly_name + "\" delivers no 24-bit RGB video");
    if (!options.pattern.empty() && (layout->width != kPictureWidth || layout->height != kPictureHeight))
        return Fail("pictures are written at 1024x768 only; \"" + device.friendly_name + "\" delivers " +
                    std::to_string(layout->width) + "x" + std::to_string(layout->height));

    Ref<IMediaControl> control;
    Ref<IMediaEvent> events;
    if (FAILED(hr = graph->QueryInterface(IID_IMediaControl, control.ReceiveVoid())) ||
        FAILED(hr = graph->QueryInterface(IID_IMediaEvent, events.ReceiveVoid())))
        return Fail("asking the graph for its control failed with " + HresultText(hr));

    HANDLE enough = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE queued = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (enough == nullptr || queued == nullptr) {
        if (enough != nullptr) CloseHandle(enough);
        if (queued != nullptr) CloseHandle(queued);
        return Fail("creating an event failed with " + HresultText(HRESULT_FROM_WIN32(GetLastError())));
    }
    SampleQueue samples(options.count, !options.pattern.empty(), *layout, enough, queued);
    SampleTally tally;
    std::string writeError;
    Ending ending = Ending::Enough;
    HRESULT abortError = S_OK;
    int status = kSuccess;
    hr = grabbing->SetCallback(&samples, 0);
    if (FAILED(hr)) {
        status = Fail("setting the sample grabber's callback failed with " + HresultText(hr));
    } else {
        interrupt.OnInterrupt([enough] { SetEvent(enough); });
        hr = control->Run();
        if (FAILED(hr)) status = Fail(WhyRunFailed(device, hr));
    }
    while (status == kSuccess) {
        HANDLE handles[2] = {enough, queued};
        const GraphWait wait = WaitForGraph(events.Get(), handles, 2);
        if (!ReportSamples(samples.Take(), options, *layout, tally, &writeError)) {
            ending = Ending::WriteFailed;
            break;
        }
        if (wait.outcome == GraphWait::Signalled && wait.signalled == 1) continue;
        if (wait.outcome == GraphWait::Signalled) {
            ending = interrupt.Interrupted() ? Ending::Interrupted : Ending::Enough;
        } else if (wait.outcome == GraphWait::Complete) {
            ending = Ending::Complete;
        } else {
            ending = Ending::Aborted;
            abortError = wait.abort_error;
        }
        break;
    }
    interrupt.OnInterrupt(nullptr);
    samples.Close();
    control->Stop();
    grabbing->SetCallback(nullptr, 0);
    CloseHandle(enough);
    CloseHandle(queued);
    if (status != kSuccess) return status;
    if (ending == Ending::Complete) {
        if (HRESULT stoppedWith = StoppedWithError(events.Get()); stoppedWith != S_OK) {
            ending = Ending::Aborted;
            abortError = stoppedWith;
        }
    }
    // What came before the stop is reported, whatever ended the run.
    if (ending != Ending::WriteFailed && !ReportSamples(samples.Take(), options, *layout, tally, &writeError))
        ending = Ending::WriteFailed;
    printf("%s\n", ClosingLine(tally).c_str());
    switch (ending) {
    case Ending::Enough:
        return kSuccess;
    case Ending::Complete:
        return Fail("\"" + device.friendly_name + "\" ended its stream");
    case Ending::Aborted:
        return Fail("\"" + device.friendly_name + "\" stopped the stream with error " +
                    HresultText(abortError) +
                    ": the camera was unplugged or stopped sending frames");
    case Ending::Interrupted:
        fprintf(stderr, "tm350 capture: interrupted\n");
        return kExitInterrupted;
    case Ending::WriteFailed:
        return Fail(writeError);
    }
    return kFailed;
}

}  // namespace

int RunCapture(const Arguments &arguments) {
    // Before COM and the runtime start any thread, so that all of them
    // leave Ctrl-C to the watch.
    CInterruptWatch interrupt;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    CaptureOptions options;
    std::string error;
    if (!ParseOptions(arguments, options, &error)) return Fail(error, kBadArguments);
    // Settings are checked before anything is created, so bad ones change nothing.
    CCameraSettings check;
    check.SetDefaults();
    if (!ApplyControlArguments(options.settings, check, &error)) return Fail(error, kBadArguments);
    if (!options.pattern.empty() && !PatternFolderIsWritable(options.pattern, &error)) return Fail(error);

    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(init)) return Fail("initialising COM failed with " + HresultText(init));
    int status;
    {
        std::vector<Device> devices;
        HRESULT hr = FindVideoInputDevices(&devices, "tm350 capture");
        const Device *chosen = nullptr;
        if (FAILED(hr)) {
            status = Fail("enumerating the video input devices failed with " + HresultText(hr));
        } else if (options.list_devices) {
            status = ListDevices(devices);
        } else if ((chosen = ChooseDevice(devices, options.device, &error)) == nullptr) {
            status = Fail(error);
        } else {
            status = CaptureFromDevice(*chosen, options, interrupt);
        }
        ReleaseDevices(devices);
    }
    CoUninitialize();
    return status;
}

}  // namespace tm350::tool
