// The capture filter as an application meets it: created by class
// identifier with no camera attached, its identity, its pin, its property
// pages and its source flag.
#include "capture_module_fixture.h"

#include "filter/settings_store.h"

namespace filter_test {
namespace {

using FilterObject = CaptureModuleTest;

TEST_F(FilterObject, IsCreatedWithoutACameraAndReportsItsBuildsClass) {
    for (int instance : {0, 2}) {
        SCOPED_TRACE(instance);
        Ref<IBaseFilter> filter = CreateFilter(instance);
        ASSERT_TRUE(filter);
        CLSID clsid = {};
        EXPECT_EQ(filter->GetClassID(&clsid), S_OK);
        EXPECT_TRUE(IsEqualCLSID(clsid, kNVC480Identities[instance == 0 ? 0 : 1].filter));
    }
}

TEST_F(FilterObject, HasOneOutputPinNamedOut) {
    Ref<IBaseFilter> filter = CreateFilter();
    ASSERT_TRUE(filter);
    Ref<IEnumPins> pins;
    ASSERT_EQ(filter->EnumPins(pins.Receive()), S_OK);
    Ref<IPin> first, second;
    ASSERT_EQ(pins->Next(1, first.Receive(), nullptr), S_OK);
    EXPECT_EQ(pins->Next(1, second.Receive(), nullptr), S_FALSE);
    PIN_INFO info = {};
    ASSERT_EQ(first->QueryPinInfo(&info), S_OK);
    EXPECT_EQ(Text(info.achName), u"Out");
    EXPECT_EQ(info.dir, PINDIR_OUTPUT);
    if (info.pFilter) info.pFilter->Release();
}

TEST_F(FilterObject, AnswersTheCameraControlInterfaceOnFilterAndPin) {
    Ref<IBaseFilter> filter = CreateFilter();
    ASSERT_TRUE(filter);
    Ref<INVC480> on_filter = Query<INVC480>(filter.Get(), IID_INVC480);
    Ref<IPin> pin = OutputPin(filter.Get());
    Ref<INVC480> on_pin = Query<INVC480>(pin.Get(), IID_INVC480);
    ASSERT_TRUE(on_filter);
    ASSERT_TRUE(on_pin);
    // One object behind both: a change through the filter shows on the pin.
    EXPECT_EQ(on_filter->SetGamma(150), S_OK);
    BYTE gamma = 0;
    EXPECT_EQ(on_pin->GetGamma(&gamma), S_OK);
    EXPECT_EQ(gamma, 150);
    // The identities stay those of their objects.
    Ref<IUnknown> filter_identity = Query<IUnknown>(on_filter.Get(), IID_IUnknown);
    Ref<IUnknown> pin_identity = Query<IUnknown>(on_pin.Get(), IID_IUnknown);
    Ref<IUnknown> filter_itself = Query<IUnknown>(filter.Get(), IID_IUnknown);
    EXPECT_EQ(filter_identity.Get(), filter_itself.Get());
    EXPECT_NE(pin_identity.Get(), filter_identity.Get());
}

TEST_F(FilterObject, RefusesInterfacesItDoesNotHave) {
    Ref<IBaseFilter> filter = CreateFilter();
    ASSERT_TRUE(filter);
    void *object = reinterpret_cast<void *>(1);
    EXPECT_EQ(filter->QueryInterface(IID_IAMStreamConfig, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(filter->QueryInterface(IID_INVC480, nullptr), E_POINTER);
    Ref<IAMovieSetup> setup = Query<IAMovieSetup>(filter.Get(), IID_IAMovieSetup);
    EXPECT_TRUE(setup);
}

TEST_F(FilterObject, NamesTheSetupPageAndThePinTheSizePage) {
    for (int instance : {0, 2}) {
        SCOPED_TRACE(instance);
        const CNVC480Identity &identity = kNVC480Identities[instance == 0 ? 0 : 1];
        Ref<IBaseFilter> filter = CreateFilter(instance);
        ASSERT_TRUE(filter);
        Ref<ISpecifyPropertyPages> filter_pages = Query<ISpecifyPropertyPages>(filter.Get(), IID_ISpecifyPropertyPages);
        ASSERT_TRUE(filter_pages);
        CAUUID pages = {};
        ASSERT_EQ(filter_pages->GetPages(&pages), S_OK);
        ASSERT_EQ(pages.cElems, 1u);
        EXPECT_TRUE(IsEqualCLSID(pages.pElems[0], identity.setupPage));
        CoTaskMemFree(pages.pElems);
        EXPECT_EQ(filter_pages->GetPages(nullptr), E_POINTER);

        Ref<IPin> pin = OutputPin(filter.Get());
        Ref<ISpecifyPropertyPages> pin_pages = Query<ISpecifyPropertyPages>(pin.Get(), IID_ISpecifyPropertyPages);
        ASSERT_TRUE(pin_pages);
        pages = {};
        ASSERT_EQ(pin_pages->GetPages(&pages), S_OK);
        ASSERT_EQ(pages.cElems, 1u);
        EXPECT_TRUE(IsEqualCLSID(pages.pElems[0], identity.sizePage));
        CoTaskMemFree(pages.pElems);
        EXPECT_EQ(pin_pages->GetPages(nullptr), E_POINTER);
    }
}

TEST_F(FilterObject, DeclaresItselfASource) {
    Ref<IBaseFilter> filter = CreateFilter();
    Ref<IAMFilterMiscFlags> flags = Query<IAMFilterMiscFlags>(filter.Get(), IID_IAMFilterMiscFlags);
    ASSERT_TRUE(flags);
    EXPECT_EQ(flags->GetMiscFlags(), static_cast<ULONG>(AM_FILTER_MISC_FLAGS_IS_SOURCE));
}

TEST_F(FilterObject, ReportsTheStoppedStateAndRefusesANullStatePointer) {
    Ref<IBaseFilter> filter = CreateFilter();
    FILTER_STATE state = State_Running;
    EXPECT_EQ(filter->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Stopped);
    EXPECT_EQ(filter->GetState(0, nullptr), E_POINTER);
}

// Only a connected pin needs the camera: alone in a graph the filter pauses
// and runs with none attached.
TEST_F(FilterObject, AnUnconnectedFilterChangesStateWithoutACamera) {
    Ref<IBaseFilter> filter = CreateFilter();
    ASSERT_TRUE(filter);
    Ref<IFilterGraph> graph;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph, graph.ReceiveVoid()),
              S_OK);
    ASSERT_EQ(graph->AddFilter(filter.Get(), L"Camera"), S_OK);
    EXPECT_EQ(filter->Pause(), S_OK);
    FILTER_STATE state = State_Stopped;
    EXPECT_EQ(filter->GetState(0, &state), VFW_S_CANT_CUE);
    EXPECT_EQ(state, State_Paused);
    EXPECT_EQ(filter->Run(0), S_OK);
    EXPECT_EQ(filter->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Running);
    EXPECT_EQ(filter->Stop(), S_OK);
    EXPECT_EQ(filter->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Stopped);
}

TEST_F(FilterObject, ConnectsToARendererWithoutACamera) {
    Ref<IBaseFilter> filter = CreateFilter();
    ASSERT_TRUE(filter);
    ConnectedGraph graph(filter.Get());
    EXPECT_EQ(graph.connect_result(), S_OK);
    Ref<IPin> pin = OutputPin(filter.Get());
    AM_MEDIA_TYPE type = {};
    ASSERT_EQ(pin->ConnectionMediaType(&type), S_OK);
    EXPECT_TRUE(IsEqualGUID(type.subtype, MEDIASUBTYPE_RGB24));
    EXPECT_EQ(type.lSampleSize, 2359296u);
    CoTaskMemFree(type.pbFormat);
}

TEST_F(FilterObject, WritesTheSettingsKeyWhenDestroyedWithoutStreaming) {
    HKEY key = NULL;
    ASSERT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, NVC480_SETTINGS_KEY, 0, KEY_READ, &key), ERROR_SUCCESS);
    {
        Ref<IBaseFilter> filter = CreateFilter();
        ASSERT_TRUE(filter);
        Ref<INVC480> control = Query<INVC480>(filter.Get(), IID_INVC480);
        control->SetContrast(77);
    }
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, NVC480_SETTINGS_KEY, 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD value = 0, size = sizeof value, type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Contrast", nullptr, &type, reinterpret_cast<BYTE *>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 77u);
    RegCloseKey(key);
    // The next filter starts from what the last one stored.
    Ref<IBaseFilter> filter = CreateFilter();
    Ref<INVC480> control = Query<INVC480>(filter.Get(), IID_INVC480);
    BYTE contrast = 0;
    EXPECT_EQ(control->GetContrast(&contrast), S_OK);
    EXPECT_EQ(contrast, 77);
}

}  // namespace
}  // namespace filter_test
