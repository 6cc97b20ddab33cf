// The tests' pattern source module, as a capture program meets a capture
// device: registered by its DllRegisterServer, found by the system device
// enumerator under its category, and run in a graph through the sample
// grabber to the null renderer.
#include "runtime_test_support.h"
#include "com_ptr.h"
#include "test_source.h"

#include <pattern_source.h>
#include <qedit.h>

#include <dlfcn.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace tm350::test {
namespace {

std::string ModulePath() { return (LibDirectory() / "pattern_source.so").string(); }

bool ModuleIsLoaded() {
    void *handle = dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    dlclose(handle);
    return true;
}

HRESULT CallModuleEntry(const char *entry_name) {
    HMODULE module = LoadLibraryA(ModulePath().c_str());
    if (module == NULL) return E_FAIL;
    typedef HRESULT(STDAPICALLTYPE * Entry)();
    auto entry = reinterpret_cast<Entry>(GetProcAddress(module, entry_name));
    HRESULT hr = entry != NULL ? entry() : E_FAIL;
    FreeLibrary(module);
    return hr;
}

std::u16string Text(LPCWSTR text) { return reinterpret_cast<const char16_t *>(text); }

std::u16string DeviceKey() {
    WCHAR category[39];
    StringFromGUID2(CLSID_TestSourceCategory, category, 39);
    return u"CLSID\\" + Text(category) + u"\\Instance\\" + Text(TEST_PATTERN_SOURCE_NAME);
}

void SetDeviceValue(const wchar_t *name, DWORD value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, reinterpret_cast<LPCWSTR>(DeviceKey().c_str()), 0, KEY_SET_VALUE, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

template <class Interface>
ComPtr<Interface> Query(IUnknown *object, REFIID iid) {
    ComPtr<Interface> result;
    object->QueryInterface(iid, reinterpret_cast<void **>(result.Receive()));
    return result;
}

// The monikers of a category, in the enumerator's order.
std::vector<ComPtr<IMoniker>> Devices(REFCLSID category) {
    std::vector<ComPtr<IMoniker>> devices;
    ComPtr<ICreateDevEnum> enumerator;
    EXPECT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                               reinterpret_cast<void **>(enumerator.Receive())),
              S_OK);
    if (!enumerator) return devices;
    ComPtr<IEnumMoniker> monikers;
    if (enumerator->CreateClassEnumerator(category, monikers.Receive(), 0) != S_OK) return devices;
    IMoniker *moniker = nullptr;
    while (monikers->Next(1, &moniker, nullptr) == S_OK) devices.push_back(ComPtr<IMoniker>::Adopt(moniker));
    return devices;
}

std::u16string FriendlyName(IMoniker *moniker) {
    ComPtr<IPropertyBag> bag;
    if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void **>(bag.Receive())))) {
        return u"";
    }
    VARIANT name;
    VariantInit(&name);
    std::u16string text;
    if (SUCCEEDED(bag->Read(L"FriendlyName", &name, nullptr)) && name.vt == VT_BSTR) text = Text(name.bstrVal);
    VariantClear(&name);
    return text;
}

// What the grabber showed of each sample of the current stream: its times
// and the first byte of its pattern.
class SampleLog final : public ISampleGrabberCB {
public:
    struct Sample {
        REFERENCE_TIME start, stop;
        LONG length;
        BYTE first_byte;
    };

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

    STDMETHODIMP SampleCB(double, IMediaSample *sample) override {
        Sample seen{-1, -1, sample->GetActualDataLength(), 0};
        sample->GetTime(&seen.start, &seen.stop);
        BYTE *data = nullptr;
        if (SUCCEEDED(sample->GetPointer(&data)) && seen.length > 0) seen.first_byte = data[0];
        std::lock_guard lock(mutex_);
        samples_.push_back(seen);
        arrived_.notify_all();
        return S_OK;
    }
    STDMETHODIMP BufferCB(double, BYTE *, LONG) override { return E_NOTIMPL; }

