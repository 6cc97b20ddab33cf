// The filter's setup page against a recording camera: what it reads at
// connection, how it fills the dialog, and exactly what each control sends.
#include "page_test_support.h"

#include <algorithm>

#include "resources/resource.h"

namespace pages_test {
namespace {

const CLSID &SetupPageClass() { return kNVC480Identities[0].setupPage; }

class SetupPage : public PageTest {
protected:
    void OpenWith(const CameraValues &values) {
        camera_.values() = values;
        page_ = CreatePage(SetupPageClass());
        ASSERT_TRUE(page_);
        Open(page_.Get(), &camera_);
        dialog_ = PageDialog();
    }
    void TearDown() override {
        if (page_) {
            page_->Deactivate();
            page_->SetObjects(0, nullptr);
            page_->SetPageSite(nullptr);
            page_.Reset();
        }
        PageTest::TearDown();
    }

    RecordingCamera camera_;
    Ref<IPropertyPage> page_;
    HWND dialog_ = nullptr;
};

TEST_F(SetupPage, ConnectingReadsEverySettingInOrderAndActivatingShowsThem) {
    CameraValues values;
    values.gamma = 150;
    values.contrast = 40;
    values.saturation = 120;
    values.autoExposure = 0;
    values.aeTarget = 90;
    values.r = 128;
    values.g = 64;
    values.b = 32;
    values.hFlip = 1;
    values.speed = 1;
    values.hz50 = 0;
    OpenWith(values);
    std::vector<std::string> reads = camera_.Take("Get");
    // Filling the dialog asks for the line clocks; the settings come first.
    ASSERT_GE(reads.size(), 10u);
    EXPECT_EQ(std::vector<std::string>(reads.begin(), reads.begin() + 10),
              (std::vector<std::string>{"GetGamma()", "GetSaturation()", "GetContrast()", "GetExposureControl()",
                                        "GetWhiteBalance()", "GetWhiteBlack()", "GetVFlip()", "GetHFlip()",
                                        "GetSpeedMode()", "GetPowerFrequency()"}));
    EXPECT_TRUE(camera_.Take("Set").empty()) << "opening sends nothing";

    EXPECT_EQ(ControlText(dialog_, IDC_GAMMA_VALUE), u"1.50");
    EXPECT_EQ(ControlText(dialog_, IDC_CONTRAST_VALUE), u"40");
    EXPECT_EQ(ControlText(dialog_, IDC_SATURATION_VALUE), u"120");
    EXPECT_EQ(ControlText(dialog_, IDC_AE_TARGET_VALUE), u"90");
    EXPECT_EQ(ControlText(dialog_, IDC_RED_VALUE), u"2.00");
    EXPECT_EQ(ControlText(dialog_, IDC_GREEN_VALUE), u"1.00");
    EXPECT_EQ(ControlText(dialog_, IDC_BLUE_VALUE), u"0.50");
    const WindowView gamma = ControlView(dialog_, IDC_GAMMA_SLIDER);
    EXPECT_EQ(gamma.range_min, 10);
    EXPECT_EQ(gamma.range_max, 250);
    EXPECT_EQ(gamma.position, 150);
    const WindowView time = ControlView(dialog_, IDC_EXPOSURE_TIME_SLIDER);
    EXPECT_EQ(time.range_min, 1);
    EXPECT_EQ(time.range_max, 791);
    EXPECT_EQ(time.position, 300);
    EXPECT_EQ(ControlView(dialog_, IDC_GAIN_SLIDER).range_min, 224);
    EXPECT_EQ(ControlView(dialog_, IDC_GAIN_SLIDER).range_max, 768);
    EXPECT_EQ(ControlView(dialog_, IDC_BLUE_SLIDER).position, 32);
    EXPECT_EQ(ControlView(dialog_, IDC_AE).check, BST_UNCHECKED);
    EXPECT_EQ(ControlView(dialog_, IDC_FLIP_HORIZONTAL).check, BST_CHECKED);
    EXPECT_EQ(ControlView(dialog_, IDC_FLIP_VERTICAL).check, BST_UNCHECKED);
    EXPECT_EQ(ControlView(dialog_, IDC_HIGH_SPEED).check, BST_CHECKED);
    EXPECT_EQ(ControlView(dialog_, IDC_NORMAL_SPEED).check, BST_UNCHECKED);
    EXPECT_EQ(ControlView(dialog_, IDC_60HZ).check, BST_CHECKED);
    EXPECT_EQ(page_->IsPageDirty(), S_FALSE) << "filling the dialog is no change";
}

TEST_F(SetupPage, TheLabelsShowGainInDecibelsAndTimeInMilliseconds) {
    CameraValues values;
    values.analogGain = 224;
    OpenWith(values);
    EXPECT_EQ(ControlText(dialog_, IDC_GAIN_VALUE), u"13.86 dB");
    EXPECT_EQ(ControlText(dialog_, IDC_EXPOSURE_TIME_VALUE), u"25.480ms");
    EXPECT_EQ(ControlText(dialog_, IDC_GAMMA_VALUE), u"1.00");
    page_->Deactivate();
    page_->SetObjects(0, nullptr);
    page_->SetPageSite(nullptr);

    values.analogGain = 768;
    values.exposureTime = 791;
    OpenWith(values);
    EXPECT_EQ(ControlText(dialog_, IDC_GAIN_VALUE), u"32.96 dB");
    EXPECT_EQ(ControlText(dialog_, IDC_EXPOSURE_TIME_VALUE), u"67.182ms");
}

// With automatic exposure the camera owns time and gain: their sliders are
// disabled and deaf, the target slider works.
TEST_F(SetupPage, AutomaticExposureDisablesAndDeafensTimeAndGain) {
    OpenWith(CameraValues{});
    EXPECT_FALSE(ControlView(dialog_, IDC_EXPOSURE_TIME_SLIDER).enabled);
    EXPECT_FALSE(ControlView(dialog_, IDC_GAIN_SLIDER).enabled);
    EXPECT_TRUE(ControlView(dialog_, IDC_AE_TARGET_SLIDER).enabled);
    camera_.Take();

    DragThumb(dialog_, IDC_GAIN_SLIDER, 30);
    SendMessageW(dialog_, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, 500),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog_, IDC_GAIN_SLIDER)));
    SendMessageW(dialog_, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, 500),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog_, IDC_EXPOSURE_TIME_SLIDER)));
    EXPECT_TRUE(camera_.Take("Set").empty());
    EXPECT_EQ(ControlText(dialog_, IDC_GAIN_VALUE), u"13.86 dB");

    DragThumb(dialog_, IDC_AE_TARGET_SLIDER, 20);
    const std::vector<std::string> sent = camera_.Take("Set");
    ASSERT_FALSE(sent.empty()) << "the target slider follows a drag";
    const int target = static_cast<int>(SendDlgItemMessageW(dialog_, IDC_AE_TARGET_SLIDER, TBM_GETPOS, 0, 0));
    EXPECT_GT(target, 100);
    EXPECT_EQ(sent.back(), "SetExposureControl(1," + std::to_string(target) + ",300,224)");
    EXPECT_EQ(page_->IsPageDirty(), S_FALSE) << "sliders do not make the page dirty";

    // Turning automatic exposure off hands the sliders to the user.
    ClickControl(dialog_, IDC_AE);
    EXPECT_TRUE(ControlView(dialog_, IDC_GAIN_SLIDER).enabled);
    EXPECT_FALSE(ControlView(dialog_, IDC_AE_TARGET_SLIDER).enabled);
    camera_.Take();
    DragThumb(dialog_, IDC_GAIN_SLIDER, 30);
    const int gain = static_cast<int>(SendDlgItemMessageW(dialog_, IDC_GAIN_SLIDER, TBM_GETPOS, 0, 0));
    EXPECT_GT(gain, 224);
    const std::vector<std::string> gains = camera_.Take("Set");
    ASSERT_FALSE(gains.empty());
    EXPECT_EQ(gains.back(), "SetExposureControl(0," + std::to_string(target) + ",300," + std::to_string(gain) + ")");
}

