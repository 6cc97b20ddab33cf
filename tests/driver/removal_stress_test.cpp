// A camera pulled out, and the machine stopped, while four reads and a
// frame read are in flight on it, a hundred times each: every request ends,
// nothing hangs, the driver keeps nothing.
#include "driver_fixture.h"
#include "stress.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>

namespace driver_test {
namespace {

constexpr int kRounds = 100;

// Four reads of 301,056 bytes and a frame read of 10,000 bytes in packets
// of 4,096. Every other round the camera streams short frames meanwhile,
// so that completions race with the removal.
class ReadsAndAFrameRead final : public InFlight {
public:
    explicit ReadsAndAFrameRead(bool streaming) : streaming_(streaming) {}

    void Start() override {
        reads_handle_ = OpenCamera(0);
        frame_handle_ = OpenCamera(0, Io::Synchronous);
        ASSERT_TRUE(reads_handle_.valid());
        ASSERT_TRUE(frame_handle_.valid());
        ASSERT_TRUE(EnableRead(reads_handle_.get()));
        if (streaming_) {
            TheMachine().CameraOf(TheMachine().Cameras().back()).SetFrameLengths({10000});
            ASSERT_TRUE(StartStreaming(reads_handle_.get()));
        }
        UrbWatch urbs;
        for (auto &read : reads_) {
            read = std::make_unique<Overlapped>(301056);
            ASSERT_TRUE(read->Read(reads_handle_.get()));
        }
        frame_ = std::async(std::launch::async, [this] {
            return ReadFrame(frame_handle_.get(), FrameHeader(CAM_FRAME_REQUEST_MAGIC, 1000, 4096, 10000));
        });
        if (!streaming_) WaitForBulkTransfers(urbs, 8);
    }

    void Finish() override {
        for (auto &read : reads_) {
            if (read == nullptr) continue;
            read->AwaitEnd("a read across the camera's removal");
            read->Wait(reads_handle_.get());
        }
        if (frame_.valid()) {
            if (frame_.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
                std::fprintf(stderr, "a frame read across the camera's removal never ended\n");
                std::abort();
            }
            const FrameResult frame = frame_.get();
            // Without a frame it can only have failed.
            if (!streaming_) EXPECT_FALSE(frame.ok);
        }
        reads_handle_.Close();
        frame_handle_.Close();
    }

private:
    const bool streaming_;
    Handle reads_handle_;
    Handle frame_handle_;
    std::unique_ptr<Overlapped> reads_[4];
    std::future<FrameResult> frame_;
};

InFlightFactory Alternating() {
    auto round = std::make_shared<int>(0);
    return [round] { return std::make_unique<ReadsAndAFrameRead>((*round)++ % 2 == 1); };
}

TEST(RemovalStress, PullingTheCameraEndsReadsAndAFrameReadAndFreesEverything) {
    RepeatUnplugs(kRounds, Alternating());
}

TEST(RemovalStress, StoppingTheMachineEndsReadsAndAFrameReadAndUnloadsCleanly) {
    RepeatMachineStops(kRounds, Alternating());
}

// An isochronous stream running on the camera's isochronous setting, its
// transfers resubmitting; no request of the caller's is left in flight, so
// the stop alone has to end the stream and free it.
class RunningStream final : public InFlight {
public:
    void Start() override {
        handle_ = OpenCamera(0);
        ASSERT_TRUE(handle_.valid());
        ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_SELECT_INTERFACE, {0, 1}, 0).ok);
        ASSERT_TRUE(StartStreaming(handle_.get()));
        UrbWatch urbs;
        ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_ISO_STREAM_START, IsoRecord(1, 3072, 64, 8, 4), 0).ok);
        // Running: more transfers than the four it started with.
        for (size_t seen = 0; seen <= 4;) {
            for (const auto &urb : urbs.New())
                if (urb.function == kUrbIsochTransfer) ++seen;
            if (seen <= 4) TheMachine().WaitFrames(1);
        }
    }

    void Finish() override { handle_.Close(); }

private:
    Handle handle_;
};

TEST(RemovalStress, StoppingTheMachineEndsARunningIsochronousStreamAndUnloadsCleanly) {
    RepeatMachineStops(kRounds, [] { return std::make_unique<RunningStream>(); });
}

}  // namespace
}  // namespace driver_test