    // False if `count` samples did not come within 10 s.
    bool WaitFor(size_t count) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, std::chrono::seconds(10), [&] { return samples_.size() >= count; });
    }
    std::vector<Sample> Take() {
        std::lock_guard lock(mutex_);
        return std::exchange(samples_, {});
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Sample> samples_;
};

// Every sample of one stream: numbered from 0, one frame period each, back
// to back, with its number in the pattern.
void ExpectOneStream(const std::vector<SampleLog::Sample> &samples) {
    for (size_t n = 0; n < samples.size(); ++n) {
        SCOPED_TRACE("sample " + std::to_string(n));
        EXPECT_EQ(samples[n].start, static_cast<REFERENCE_TIME>(n) * kTestPatternFramePeriod);
        EXPECT_EQ(samples[n].stop, samples[n].start + kTestPatternFramePeriod);
        EXPECT_EQ(samples[n].length, kTestPatternSampleSize);
        EXPECT_EQ(samples[n].first_byte, static_cast<BYTE>(n));
        if (::testing::Test::HasFailure()) return;
    }
}

class PatternSourceModule : public RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        ASSERT_EQ(CallModuleEntry("DllRegisterServer"), S_OK);
    }
};

// The pattern source from its device entry, then the sample grabber and the
// null renderer, connected in a new graph.
struct PatternGraph {
    explicit PatternGraph(SampleLog &log) {
        EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                   reinterpret_cast<void **>(builder.Receive())),
                  S_OK);
        control = Query<IMediaControl>(builder.Get(), IID_IMediaControl);
        events = Query<IMediaEventEx>(builder.Get(), IID_IMediaEventEx);
        std::vector<ComPtr<IMoniker>> devices = Devices(CLSID_TestSourceCategory);
        EXPECT_EQ(devices.size(), 1u);
        if (devices.empty()) return;
        EXPECT_EQ(devices[0]->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void **>(source.Receive())),
                  S_OK);
        EXPECT_EQ(CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   reinterpret_cast<void **>(grabber.Receive())),
                  S_OK);
        EXPECT_EQ(CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   reinterpret_cast<void **>(renderer.Receive())),
                  S_OK);
        if (!source || !grabber || !renderer) return;
        ComPtr<ISampleGrabber> grabbing = Query<ISampleGrabber>(grabber.Get(), IID_ISampleGrabber);
        EXPECT_EQ(grabbing->SetCallback(&log, 0), S_OK);
        EXPECT_EQ(builder->AddFilter(source.Get(), TEST_PATTERN_SOURCE_NAME), S_OK);
        EXPECT_EQ(builder->AddFilter(grabber.Get(), L"Sample Grabber"), S_OK);
        EXPECT_EQ(builder->AddFilter(renderer.Get(), L"Null Renderer"), S_OK);
        EXPECT_EQ(Connect(source.Get(), grabber.Get()), S_OK);
        EXPECT_EQ(Connect(grabber.Get(), renderer.Get()), S_OK);
    }

    HRESULT Connect(IBaseFilter *from, IBaseFilter *to) {
        ComPtr<IPin> output = ComPtr<IPin>::Adopt(FirstPin(from, PINDIR_OUTPUT));
        ComPtr<IPin> input = ComPtr<IPin>::Adopt(FirstPin(to, PINDIR_INPUT));
        if (!output || !input) return E_FAIL;
        return builder->ConnectDirect(output.Get(), input.Get(), nullptr);
    }

    // The next event with code `wanted`, skipping others; 0 if none came
    // within 10 s.
    LONG_PTR NextEventParam(LONG wanted) {
        LONG code = 0;
        LONG_PTR first = 0, second = 0;
        while (events->GetEvent(&code, &first, &second, 10000) == S_OK) {
            events->FreeEventParams(code, first, second);
            if (code == wanted) return first == 0 ? -1 : first;
        }
        return 0;
    }

    ComPtr<IGraphBuilder> builder;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEventEx> events;
    ComPtr<IBaseFilter> source, grabber, renderer;
};

