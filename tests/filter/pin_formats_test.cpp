// The output pin's formats as a peer and a capture application see them:
// the one type it offers, what it accepts, the allocator it asks for, the
// stream configuration and the pin category.
#include "capture_module_fixture.h"

#include <cstring>

namespace filter_test {
namespace {

// An RGB24 video type of the given size and bit count, built by hand the
// way another filter would propose it.
struct ProposedType {
    AM_MEDIA_TYPE type = {};
    VIDEOINFOHEADER format = {};

    ProposedType(LONG width, LONG height, WORD bits = 24) {
        type.majortype = MEDIATYPE_Video;
        type.subtype = bits == 24 ? MEDIASUBTYPE_RGB24 : MEDIASUBTYPE_RGB565;
        type.bFixedSizeSamples = TRUE;
        type.formattype = FORMAT_VideoInfo;
        type.cbFormat = sizeof format;
        type.pbFormat = reinterpret_cast<BYTE *>(&format);
        format.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        format.bmiHeader.biWidth = width;
        format.bmiHeader.biHeight = height;
        format.bmiHeader.biPlanes = 1;
        format.bmiHeader.biBitCount = bits;
        format.bmiHeader.biSizeImage = ((width * bits + 31) / 32) * 4 * (height < 0 ? -height : height);
        type.lSampleSize = format.bmiHeader.biSizeImage;
    }
    // The type points into this object, which therefore never moves.
    ProposedType(const ProposedType &) = delete;
    AM_MEDIA_TYPE *get() { return &type; }
};

void FreeType(AM_MEDIA_TYPE *type) {
    if (type == nullptr) return;
    CoTaskMemFree(type->pbFormat);
    if (type->pUnk) type->pUnk->Release();
    CoTaskMemFree(type);
}

const VIDEOINFOHEADER &VideoHeader(const AM_MEDIA_TYPE *type) {
    return *reinterpret_cast<const VIDEOINFOHEADER *>(type->pbFormat);
}

// Every field of the offered type at one size.
void ExpectRgb24Type(const AM_MEDIA_TYPE *type, LONG width, LONG height) {
    ASSERT_NE(type, nullptr);
    const DWORD image = static_cast<DWORD>(width * 3 * height);
    EXPECT_TRUE(IsEqualGUID(type->majortype, MEDIATYPE_Video));
    EXPECT_TRUE(IsEqualGUID(type->subtype, MEDIASUBTYPE_RGB24));
    EXPECT_TRUE(type->bFixedSizeSamples);
    EXPECT_FALSE(type->bTemporalCompression);
    EXPECT_EQ(type->lSampleSize, image);
    EXPECT_TRUE(IsEqualGUID(type->formattype, FORMAT_VideoInfo));
    ASSERT_EQ(type->cbFormat, 88u);
    ASSERT_NE(type->pbFormat, nullptr);
    const VIDEOINFOHEADER &format = VideoHeader(type);
    VIDEOINFOHEADER expected = {};
    expected.bmiHeader.biSize = 40;
    expected.bmiHeader.biWidth = width;
    expected.bmiHeader.biHeight = height;
    expected.bmiHeader.biPlanes = 1;
    expected.bmiHeader.biBitCount = 24;
    expected.bmiHeader.biCompression = BI_RGB;
    expected.bmiHeader.biSizeImage = image;
    // Empty rectangles, no rates, no frame time, no resolution or palette.
    EXPECT_EQ(std::memcmp(&format, &expected, sizeof expected), 0);
}

class PinFormats : public CaptureModuleTest {
protected:
    void SetUp() override {
        CaptureModuleTest::SetUp();
        filter_ = CreateFilter();
        ASSERT_TRUE(filter_);
        pin_ = OutputPin(filter_.Get());
        ASSERT_TRUE(pin_);
        config_ = Query<IAMStreamConfig>(pin_.Get(), IID_IAMStreamConfig);
        control_ = Query<INVC480>(pin_.Get(), IID_INVC480);
        ASSERT_TRUE(config_);
        ASSERT_TRUE(control_);
    }

