#include "capture_module_fixture.h"

namespace filter_test {

std::filesystem::path ModulePath(int instance) {
    return tm350::test::LibDirectory() / (instance == 0 ? "TM350Mt64.ax" : "TM350Mt64_2.ax");
}

HRESULT CallModuleEntry(const std::filesystem::path &module, const char *entry_name) {
    HMODULE handle = LoadLibraryA(module.c_str());
    if (handle == NULL) return E_FAIL;
    typedef HRESULT(STDAPICALLTYPE * Entry)();
    auto entry = reinterpret_cast<Entry>(GetProcAddress(handle, entry_name));
    HRESULT hr = entry != NULL ? entry() : E_FAIL;
    FreeLibrary(handle);
    return hr;
}

std::u16string Text(LPCWSTR text) { return reinterpret_cast<const char16_t *>(text); }

void CaptureModuleTest::SetUp() {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ASSERT_EQ(CallModuleEntry(ModulePath(0), "DllRegisterServer"), S_OK);
    ASSERT_EQ(CallModuleEntry(ModulePath(2), "DllRegisterServer"), S_OK);
}

void CaptureModuleTest::TearDown() {
    CoFreeUnusedLibraries();
    CoUninitialize();
}

Ref<IBaseFilter> CaptureModuleTest::CreateFilter(int instance) {
    const CNVC480Identity &identity = kNVC480Identities[instance == 0 ? 0 : 1];
    Ref<IBaseFilter> filter;
    EXPECT_EQ(CoCreateInstance(identity.filter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, filter.ReceiveVoid()),
              S_OK);
    return filter;
}

Ref<IPin> CaptureModuleTest::OutputPin(IBaseFilter *filter) {
    Ref<IPin> pin;
    Ref<IEnumPins> pins;
    if (filter->EnumPins(pins.Receive()) == S_OK) pins->Next(1, pin.Receive(), nullptr);
    return pin;
}

ConnectedGraph::ConnectedGraph(IBaseFilter *filter) {
    EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               graph_.ReceiveVoid()),
              S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               renderer_.ReceiveVoid()),
              S_OK);
    if (!graph_ || !renderer_) return;
    graph_->QueryInterface(IID_IMediaControl, control_.ReceiveVoid());
    EXPECT_EQ(graph_->AddFilter(filter, L"Camera"), S_OK);
    EXPECT_EQ(graph_->AddFilter(renderer_.Get(), L"Renderer"), S_OK);
    Ref<IEnumPins> pins;
    renderer_->EnumPins(pins.Receive());
    pins->Next(1, renderer_input_.Receive(), nullptr);
    Ref<IPin> output;
    Ref<IEnumPins> filter_pins;
    filter->EnumPins(filter_pins.Receive());
    filter_pins->Next(1, output.Receive(), nullptr);
    connect_result_ = graph_->ConnectDirect(output.Get(), renderer_input_.Get(), nullptr);
}

}  // namespace filter_test
