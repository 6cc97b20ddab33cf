#include "channel_fixture.h"

#include <algorithm>

#include "usb/urb_trace.h"

namespace channel_test {

namespace {

constexpr uint16_t kUrbBulkTransfer = 0x0009;

}  // namespace

Machine &TheMachine() {
    static Machine &machine = []() -> Machine & {
        tm350::sim::MachineOptions options;
        options.cameras = 0;
        options.timing = tm350::sim::Timing::Fast;
        options.sensor.scene = tm350::sim::Scene::Pattern;
        Machine::Start(options);
        return Machine::Get();
    }();
    return machine;
}

CameraWrite RegisterWrite(unsigned page, uint8_t address, uint32_t value) {
    return {.kind = CameraWrite::Kind::Register,
            .page = page,
            .address = address,
            .value = value,
            .w_value = static_cast<uint16_t>(value >> 8),
            .w_index = static_cast<uint16_t>(address << 8 | (value & 0xFF))};
}

CameraWrite ControlWord(uint16_t word) {
    return {.kind = CameraWrite::Kind::ControlWord, .value = word, .w_value = word, .w_index = 0x000F};
}

std::vector<CameraWrite> WriteWatch::New() {
    const uint64_t count = camera_.WriteCount();
    const std::vector<CameraWrite> recent = camera_.Writes();
    const size_t fresh = static_cast<size_t>(std::min<uint64_t>(count - seen_, recent.size()));
    seen_ = count;
    return std::vector<CameraWrite>(recent.end() - fresh, recent.end());
}

BulkWatch::BulkWatch() : seen_(tm350::usb::UrbCount()) {}

size_t BulkWatch::New() {
    const uint64_t count = tm350::usb::UrbCount();
    const std::vector<tm350::usb::UrbTrace> recent = tm350::usb::RecentUrbs();
    const size_t fresh = static_cast<size_t>(std::min<uint64_t>(count - seen_, recent.size()));
    seen_ = count;
    return static_cast<size_t>(std::count_if(recent.end() - fresh, recent.end(), [](const tm350::usb::UrbTrace &urb) {
        return urb.function == kUrbBulkTransfer;
    }));
}

// A camera of the test before may still wait for its last handle, which
// closed after that test's end: every test starts from a settled machine.
void ChannelTest::SetUp() { TheMachine().WaitForPendingWork(); }

void ChannelTest::TearDown() {
    Unplug();
    TheMachine().WaitForPendingWork();
}

Camera &ChannelTest::Plug(tm350::sim::CameraOptions options) {
    TheMachine().WaitForPendingWork();
    const CameraId id = TheMachine().Plug(std::move(options));
    plugged_.push_back(id);
    camera_ = &TheMachine().CameraOf(id);
    return *camera_;
}

void ChannelTest::Unplug() {
    for (CameraId id : plugged_) TheMachine().Unplug(id);
    plugged_.clear();
    camera_ = nullptr;
}

std::unique_ptr<CDeviceChannel> ChannelTest::InitializedChannel() {
    auto channel = std::make_unique<CDeviceChannel>(0);
    EXPECT_TRUE(channel->Initialize());
    return channel;
}

FrameReader::FrameReader(CDeviceChannel &channel, BYTE *destination)
    : future_(result_.get_future()), thread_([this, &channel, destination, release = release_.get_future()] {
          result_.set_value(channel.ReadFrame(destination));
          release.wait();
      }) {}

FrameReader::~FrameReader() {
    release_.set_value();
    thread_.join();
}

int FrameReader::Result(const char *what) { return Await(future_, what); }

bool FrameReader::Done() const { return future_.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }

std::unique_ptr<FrameReader> ChannelTest::ReadFrameInBackground(CDeviceChannel &channel, BYTE *destination) {
    BulkWatch bulk;
    auto reader = std::make_unique<FrameReader>(channel, destination);
    // A read that ends before issuing its reads (a closed channel) ends the wait too.
    for (size_t seen = 0; seen < READ_SLOTS && !reader->Done();) {
        seen += bulk.New();
        if (seen < READ_SLOTS) TheMachine().WaitFrames(1);
    }
    return reader;
}

}  // namespace channel_test
