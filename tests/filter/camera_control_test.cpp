// The camera control interface on the pin and through the filter, with no
// camera bound: what a new filter reports, what the setters keep, and how
// each side refuses bad pointers and sizes.
#include "capture_module_fixture.h"

#include "filter/settings_store.h"

namespace filter_test {
namespace {

class CameraControl : public CaptureModuleTest {
protected:
    void SetUp() override {
        CaptureModuleTest::SetUp();
        filter_ = CreateFilter();
        ASSERT_TRUE(filter_);
        pin_ = OutputPin(filter_.Get());
        on_filter_ = Query<INVC480>(filter_.Get(), IID_INVC480);
        on_pin_ = Query<INVC480>(pin_.Get(), IID_INVC480);
        ASSERT_TRUE(on_filter_);
        ASSERT_TRUE(on_pin_);
    }

    DWORD VideoSize() {
        DWORD size = 99;
        EXPECT_EQ(on_pin_->GetVideoSize(&size), S_OK);
        return size;
    }

    Ref<IBaseFilter> filter_;
    Ref<IPin> pin_;
    Ref<INVC480> on_filter_;
    Ref<INVC480> on_pin_;
};

TEST_F(CameraControl, ANewFilterWithNothingStoredReportsTheDefaults) {
    for (INVC480 *control : {on_pin_.Get(), on_filter_.Get()}) {
        DWORD dword = 99, enable = 99;
        BYTE r = 0, g = 0, b = 0, byte = 0;
        WORD time = 0, gain = 0;
        EXPECT_EQ(control->GetVideoSize(&dword), S_OK);
        EXPECT_EQ(dword, 0u);
        EXPECT_EQ(control->GetWhiteBalance(&dword, &r, &g, &b), S_OK);
        EXPECT_EQ(dword, 0u);
        EXPECT_EQ(r, 74);
        EXPECT_EQ(g, 64);
        EXPECT_EQ(b, 96);
        EXPECT_EQ(control->GetExposureControl(&dword, &byte, &time, &gain), S_OK);
        EXPECT_EQ(dword, 1u);
        EXPECT_EQ(byte, 100);
        EXPECT_EQ(time, 300);
        EXPECT_EQ(gain, 224);
        EXPECT_EQ(control->GetSpeedMode(&byte), S_OK);
        EXPECT_EQ(byte, 0);
        EXPECT_EQ(control->GetGamma(&byte), S_OK);
        EXPECT_EQ(byte, 100);
        EXPECT_EQ(control->GetContrast(&byte), S_OK);
        EXPECT_EQ(byte, 30);
        EXPECT_EQ(control->GetSaturation(&enable, &byte), S_OK);
        EXPECT_EQ(enable, 1u);
        EXPECT_EQ(byte, 100);
        for (auto getter : {&INVC480::GetWhiteBlack, &INVC480::GetVFlip, &INVC480::GetHFlip}) {
            dword = 99;
            EXPECT_EQ((control->*getter)(&dword), S_OK);
            EXPECT_EQ(dword, 0u);
        }
        EXPECT_EQ(control->GetPowerFrequency(&dword), S_OK);
        EXPECT_EQ(dword, 1u);
        EXPECT_EQ(control->GetLineClocks(&dword), S_OK);
        EXPECT_EQ(dword, 2548u);
    }
}

TEST_F(CameraControl, SettersStoreWhatTheyAreGivenWithoutRangeChecks) {
    EXPECT_EQ(on_pin_->SetWhiteBalance(0, 1, 255, 7), S_OK);
    EXPECT_EQ(on_pin_->SetExposureControl(0, 3, 2000, 9999), S_OK);
    EXPECT_EQ(on_pin_->SetSaturation(5, 250), S_OK);
    EXPECT_EQ(on_pin_->SetWhiteBlack(7), S_OK);
    EXPECT_EQ(on_pin_->SetVFlip(1), S_OK);
    EXPECT_EQ(on_pin_->SetHFlip(2), S_OK);
    DWORD flag = 0;
    BYTE r = 0, g = 0, b = 0, target = 0;
    WORD time = 0, gain = 0;
    EXPECT_EQ(on_filter_->GetWhiteBalance(&flag, &r, &g, &b), S_OK);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(g, 255);
    EXPECT_EQ(b, 7);
    EXPECT_EQ(on_filter_->GetExposureControl(&flag, &target, &time, &gain), S_OK);
    EXPECT_EQ(flag, 0u);
    EXPECT_EQ(target, 3);
    EXPECT_EQ(time, 2000);
    EXPECT_EQ(gain, 9999);
    EXPECT_EQ(on_filter_->GetSaturation(&flag, &target), S_OK);
    EXPECT_EQ(flag, 5u);
    EXPECT_EQ(target, 250);
    EXPECT_EQ(on_filter_->GetWhiteBlack(&flag), S_OK);
    EXPECT_EQ(flag, 7u);
    EXPECT_EQ(on_filter_->GetVFlip(&flag), S_OK);
    EXPECT_EQ(flag, 1u);
    EXPECT_EQ(on_filter_->GetHFlip(&flag), S_OK);
    EXPECT_EQ(flag, 2u);
}

TEST_F(CameraControl, AOnePushRequestStaysPendingWhileNothingStreams) {
    EXPECT_EQ(on_filter_->SetWhiteBalance(1, 80, 64, 90), S_OK);
    DWORD pending = 0;
    BYTE r = 0, g = 0, b = 0;
    EXPECT_EQ(on_pin_->GetWhiteBalance(&pending, &r, &g, &b), S_OK);
    EXPECT_EQ(pending, 1u);
    EXPECT_EQ(r, 80);
    EXPECT_EQ(b, 90);
}

TEST_F(CameraControl, LineClocksFollowTheSpeed) {
    DWORD clocks = 0;
    for (BYTE speed : {1, 0, 2, 255, 0}) {
        SCOPED_TRACE(speed);
        ASSERT_EQ(on_filter_->SetSpeedMode(speed), S_OK);
        BYTE stored = 99;
        EXPECT_EQ(on_pin_->GetSpeedMode(&stored), S_OK);
        EXPECT_EQ(stored, speed);
        EXPECT_EQ(on_pin_->GetLineClocks(&clocks), S_OK);
        EXPECT_EQ(clocks, speed == 0 ? 2548u : 1274u);
    }
}

TEST_F(CameraControl, SetVideoSizeOnThePinRefusesSizesAboveThree) {
    EXPECT_EQ(on_pin_->SetVideoSize(3), S_OK);
    EXPECT_EQ(VideoSize(), 3u);
    for (DWORD size : {4u, 0x80000000u, 0xFFFFFFFFu}) EXPECT_EQ(on_pin_->SetVideoSize(size), E_INVALIDARG);
    EXPECT_EQ(VideoSize(), 3u);
    // The filter never reports the refusal, and changes nothing either.
    EXPECT_EQ(on_filter_->SetVideoSize(4), S_OK);
    EXPECT_EQ(VideoSize(), 3u);
    EXPECT_EQ(on_filter_->SetVideoSize(1), S_OK);
    EXPECT_EQ(VideoSize(), 1u);
}

TEST_F(CameraControl, SetVideoSizeIsRefusedWhileThePinIsConnected) {
    ConnectedGraph graph(filter_.Get());
    ASSERT_EQ(graph.connect_result(), S_OK);
    EXPECT_EQ(on_pin_->SetVideoSize(2), VFW_E_ALREADY_CONNECTED);
    EXPECT_EQ(on_filter_->SetVideoSize(2), S_OK);
    EXPECT_EQ(VideoSize(), 0u);
}

TEST_F(CameraControl, GettersWithANullPointerWriteNothing) {
    // The pin answers E_FAIL, the filter E_POINTER; neither writes the others.
    struct Side {
        INVC480 *control;
        HRESULT refusal;
    };
    for (Side side : {Side{on_pin_.Get(), E_FAIL}, Side{on_filter_.Get(), E_POINTER}}) {
        SCOPED_TRACE(side.refusal == E_FAIL ? "pin" : "filter");
        INVC480 *control = side.control;
        for (int missing = 0; missing < 4; missing++) {
            DWORD flag = 0xAAAA;
            BYTE r = 0xAB, g = 0xAB, b = 0xAB;
            EXPECT_EQ(control->GetWhiteBalance(missing == 0 ? nullptr : &flag, missing == 1 ? nullptr : &r,
                                               missing == 2 ? nullptr : &g, missing == 3 ? nullptr : &b),
                      side.refusal);
            EXPECT_EQ(flag, 0xAAAAu);
            EXPECT_EQ(r, 0xAB);
            EXPECT_EQ(g, 0xAB);
            EXPECT_EQ(b, 0xAB);

            BYTE target = 0xAB;
            WORD time = 0xAAAA, gain = 0xAAAA;
            EXPECT_EQ(control->GetExposureControl(missing == 0 ? nullptr : &flag, missing == 1 ? nullptr : &target,
                                                  missing == 2 ? nullptr : &time, missing == 3 ? nullptr : &gain),
                      side.refusal);
            EXPECT_EQ(flag, 0xAAAAu);
            EXPECT_EQ(target, 0xAB);
            EXPECT_EQ(time, 0xAAAA);
            EXPECT_EQ(gain, 0xAAAA);
        }
        DWORD flag = 0xAAAA;
        BYTE value = 0xAB;
        EXPECT_EQ(control->GetSaturation(nullptr, &value), side.refusal);
        EXPECT_EQ(control->GetSaturation(&flag, nullptr), side.refusal);
        EXPECT_EQ(flag, 0xAAAAu);
        EXPECT_EQ(value, 0xAB);
        EXPECT_EQ(control->GetVideoSize(nullptr), side.refusal);
        EXPECT_EQ(control->GetSpeedMode(nullptr), side.refusal);
        EXPECT_EQ(control->GetGamma(nullptr), side.refusal);
        EXPECT_EQ(control->GetContrast(nullptr), side.refusal);
        EXPECT_EQ(control->GetWhiteBlack(nullptr), side.refusal);
        EXPECT_EQ(control->GetVFlip(nullptr), side.refusal);
        EXPECT_EQ(control->GetHFlip(nullptr), side.refusal);
        EXPECT_EQ(control->GetPowerFrequency(nullptr), side.refusal);
        EXPECT_EQ(control->GetLineClocks(nullptr), side.refusal);
    }
}

TEST_F(CameraControl, PowerFrequencyIsOnlyReportedAndStored) {
    EXPECT_EQ(on_filter_->SetPowerFrequency(0), S_OK);
    DWORD hz50 = 99;
    EXPECT_EQ(on_pin_->GetPowerFrequency(&hz50), S_OK);
    EXPECT_EQ(hz50, 0u);
    DWORD clocks = 0;
    EXPECT_EQ(on_pin_->GetLineClocks(&clocks), S_OK);
    EXPECT_EQ(clocks, 2548u);
    pin_.Reset();
    on_pin_.Reset();
    on_filter_.Reset();
    filter_.Reset();
    CCameraSettings stored;
    stored.SetDefaults();
    LoadCameraSettings(stored);
    EXPECT_EQ(stored.HZ, 0u);
}

TEST_F(CameraControl, AGammaOfZeroIsKeptAndSavedButLoadsAsTen) {
    EXPECT_EQ(on_filter_->SetGamma(0), S_OK);
    BYTE gamma = 99;
    EXPECT_EQ(on_pin_->GetGamma(&gamma), S_OK);
    EXPECT_EQ(gamma, 0);
    pin_.Reset();
    on_pin_.Reset();
    on_filter_.Reset();
    filter_.Reset();
    HKEY key = NULL;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, NVC480_SETTINGS_KEY, 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD value = 99, size = sizeof value;
    EXPECT_EQ(RegQueryValueExA(key, "Gamma", nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(value, 0u);
    Ref<IBaseFilter> next = CreateFilter();
    Ref<INVC480> control = Query<INVC480>(next.Get(), IID_INVC480);
    EXPECT_EQ(control->GetGamma(&gamma), S_OK);
    EXPECT_EQ(gamma, 10);
}

}  // namespace
}  // namespace filter_test
