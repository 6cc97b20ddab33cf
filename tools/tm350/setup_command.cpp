// tm350 setup: the camera's property pages in a browser. It runs the
// camera's graph (capture filter -> sample grabber -> null renderer),
// keeps the newest picture, opens the property frame on the filter (the
// setup page) and on its pin (the video size page), each on its own thread,
// and serves both frames, as the window manager holds them, beside the live
// picture on 127.0.0.1. The browser's clicks and drags come back as mouse
// input, so the pages' own dialog code makes every change.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <windows.h>
#include <dshow.h>
#include <qedit.h>

#include "platform/win32/common/text.h"
#include "tools/tm350/camera_devices.h"
#include "tools/tm350/commands.h"
#include "tools/tm350/dshow_client.h"
#include "tools/tm350/interrupt_watch.h"
#include "tools/tm350/picture_stream.h"
#include "tools/tm350/property_frames.h"
#include "tools/tm350/setup_server.h"

EXTERN_C const CLSID CLSID_SampleGrabber;
EXTERN_C const CLSID CLSID_NullRenderer;

namespace tm350::tool {

namespace {

enum SetupExit { kSuccess = 0, kFailed = 1, kBadArguments = 2 };

const char kUsage[] = "usage: tm350 setup [-d N|NAME] [--lang en|zh-CN] [--port P]";

// How far apart the two frames stand, in screen pixels.
constexpr int kFrameGap = 16;
// How long the frames are given to come up before the tool says so.
constexpr DWORD kFrameOpenMs = 10000;

int Fail(const std::string &message, int status = kFailed) {
    fprintf(stderr, "tm350 setup: %s\n", message.c_str());
    return status;
}

struct SetupOptions {
    const std::string *device = nullptr;
    const char *language = nullptr;  // TM350_LANGID value, nullptr: the user's own
    int port = 0;
};

bool ParseOptions(const Arguments &arguments, SetupOptions &options, std::string *error) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == "-d" && hasValue) {
            options.device = &arguments[++i];
        } else if (argument == "--lang" && hasValue) {
            const std::string &value = arguments[++i];
            if (value == "en") {
                options.language = "0x0409";
            } else if (value == "zh-CN") {
                options.language = "0x0804";
            } else {
                *error = "--lang takes en or zh-CN, not \"" + value + "\"";
                return false;
            }
        } else if (argument == "--port" && hasValue) {
            const std::string &value = arguments[++i];
            if (value.empty() || value.size() > 5 || value.find_first_not_of("0123456789") != std::string::npos ||
                std::stoul(value) > 65535) {
                *error = "--port takes a port number from 0 (any free port) to 65535, not \"" + value + "\"";
                return false;
            }
            options.port = static_cast<int>(std::stoul(value));
        } else {
            *error = "unexpected argument \"" + argument + "\" (" + kUsage + ")";
            return false;
        }
    }
    return true;
}

// Hands every sample's picture to the stream on the streaming thread.
class PictureTaker final : public ISampleGrabberCB {
public:
    explicit PictureTaker(PictureStream &stream) : stream_(stream) {}
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
        REFERENCE_TIME start = 0, stop = 0;
        const bool timed = sample->GetTime(&start, &stop) != VFW_E_SAMPLE_TIME_NOT_SET;
        BYTE *data = nullptr;
        const long length = sample->GetActualDataLength();
        if (FAILED(sample->GetPointer(&data)) || length < 0) data = nullptr;
        stream_.Take(data, data == nullptr ? 0 : static_cast<size_t>(length), timed, start, stop);
        return S_OK;
    }
    STDMETHODIMP BufferCB(double, BYTE *, LONG) override { return E_NOTIMPL; }

private:
    PictureStream &stream_;
};

// The camera's graph, built and connected, not yet running.
struct CameraGraph {
    Ref<IGraphBuilder> graph;
    Ref<IBaseFilter> source, grabber, renderer;
    Ref<ISampleGrabber> grabbing;
    Ref<IMediaControl> control;
    Ref<IMediaEvent> events;
    PictureFormat format;
};