TEST_F(SetupPage, SaturationOffDisablesItsSliderUntilTheBoxIsCheckedAgain) {
    CameraValues values;
    values.enableSaturation = 0;
    values.saturation = 80;
    OpenWith(values);
    EXPECT_EQ(ControlView(dialog_, IDC_COLOR_ENHANCEMENT).check, BST_UNCHECKED);
    EXPECT_FALSE(ControlView(dialog_, IDC_SATURATION_SLIDER).enabled);
    camera_.Take();
    SendMessageW(dialog_, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, 200),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog_, IDC_SATURATION_SLIDER)));
    EXPECT_TRUE(camera_.Take("Set").empty());

    ClickControl(dialog_, IDC_COLOR_ENHANCEMENT);
    EXPECT_TRUE(ControlView(dialog_, IDC_SATURATION_SLIDER).enabled);
    EXPECT_EQ(camera_.Take("Set"), std::vector<std::string>{"SetSaturation(1,80)"});
    ClickControl(dialog_, IDC_COLOR_ENHANCEMENT);
    EXPECT_FALSE(ControlView(dialog_, IDC_SATURATION_SLIDER).enabled);
    EXPECT_EQ(camera_.Take("Set"), std::vector<std::string>{"SetSaturation(0,80)"});
}

TEST_F(SetupPage, CheckBoxesAndPowerFrequencySendTheirSettings) {
    OpenWith(CameraValues{});
    camera_.Take();
    ClickControl(dialog_, IDC_FLIP_VERTICAL);
    ClickControl(dialog_, IDC_FLIP_HORIZONTAL);
    ClickControl(dialog_, IDC_BLACK_WHITE);
    ClickControl(dialog_, IDC_BLACK_WHITE);
    EXPECT_EQ(camera_.Take("Set"), (std::vector<std::string>{"SetVFlip(1)", "SetHFlip(1)", "SetWhiteBlack(1)",
                                                             "SetWhiteBlack(0)"}));
    // The power frequency buttons are disabled: a click does nothing.
    EXPECT_FALSE(ControlView(dialog_, IDC_60HZ).enabled);
    tm350::user32::ClickAt(Center(ControlView(dialog_, IDC_60HZ).rect));
    PumpMessages();
    EXPECT_TRUE(camera_.Take("Set").empty());
    EXPECT_EQ(ControlView(dialog_, IDC_50HZ).check, BST_CHECKED);
}

