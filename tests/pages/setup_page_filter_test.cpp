// The setup page on the real filter from the registered module: the time
// label follows the filter's line clocks, and a one-push white balance is
// measured by the streaming filter while the page waits.
#include "page_test_support.h"

#include "resources/resource.h"
#include "sim/camera.h"
#include "sim/machine.h"
#include "support/eventually.h"

namespace pages_test {
namespace {

using tm350::sim::Machine;

Machine &TheMachine() {
    static Machine &machine = []() -> Machine & {
        tm350::sim::MachineOptions options;
        options.cameras = 0;
        options.timing = tm350::sim::Timing::Fast;
        Machine::Start(options);
        return Machine::Get();
    }();
    return machine;
}

class SetupPageOnFilter : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        filter_ = CreateFilter();
        ASSERT_TRUE(filter_);
        camera_ = Query<INVC480>(filter_.Get(), IID_INVC480);
        ASSERT_TRUE(camera_);
    }
    void TearDown() override {
        if (page_) {
            page_->Deactivate();
            page_->SetObjects(0, nullptr);
            page_->SetPageSite(nullptr);
            page_.Reset();
        }
        camera_.Reset();
        filter_.Reset();
        PageTest::TearDown();
    }
    void OpenPage() {
        page_ = CreatePage(kNVC480Identities[0].setupPage);
        ASSERT_TRUE(page_);
        Open(page_.Get(), filter_.Get());
        dialog_ = PageDialog();
    }

    Ref<IBaseFilter> filter_;
    Ref<INVC480> camera_;
    Ref<IPropertyPage> page_;
    HWND dialog_ = nullptr;
};

TEST_F(SetupPageOnFilter, HighSpeedHalvesTheExposureTimeLabel) {
    ASSERT_EQ(camera_->SetExposureControl(0, 100, 300, 224), S_OK);
    ASSERT_EQ(camera_->SetSpeedMode(0), S_OK);
    OpenPage();
    EXPECT_EQ(ControlText(dialog_, IDC_EXPOSURE_TIME_VALUE), u"25.480ms");
    ClickControl(dialog_, IDC_HIGH_SPEED);
    EXPECT_EQ(ControlText(dialog_, IDC_EXPOSURE_TIME_VALUE), u"12.740ms");
    EXPECT_EQ(ControlView(dialog_, IDC_HIGH_SPEED).check, BST_CHECKED);
    EXPECT_EQ(ControlView(dialog_, IDC_NORMAL_SPEED).check, BST_UNCHECKED);
    BYTE speed = 0;
    ASSERT_EQ(camera_->GetSpeedMode(&speed), S_OK);
    EXPECT_EQ(speed, 1);
    ClickControl(dialog_, IDC_NORMAL_SPEED);
    EXPECT_EQ(ControlText(dialog_, IDC_EXPOSURE_TIME_VALUE), u"25.480ms");
}

TEST_F(SetupPageOnFilter, OnePushWhileFramesFlowShowsTheMeasuredGains) {
    TheMachine().WaitForPendingWork();
    const tm350::sim::CameraId plugged = TheMachine().Plug();
    {
        filter_test::ConnectedGraph graph(filter_.Get());
        ASSERT_EQ(graph.connect_result(), S_OK);
        ASSERT_EQ(camera_->SetExposureControl(0, 100, 300, 224), S_OK);
        ASSERT_EQ(camera_->SetWhiteBalance(0, 74, 64, 96), S_OK);
        OpenPage();
        ASSERT_TRUE(SUCCEEDED(graph.control()->Run()));
        tm350::sim::Camera &camera = TheMachine().CameraOf(plugged);
        ASSERT_TRUE(tm350::test::EventuallyTrue([&] { return camera.Streaming(); }));

        ClickControl(dialog_, IDC_ONE_PUSH_WB);
        DWORD pending = 1;
        BYTE r = 0, g = 0, b = 0;
        ASSERT_EQ(camera_->GetWhiteBalance(&pending, &r, &g, &b), S_OK);
        EXPECT_EQ(pending, 0u) << "measured while the page waited";
        EXPECT_NE(r, 74);
        EXPECT_EQ(ControlView(dialog_, IDC_RED_SLIDER).position, r);
        EXPECT_EQ(ControlView(dialog_, IDC_GREEN_SLIDER).position, g);
        EXPECT_EQ(ControlView(dialog_, IDC_BLUE_SLIDER).position, b);
        graph.control()->Stop();
    }
    TheMachine().Unplug(plugged);
    TheMachine().WaitForPendingWork();
}

}  // namespace
}  // namespace pages_test