TEST_F(PatternSourceModule, RegistersAsADeviceOfItsCategoryAndUnregistersCleanly) {
    std::vector<ComPtr<IMoniker>> devices = Devices(CLSID_TestSourceCategory);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(FriendlyName(devices[0].Get()), Text(TEST_PATTERN_SOURCE_NAME));
    ComPtr<IBaseFilter> filter;
    ASSERT_EQ(devices[0]->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void **>(filter.Receive())),
              S_OK);
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(filter->GetClassID(&clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_TestPatternSource));
    ComPtr<IPin> pin;
    EXPECT_EQ(filter->FindPin(L"1", pin.Receive()), S_OK);
    filter.Reset();
    pin.Reset();

    // Registering again replaces the entry rather than adding a second.
    ASSERT_EQ(CallModuleEntry("DllRegisterServer"), S_OK);
    EXPECT_EQ(Devices(CLSID_TestSourceCategory).size(), 1u);

    ASSERT_EQ(CallModuleEntry("DllUnregisterServer"), S_OK);
    EXPECT_TRUE(Devices(CLSID_TestSourceCategory).empty());
    IUnknown *object = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_TestPatternSource, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void **>(&object)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CallModuleEntry("DllUnregisterServer"), S_OK) << "nothing left to remove is no failure";
}

TEST_F(PatternSourceModule, RunsPausesStopsAndRunsAgainAHundredTimes) {
    SampleLog log;
    PatternGraph graph(log);
    ASSERT_FALSE(HasFailure());
    for (int cycle = 0; cycle < 100; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
        ASSERT_TRUE(log.WaitFor(3));
        ASSERT_TRUE(SUCCEEDED(graph.control->Pause()));
        ASSERT_EQ(graph.control->Stop(), S_OK);
        std::vector<SampleLog::Sample> samples = log.Take();
        ASSERT_GE(samples.size(), 3u);
        ExpectOneStream(samples);
        ASSERT_FALSE(HasFailure());
    }
}

TEST_F(PatternSourceModule, TheEndOfItsStreamCompletesTheGraph) {
    SetDeviceValue(L"Samples", 5);
    SampleLog log;
    PatternGraph graph(log);
    ASSERT_FALSE(HasFailure());
    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
        LONG code = 0;
        ASSERT_EQ(graph.events->WaitForCompletion(10000, &code), S_OK);
        EXPECT_EQ(code, EC_COMPLETE);
        ASSERT_EQ(graph.control->Stop(), S_OK);
        std::vector<SampleLog::Sample> samples = log.Take();
        EXPECT_EQ(samples.size(), 5u) << "run " << run;
        ExpectOneStream(samples);
    }
}

TEST_F(PatternSourceModule, AFailedFillAbortsTheGraphWithItsError) {
    const HRESULT kFailure = E_OUTOFMEMORY;
    SetDeviceValue(L"Samples", 2);
    SetDeviceValue(L"Failure", static_cast<DWORD>(kFailure));
    SampleLog log;
    PatternGraph graph(log);
    ASSERT_FALSE(HasFailure());
    ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
    EXPECT_EQ(graph.NextEventParam(EC_ERRORABORT), static_cast<LONG_PTR>(kFailure));
    ASSERT_EQ(graph.control->Stop(), S_OK);
    EXPECT_EQ(log.Take().size(), 2u);
}

TEST_F(PatternSourceModule, UnloadsOnceTheGraphIsReleased) {
    {
        SampleLog log;
        PatternGraph graph(log);
        ASSERT_FALSE(HasFailure());
        ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
        ASSERT_TRUE(log.WaitFor(1));
        ASSERT_EQ(graph.control->Stop(), S_OK);
        CoFreeUnusedLibraries();
        EXPECT_TRUE(ModuleIsLoaded()) << "its filter is still in the graph";
    }
    CoFreeUnusedLibraries();
    EXPECT_FALSE(ModuleIsLoaded());
}

}  // namespace
}  // namespace tm350::test