    DWORD VideoSize() {
        DWORD size = 99;
        EXPECT_EQ(control_->GetVideoSize(&size), S_OK);
        return size;
    }

    Ref<IBaseFilter> filter_;
    Ref<IPin> pin_;
    Ref<IAMStreamConfig> config_;
    Ref<INVC480> control_;
};

TEST_F(PinFormats, OffersExactlyTheFullSizeRgb24Type) {
    Ref<IEnumMediaTypes> types;
    ASSERT_EQ(pin_->EnumMediaTypes(types.Receive()), S_OK);
    AM_MEDIA_TYPE *offered[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(types->Next(2, offered, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);
    ExpectRgb24Type(offered[0], 1024, 768);
    FreeType(offered[0]);
}

TEST_F(PinFormats, AcceptsTopDownPicturesOfTheSelectedSizeOnly) {
    EXPECT_EQ(pin_->QueryAccept(ProposedType(1024, 768).get()), S_OK);
    EXPECT_EQ(pin_->QueryAccept(ProposedType(1024, -768).get()), S_OK);
    EXPECT_EQ(pin_->QueryAccept(ProposedType(640, 480).get()), S_FALSE);

    ProposedType audio(1024, 768);
    audio.type.majortype = MEDIATYPE_Audio;
    EXPECT_EQ(pin_->QueryAccept(&audio.type), S_FALSE);
    ProposedType variable(1024, 768);
    variable.type.bFixedSizeSamples = FALSE;
    EXPECT_EQ(pin_->QueryAccept(&variable.type), S_FALSE);
    ProposedType no_format(1024, 768);
    no_format.type.pbFormat = nullptr;
    EXPECT_EQ(pin_->QueryAccept(&no_format.type), S_FALSE);
    // A block too short for the video header is never read as one.
    ProposedType short_format(1024, 768);
    short_format.type.cbFormat = sizeof(VIDEOINFOHEADER) - 1;
    EXPECT_EQ(pin_->QueryAccept(&short_format.type), S_FALSE);
}

TEST_F(PinFormats, ConnectionGivesTheAllocatorThreeFullPictures) {
    ConnectedGraph graph(filter_.Get());
    ASSERT_EQ(graph.connect_result(), S_OK);
    Ref<IMemInputPin> input = Query<IMemInputPin>(graph.renderer_input(), IID_IMemInputPin);
    Ref<IMemAllocator> allocator;
    ASSERT_EQ(input->GetAllocator(allocator.Receive()), S_OK);
    ALLOCATOR_PROPERTIES properties = {};
    ASSERT_EQ(allocator->GetProperties(&properties), S_OK);
    EXPECT_EQ(properties.cBuffers, 3);
    EXPECT_EQ(properties.cbBuffer, 2359296);
}

TEST_F(PinFormats, SetFormatOnAnUnconnectedPinSelectsTheSizeForLaterConnections) {
    EXPECT_EQ(config_->SetFormat(ProposedType(640, 480).get()), S_OK);
    EXPECT_EQ(VideoSize(), 2u);
    // The pin offers only the full size, which the new size no longer accepts...
    ConnectedGraph offered(filter_.Get());
    EXPECT_NE(offered.connect_result(), S_OK);
    Ref<IPin> peer;
    EXPECT_EQ(pin_->ConnectedTo(peer.Receive()), VFW_E_NOT_CONNECTED);
}

TEST_F(PinFormats, AfterSetFormatOnlyThatSizeConnectsWhenThePeerProposesIt) {
    ASSERT_EQ(config_->SetFormat(ProposedType(640, 480).get()), S_OK);
    ConnectedGraph graph(filter_.Get());
    ASSERT_TRUE(graph.graph());
    // A proposal of the full size is refused now...
    graph.graph()->Disconnect(pin_.Get());
    graph.graph()->Disconnect(graph.renderer_input());
    EXPECT_NE(graph.graph()->ConnectDirect(pin_.Get(), graph.renderer_input(), ProposedType(1024, 768).get()), S_OK);
    // ... and one of the chosen size connects, with buffers of its size.
    ASSERT_EQ(graph.graph()->ConnectDirect(pin_.Get(), graph.renderer_input(), ProposedType(640, 480).get()), S_OK);
    EXPECT_EQ(VideoSize(), 2u);
    Ref<IMemInputPin> input = Query<IMemInputPin>(graph.renderer_input(), IID_IMemInputPin);
    Ref<IMemAllocator> allocator;
    ASSERT_EQ(input->GetAllocator(allocator.Receive()), S_OK);
    ALLOCATOR_PROPERTIES properties = {};
    ASSERT_EQ(allocator->GetProperties(&properties), S_OK);
    EXPECT_EQ(properties.cbBuffer, 921600);
}

TEST_F(PinFormats, SetFormatRefusesWhatIsNotAKnownRgb24SizeAndChangesNothing) {
    EXPECT_EQ(config_->SetFormat(nullptr), E_POINTER);
    EXPECT_EQ(config_->SetFormat(ProposedType(640, 480, 16).get()), E_INVALIDARG);
    EXPECT_EQ(config_->SetFormat(ProposedType(1000, 700).get()), E_INVALIDARG);
    EXPECT_EQ(config_->SetFormat(ProposedType(640, -480).get()), E_INVALIDARG);
    ProposedType no_format(640, 480);
    no_format.type.pbFormat = nullptr;
    EXPECT_EQ(config_->SetFormat(&no_format.type), E_INVALIDARG);
    EXPECT_EQ(VideoSize(), 0u);
    // None of them set the format: a later connection may still pick its size.
    ConnectedGraph graph(filter_.Get());
    EXPECT_EQ(graph.connect_result(), S_OK);
}

TEST_F(PinFormats, SetFormatOnAConnectedStoppedPinKeepsOnlyTheConnectedSize) {
    ConnectedGraph graph(filter_.Get());
    ASSERT_EQ(graph.connect_result(), S_OK);
    EXPECT_EQ(config_->SetFormat(ProposedType(640, 480).get()), VFW_E_ALREADY_CONNECTED);
    EXPECT_EQ(VideoSize(), 0u);
    EXPECT_EQ(config_->SetFormat(ProposedType(1024, 768).get()), S_OK);
    EXPECT_EQ(VideoSize(), 0u);
}

TEST_F(PinFormats, GetFormatGivesTheTypeOfEverySize) {
    const LONG sizes[4][2] = {{1024, 768}, {800, 600}, {640, 480}, {320, 240}};
    EXPECT_EQ(config_->GetFormat(nullptr), E_POINTER);
    for (DWORD index = 0; index < 4; index++) {
        SCOPED_TRACE(index);
        ASSERT_EQ(control_->SetVideoSize(index), S_OK);
        AM_MEDIA_TYPE *type = nullptr;
        ASSERT_EQ(config_->GetFormat(&type), S_OK);
        ExpectRgb24Type(type, sizes[index][0], sizes[index][1]);
        FreeType(type);
    }
}

TEST_F(PinFormats, StreamCapabilitiesDescribeTheFullSizeOnly) {
    int count = 0, size = 0;
    EXPECT_EQ(config_->GetNumberOfCapabilities(&count, &size), S_OK);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(size, 128);
    EXPECT_EQ(static_cast<int>(sizeof(VIDEO_STREAM_CONFIG_CAPS)), 128);

    VIDEO_STREAM_CONFIG_CAPS caps;
    std::memset(&caps, 0xCD, sizeof caps);
    AM_MEDIA_TYPE *type = nullptr;
    ASSERT_EQ(config_->GetStreamCaps(0, &type, reinterpret_cast<BYTE *>(&caps)), S_OK);
    ExpectRgb24Type(type, 1024, 768);
    FreeType(type);
    VIDEO_STREAM_CONFIG_CAPS expected;
    std::memset(&expected, 0, sizeof expected);
    expected.guid = FORMAT_VideoInfo;
    expected.InputSize = expected.MinCroppingSize = expected.MaxCroppingSize = {1024, 768};
    expected.MinOutputSize = expected.MaxOutputSize = {1024, 768};
    expected.MinFrameInterval = 333333;
    expected.MaxFrameInterval = 10000000;
    expected.MinBitsPerSecond = 18874368;
    expected.MaxBitsPerSecond = 566231040;
    EXPECT_EQ(std::memcmp(&caps, &expected, sizeof caps), 0);

    // Only the type or only the capabilities.
    EXPECT_EQ(config_->GetStreamCaps(0, nullptr, reinterpret_cast<BYTE *>(&caps)), S_OK);
    ASSERT_EQ(config_->GetStreamCaps(0, &type, nullptr), S_OK);
    FreeType(type);

    for (int index : {1, 2, 3}) {
        type = nullptr;
        EXPECT_EQ(config_->GetStreamCaps(index, &type, reinterpret_cast<BYTE *>(&caps)), E_UNEXPECTED);
        EXPECT_EQ(type, nullptr);
    }
    EXPECT_EQ(config_->GetStreamCaps(4, &type, reinterpret_cast<BYTE *>(&caps)), S_FALSE);
    EXPECT_EQ(config_->GetStreamCaps(-1, &type, reinterpret_cast<BYTE *>(&caps)), E_INVALIDARG);
}

TEST_F(PinFormats, NamesItsCategoryCaptureThroughThePinPropertySet) {
    Ref<IKsPropertySet> properties = Query<IKsPropertySet>(pin_.Get(), IID_IKsPropertySet);
    ASSERT_TRUE(properties);
    GUID category = GUID_NULL;
    DWORD returned = 0;
    EXPECT_EQ(properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, sizeof category,
                              &returned),
              S_OK);
    EXPECT_TRUE(IsEqualGUID(category, PIN_CATEGORY_CAPTURE));
    EXPECT_EQ(returned, 16u);

    // The length alone.
    returned = 0;
    EXPECT_EQ(properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, nullptr, 0, &returned), S_OK);
    EXPECT_EQ(returned, 16u);
    // A buffer one byte short is not written.
    BYTE small[16];
    std::memset(small, 0xAB, sizeof small);
    EXPECT_EQ(properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, small, 15, nullptr),
              E_UNEXPECTED);
    EXPECT_EQ(small[0], 0xAB);
    EXPECT_EQ(properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, nullptr, 0, nullptr), E_POINTER);
    EXPECT_EQ(properties->Get(PIN_CATEGORY_CAPTURE, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, 16, &returned),
              E_PROP_SET_UNSUPPORTED);
    EXPECT_EQ(properties->Get(AMPROPSETID_Pin, 1, nullptr, 0, &category, 16, &returned), E_PROP_ID_UNSUPPORTED);

    DWORD support = 0;
    EXPECT_EQ(properties->QuerySupported(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, &support), S_OK);
    EXPECT_EQ(support, static_cast<DWORD>(KSPROPERTY_SUPPORT_GET));
    EXPECT_EQ(properties->QuerySupported(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr), S_OK);
    EXPECT_EQ(properties->QuerySupported(GUID_NULL, AMPROPERTY_PIN_CATEGORY, &support), E_PROP_SET_UNSUPPORTED);
    EXPECT_EQ(properties->QuerySupported(AMPROPSETID_Pin, 7, &support), E_PROP_ID_UNSUPPORTED);
    EXPECT_EQ(properties->Set(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, 16), E_NOTIMPL);
}

TEST_F(PinFormats, IgnoresQualityReports) {
    Ref<IQualityControl> quality = Query<IQualityControl>(pin_.Get(), IID_IQualityControl);
    ASSERT_TRUE(quality);
    Quality report = {Famine, 500, -10000, 0};
    EXPECT_EQ(quality->Notify(filter_.Get(), report), E_FAIL);
}

}  // namespace
}  // namespace filter_test