int BuildGraph(const Device &device, CameraGraph &built) {
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  built.graph.ReceiveVoid());
    if (FAILED(hr)) return Fail("creating the filter graph failed with " + HresultText(hr));
    hr = device.moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, built.source.ReceiveVoid());
    if (FAILED(hr)) return Fail("creating \"" + device.friendly_name + "\" failed with " + HresultText(hr));
    hr = CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                          built.grabber.ReceiveVoid());
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                              built.renderer.ReceiveVoid());
    if (SUCCEEDED(hr)) hr = built.grabber->QueryInterface(IID_ISampleGrabber, built.grabbing.ReceiveVoid());
    AM_MEDIA_TYPE wanted = {};
    wanted.majortype = MEDIATYPE_Video;
    wanted.subtype = MEDIASUBTYPE_RGB24;
    if (SUCCEEDED(hr)) hr = built.grabbing->SetMediaType(&wanted);
    if (SUCCEEDED(hr)) hr = built.graph->AddFilter(built.source.Get(), L"Capture");
    if (SUCCEEDED(hr)) hr = built.graph->AddFilter(built.grabber.Get(), L"Sample Grabber");
    if (SUCCEEDED(hr)) hr = built.graph->AddFilter(built.renderer.Get(), L"Null Renderer");
    if (FAILED(hr)) return Fail("building the graph failed with " + HresultText(hr));
    hr = ConnectFilters(built.graph.Get(), built.source.Get(), built.grabber.Get());
    if (FAILED(hr))
        return Fail("connecting \"" + device.friendly_name + "\" to the sample grabber failed with " +
                    HresultText(hr));
    hr = ConnectFilters(built.graph.Get(), built.grabber.Get(), built.renderer.Get());
    if (FAILED(hr)) return Fail("connecting the sample grabber to the null renderer failed with " + HresultText(hr));
    AM_MEDIA_TYPE connected = {};
    if (FAILED(hr = built.grabbing->GetConnectedMediaType(&connected)))
        return Fail("asking the sample grabber for its type failed with " + HresultText(hr));
    std::optional<PictureFormat> format = PictureFormatOf(connected);
    if (connected.pbFormat != nullptr) CoTaskMemFree(connected.pbFormat);
    if (connected.pUnk != nullptr) connected.pUnk->Release();
    if (!format) return Fail("\"" + device.friendly_name + "\" delivers no 24-bit RGB video");
    built.format = *format;
    if (FAILED(hr = built.graph->QueryInterface(IID_IMediaControl, built.control.ReceiveVoid())) ||
        FAILED(hr = built.graph->QueryInterface(IID_IMediaEvent, built.events.ReceiveVoid())))
        return Fail("asking the graph for its control failed with " + HresultText(hr));
    return kSuccess;
}

