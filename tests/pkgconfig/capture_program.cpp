// A Windows-style capture program, built on its own with the pkg-config
// line the README gives (and, unchanged, with mingw-w64): lists the devices
// of the test pattern source's category by friendly name, then runs the
// first through the sample grabber to the null renderer until COUNT samples
// came (argument 1, default 10), printing "N start stop length" for each
// and "COUNT samples" at the end.
#include <windows.h>
#include <objbase.h>
#include <dshow.h>
#include <qedit.h>

#include <stdio.h>
#include <stdlib.h>

#include "../pattern_source/pattern_source.h"

// qedit.h leaves these to the program.
EXTERN_C const CLSID CLSID_SampleGrabber;
EXTERN_C const CLSID CLSID_NullRenderer;

// Counts samples on the streaming thread and prints the first `limit`.
class SampleCounter : public ISampleGrabberCB {
public:
    SampleCounter(LONG limit, HANDLE done) : m_limit(limit), m_done(done), m_seen(0) {}

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) {
        if (ppv == NULL) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISampleGrabberCB)) {
            *ppv = static_cast<ISampleGrabberCB *>(this);
            return S_OK;
        }
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    // Lives on main's stack, longer than the graph.
    STDMETHODIMP_(ULONG) AddRef() { return 2; }
    STDMETHODIMP_(ULONG) Release() { return 1; }

    STDMETHODIMP SampleCB(double, IMediaSample *sample) {
        LONG number = InterlockedIncrement(&m_seen) - 1;
        if (number >= m_limit) return S_OK;
        REFERENCE_TIME start = 0, stop = 0;
        sample->GetTime(&start, &stop);
        printf("%ld %lld %lld %ld\n", (long)number, (long long)start, (long long)stop,
               (long)sample->GetActualDataLength());
        fflush(stdout);
        if (number + 1 == m_limit) SetEvent(m_done);
        return S_OK;
    }
    STDMETHODIMP BufferCB(double, BYTE *, LONG) { return E_NOTIMPL; }

private:
    const LONG m_limit;
    const HANDLE m_done;
    volatile LONG m_seen;
};

static IPin *FirstPin(IBaseFilter *filter, PIN_DIRECTION wanted) {
    IEnumPins *pins = NULL;
    if (FAILED(filter->EnumPins(&pins))) return NULL;
    IPin *pin = NULL;
    while (pins->Next(1, &pin, NULL) == S_OK) {
        PIN_DIRECTION direction;
        if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == wanted) break;
        pin->Release();
        pin = NULL;
    }
    pins->Release();
    return pin;
}

static HRESULT ConnectFilters(IGraphBuilder *graph, IBaseFilter *from, IBaseFilter *to) {
    IPin *output = FirstPin(from, PINDIR_OUTPUT);
    IPin *input = FirstPin(to, PINDIR_INPUT);
    HRESULT hr = output != NULL && input != NULL ? graph->ConnectDirect(output, input, NULL) : E_FAIL;
    if (output != NULL) output->Release();
    if (input != NULL) input->Release();
    return hr;
}

// The first device of the category, after printing every device's name.
static IMoniker *ListDevices(REFCLSID category) {
    ICreateDevEnum *enumerator = NULL;
    if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, NULL, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                (void **)&enumerator))) {
        return NULL;
    }
    IEnumMoniker *monikers = NULL;
    IMoniker *first = NULL;
    if (enumerator->CreateClassEnumerator(category, &monikers, 0) == S_OK) {
        IMoniker *moniker = NULL;
        while (monikers->Next(1, &moniker, NULL) == S_OK) {
            IPropertyBag *bag = NULL;
            if (SUCCEEDED(moniker->BindToStorage(NULL, NULL, IID_IPropertyBag, (void **)&bag))) {
                VARIANT name;
                VariantInit(&name);
                if (SUCCEEDED(bag->Read(L"FriendlyName", &name, NULL)) && name.vt == VT_BSTR) {
                    char narrow[256];
                    WideCharToMultiByte(CP_UTF8, 0, name.bstrVal, -1, narrow, sizeof narrow, NULL, NULL);
                    printf("device: %s\n", narrow);
                }
                VariantClear(&name);
                bag->Release();
            }
            if (first == NULL) {
                first = moniker;
            } else {
                moniker->Release();
            }
        }
        monikers->Release();
    }
    enumerator->Release();
    return first;
}

static int Capture(IMoniker *device, LONG count) {
    IGraphBuilder *graph = NULL;
    IBaseFilter *source = NULL, *grabber = NULL, *renderer = NULL;
    ISampleGrabber *grabbing = NULL;
    IMediaControl *control = NULL;
    HANDLE done = CreateEventW(NULL, TRUE, FALSE, NULL);
    SampleCounter counter(count, done);
    int status = 0;
    if (done == NULL ||
        FAILED(CoCreateInstance(CLSID_FilterGraph, NULL, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, (void **)&graph)) ||
        FAILED(device->BindToObject(NULL, NULL, IID_IBaseFilter, (void **)&source)) ||
        FAILED(CoCreateInstance(CLSID_SampleGrabber, NULL, CLSCTX_INPROC_SERVER, IID_IBaseFilter, (void **)&grabber)) ||
        FAILED(CoCreateInstance(CLSID_NullRenderer, NULL, CLSCTX_INPROC_SERVER, IID_IBaseFilter, (void **)&renderer)) ||
        FAILED(grabber->QueryInterface(IID_ISampleGrabber, (void **)&grabbing)) ||
        FAILED(grabbing->SetCallback(&counter, 0)) || FAILED(graph->AddFilter(source, L"Source")) ||
        FAILED(graph->AddFilter(grabber, L"Sample Grabber")) || FAILED(graph->AddFilter(renderer, L"Null Renderer")) ||
        FAILED(ConnectFilters(graph, source, grabber)) || FAILED(ConnectFilters(graph, grabber, renderer)) ||
        FAILED(graph->QueryInterface(IID_IMediaControl, (void **)&control))) {
        fprintf(stderr, "cannot build the graph\n");
        status = 30;
    } else if (FAILED(control->Run())) {
        fprintf(stderr, "cannot run the graph\n");
        status = 31;
    } else {
        // The count arrives well within a minute; more means it never will.
        if (WaitForSingleObject(done, 60000) != WAIT_OBJECT_0) status = 32;
        control->Stop();
        if (status == 0) printf("%ld samples\n", (long)count);
    }
    if (control != NULL) control->Release();
    if (grabbing != NULL) grabbing->Release();
    if (renderer != NULL) renderer->Release();
    if (grabber != NULL) grabber->Release();
    if (source != NULL) source->Release();
    if (graph != NULL) graph->Release();
    if (done != NULL) CloseHandle(done);
    return status;
}

int main(int argc, char **argv) {
    LONG count = argc > 1 ? atol(argv[1]) : 10;
    if (count <= 0) return 2;
    if (FAILED(CoInitializeEx(NULL, COINIT_MULTITHREADED))) return 3;
    int status = 0;
    IMoniker *device = ListDevices(CLSID_TestSourceCategory);
    if (device == NULL) {
        fprintf(stderr, "no device in the test category\n");
        status = 4;
    } else {
        status = Capture(device, count);
        device->Release();
    }
    CoUninitialize();
    return status;
}