TEST_F(SetupPage, DefaultSendsTheStoresDefaultsInItsOrder) {
    CameraValues values;
    values.gamma = 200;
    values.contrast = 10;
    values.enableSaturation = 0;
    values.saturation = 5;
    values.autoWB = 1;
    values.r = values.g = values.b = 200;
    values.speed = 1;
    values.vFlip = values.hFlip = values.whiteBlack = 1;
    values.hz50 = 0;
    values.autoExposure = 0;
    values.exposureTime = 700;
    values.aeTarget = 60;
    values.analogGain = 700;
    OpenWith(values);
    camera_.Take();
    ClickControl(dialog_, IDC_DEFAULT);
    EXPECT_EQ(camera_.Take("Set"),
              (std::vector<std::string>{"SetGamma(100)", "SetContrast(30)", "SetSaturation(1,100)",
                                        "SetWhiteBalance(0,74,64,96)", "SetSpeedMode(0)", "SetVFlip(0)",
                                        "SetHFlip(0)", "SetWhiteBlack(0)", "SetPowerFrequency(1)",
                                        "SetExposureControl(1,100,300,224)"}));
    EXPECT_EQ(ControlView(dialog_, IDC_50HZ).check, BST_CHECKED);
    EXPECT_EQ(ControlView(dialog_, IDC_60HZ).check, BST_UNCHECKED);
    EXPECT_EQ(ControlView(dialog_, IDC_NORMAL_SPEED).check, BST_CHECKED);
    EXPECT_EQ(ControlView(dialog_, IDC_HIGH_SPEED).check, BST_UNCHECKED);
    EXPECT_EQ(ControlView(dialog_, IDC_FLIP_VERTICAL).check, BST_UNCHECKED);
    EXPECT_EQ(ControlView(dialog_, IDC_AE).check, BST_CHECKED);
    EXPECT_TRUE(ControlView(dialog_, IDC_SATURATION_SLIDER).enabled);
    EXPECT_EQ(ControlView(dialog_, IDC_GAMMA_SLIDER).position, 100);
    EXPECT_EQ(ControlText(dialog_, IDC_RED_VALUE), u"1.16");
    EXPECT_EQ(ControlText(dialog_, IDC_GAIN_VALUE), u"13.86 dB");
}

// Nothing streams: the page polls 2000 times and leaves the request pending,
// so the next white-balance change asks for it again.
TEST_F(SetupPage, OnePushWithoutFramesGivesUpAfterItsPollsAndStaysPending) {
    OpenWith(CameraValues{});
    camera_.Take();
    ClickControl(dialog_, IDC_ONE_PUSH_WB);
    const std::vector<std::string> calls = camera_.Take();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), "SetWhiteBalance(1,74,64,96)");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "GetWhiteBalance()"), 2000);
    EXPECT_EQ(calls.size(), 2001u);

    DragThumb(dialog_, IDC_RED_SLIDER, 10);
    const std::vector<std::string> sent = camera_.Take("Set");
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().rfind("SetWhiteBalance(1,", 0), 0u) << sent.back();
}

TEST_F(SetupPage, OnePushStopsPollingWhenTheMeasurementArrivesAndShowsIt) {
    CameraValues values;
    values.measureAtPoll = 3;
    values.measuredR = 45;
    values.measuredG = 64;
    values.measuredB = 109;
    OpenWith(values);
    camera_.Take();
    ClickControl(dialog_, IDC_ONE_PUSH_WB);
    EXPECT_EQ(camera_.Take(), (std::vector<std::string>{"SetWhiteBalance(1,74,64,96)", "GetWhiteBalance()",
                                                        "GetWhiteBalance()", "GetWhiteBalance()"}));
    EXPECT_EQ(ControlText(dialog_, IDC_RED_VALUE), u"0.70");
    EXPECT_EQ(ControlText(dialog_, IDC_BLUE_VALUE), u"1.70");
    EXPECT_EQ(ControlView(dialog_, IDC_RED_SLIDER).position, 45);
    EXPECT_EQ(ControlView(dialog_, IDC_BLUE_SLIDER).position, 109);
}

}  // namespace
}  // namespace pages_test