// The pin frame beside the filter frame, so that a point on the screen is
// on one of them only and the browser can show both.
void PlaceSideBySide(const PropertyFrameThread &filterFrame, const PropertyFrameThread &pinFrame) {
    HWND left = filterFrame.WaitForFrameWindow(kFrameOpenMs);
    HWND right = pinFrame.WaitForFrameWindow(kFrameOpenMs);
    if (left == nullptr || right == nullptr) {
        if (!filterFrame.HasEnded() && !pinFrame.HasEnded())
            fprintf(stderr, "tm350 setup: a property frame did not open within %lu ms\n",
                    static_cast<unsigned long>(kFrameOpenMs));
        return;
    }
    RECT leftRect = {}, rightRect = {};
    GetWindowRect(left, &leftRect);
    GetWindowRect(right, &rightRect);
    SetWindowPos(right, nullptr, leftRect.right + kFrameGap, leftRect.top, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

std::u16string FrameCaption(const std::string &name) { return text::Utf8ToUtf16(name); }

std::u16string PinCaption(IPin *pin, const std::string &deviceName) {
    PIN_INFO info = {};
    if (FAILED(pin->QueryPinInfo(&info))) return FrameCaption(deviceName);
    if (info.pFilter != nullptr) info.pFilter->Release();
    return FrameCaption(deviceName + " " + Narrow(info.achName));
}

int SetUpDevice(const Device &device, const SetupOptions &options, CInterruptWatch &interrupt) {
    CameraGraph built;
    if (int status = BuildGraph(device, built); status != kSuccess) return status;
    Ref<IPin> pin;
    HRESULT hr = FirstPin(built.source.Get(), PINDIR_OUTPUT, pin.Receive());
    if (FAILED(hr)) return Fail("\"" + device.friendly_name + "\" has no output pin (" + HresultText(hr) + ")");

    PictureStream pictures(built.format);
    PictureTaker taker(pictures);
    if (FAILED(hr = built.grabbing->SetCallback(&taker, 0)))
        return Fail("setting the sample grabber's callback failed with " + HresultText(hr));
    HANDLE interrupted = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (interrupted == nullptr) return Fail("creating an event failed");
    interrupt.OnInterrupt([interrupted] { SetEvent(interrupted); });

    int status = kSuccess;
    if (FAILED(hr = built.control->Run())) {
        status = Fail("\"" + device.friendly_name + "\" could not start (" + HresultText(hr) + ")");
    } else {
        SetupServer server(pictures, device.friendly_name);
        std::string error;
        {
            // Declared after the server and so closed before it stops: a
            // page's last notifications still reach a browser's long poll.
            PropertyFrameThread filterFrame(built.source.Get(), FrameCaption(device.friendly_name));
            PropertyFrameThread pinFrame(pin.Get(), PinCaption(pin.Get(), device.friendly_name));
            PlaceSideBySide(filterFrame, pinFrame);
            if (!server.Start(options.port, &error)) {
                status = Fail(error);
            } else {
                printf("tm350 setup: open http://127.0.0.1:%d/ in a browser\n", server.Port());
                fflush(stdout);
                HANDLE handles[2] = {filterFrame.Ended(), interrupted};
                const GraphWait wait = WaitForGraph(built.events.Get(), handles, 2);
                if (wait.outcome == GraphWait::Signalled && wait.signalled == 0) {
                    if (FAILED(filterFrame.Result()))
                        status = Fail("the property frame on \"" + device.friendly_name + "\" failed with " +
                                      HresultText(filterFrame.Result()));
                } else if (wait.outcome == GraphWait::Signalled) {
                    status = kExitInterrupted;
                } else if (wait.outcome == GraphWait::Complete) {
                    status = Fail("\"" + device.friendly_name + "\" ended its stream");
                } else {
                    status = Fail("\"" + device.friendly_name + "\" stopped the stream with error " +
                                  HresultText(wait.abort_error) +
                                  ": the camera was unplugged or stopped sending frames");
                }
            }
            // Waits for an input in progress, so no change is cut in half,
            // then ends the long polls and picture streams.
            server.Stop();
            pinFrame.Close();
            filterFrame.Close();
        }
    }
    interrupt.OnInterrupt(nullptr);
    pictures.Close();
    built.control->Stop();
    built.grabbing->SetCallback(nullptr, 0);
    CloseHandle(interrupted);
    if (status == kExitInterrupted) fprintf(stderr, "tm350 setup: interrupted\n");
    return status;
}

}  // namespace

int RunSetup(const Arguments &arguments) {
    // Before COM and the runtime start any thread, so that all of them
    // leave Ctrl-C to the watch.
    CInterruptWatch interrupt;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    SetupOptions options;
    std::string error;
    if (!ParseOptions(arguments, options, &error)) return Fail(error, kBadArguments);
    // The module fixes the pages' language when it loads.
    if (options.language != nullptr) setenv("TM350_LANGID", options.language, 1);

    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(init)) return Fail("initialising COM failed with " + HresultText(init));
    int status;
    {
        std::vector<Device> devices;
        HRESULT hr = FindVideoInputDevices(&devices, "tm350 setup");
        const Device *chosen = nullptr;
        if (FAILED(hr)) {
            status = Fail("enumerating the video input devices failed with " + HresultText(hr));
        } else if ((chosen = ChooseDevice(devices, options.device, &error)) == nullptr) {
            status = Fail(error);
        } else {
            status = SetUpDevice(*chosen, options, interrupt);
        }
        ReleaseDevices(devices);
    }
    CoUninitialize();
    return status;
}

}  // namespace tm350::tool
