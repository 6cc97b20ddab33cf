// /driver/isochronous: the one-shot isochronous read and the stream, seen
// from user mode on the camera's alternate setting 1 (pipe 1 is 0x83
// isochronous IN, 3 x 1024 bytes per microframe).
#include "driver_fixture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <span>

#include "sim/frame_source.h"

namespace driver_test {
namespace {

constexpr uint16_t kUrbSyncResetPipe = 0x0030;
constexpr uint32_t kStartAsap = 0x4;
constexpr uint32_t kPacketBytes = 3 * 1024;
constexpr uint32_t kRecordBytes = 12;
constexpr uint32_t kUsbdIsoLate = 0xC0050000u;  // USBD_STATUS_ISO_NOT_ACCESSED_LATE
constexpr long kStatusPending = 0x00000103;

// The sensor's bytes numbered across frames: byte g of the stream is byte
// g % 4 of the big-endian 32-bit word g / 4, so a run of eight bytes or more
// tells where in the stream it came from.
class CountingSource final : public tm350::sim::FrameSource {
public:
    static uint8_t ByteAt(uint64_t g) { return static_cast<uint8_t>((g / 4) >> (8 * (3 - g % 4))); }
    void BeginFrame(const tm350::sim::FrameContext &context) override { base_ = context.sequence * tm350::sim::kFrameBytes; }
    void ReadOut(size_t position, std::span<uint8_t> bytes) override {
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = ByteAt(base_ + position + i);
    }

private:
    uint64_t base_ = 0;
};

// Where in the stream a packet's bytes came from, or -1 when they are too
// few to tell or are not a run of the stream.
int64_t StreamPosition(const uint8_t *bytes, size_t length) {
    if (length < 8) return -1;
    for (size_t skew = 0; skew < 4; ++skew) {
        const uint32_t word = static_cast<uint32_t>(bytes[skew]) << 24 | bytes[skew + 1] << 16 | bytes[skew + 2] << 8 |
                              bytes[skew + 3];
        const int64_t start = static_cast<int64_t>(word) * 4 - static_cast<int64_t>(skew);
        if (start < 0) continue;
        bool run = true;
        for (size_t i = 0; i < length && run; ++i) run = bytes[i] == CountingSource::ByteAt(start + i);
        if (run) return start;
    }
    return -1;
}

uint32_t U32(const uint8_t *bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Waits bus frame by bus frame, 20 000 frames (2 s in fast timing) at most.
bool WithinFrames(const std::function<bool()> &condition) {
    for (int frame = 0; frame < 20000; ++frame) {
        if (condition()) return true;
        TheMachine().WaitFrames(1);
    }
    return condition();
}

size_t IsoUrbsSince(UrbWatch &watch) {
    size_t count = 0;
    for (const auto &urb : watch.New()) count += urb.function == kUrbIsochTransfer;
    return count;
}

class IsochronousTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        blocks_ = TheMachine().DriverPoolBlocks();
        id_ = Plug();
        camera_ = &TheMachine().CameraOf(id_);
        camera_->SetFrameSource(std::make_unique<CountingSource>());
        handle_ = OpenCamera(0);
        ASSERT_TRUE(handle_.valid());
        ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_SELECT_INTERFACE, {0, 1}, 0).ok);
    }
    void StartCamera() {
        ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_CONTROL_REQUEST, CameraRecord(0, 2, 0, 0x01, 3, 0x000F), 0).ok);
        ASSERT_TRUE(camera_->Streaming());
    }
    Control StreamRead(uint32_t size, uint32_t packets, DWORD output) {
        return Ioctl(handle_.get(), IOCTL_CAM_ISO_STREAM_READ, IsoRecord(1, size, packets, 0, 0), output);
    }
    Control StreamRead(uint32_t size, uint32_t packets) { return StreamRead(size, packets, packets * (size + 12)); }
    // Stops the stream and waits until its last transfer has freed it.
    void StopAndWaitForTheEnd() {
        ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_ISO_STREAM_STOP, {}, 0).ok);
        EXPECT_TRUE(WithinFrames([&] { return StreamRead(kPacketBytes, 1).error == ERROR_GEN_FAILURE; }));
        // The device forgets the stream just before its memory goes.
        EXPECT_TRUE(WithinFrames([&] { return TheMachine().DriverPoolBlocks() == open_blocks_; }));
    }
    void NoteOpenBlocks() { open_blocks_ = TheMachine().DriverPoolBlocks(); }

    size_t blocks_ = 0;
    size_t open_blocks_ = 0;
    CameraId id_ = 0;
    tm350::sim::Camera *camera_ = nullptr;
    Handle handle_;
};

void ExpectRefused(const Control &control, DWORD error, const char *what) {
    EXPECT_FALSE(control.ok) << what;
    EXPECT_EQ(control.error, error) << what;
    EXPECT_EQ(control.bytes, 0u) << what;
    EXPECT_TRUE(std::all_of(control.output.begin(), control.output.end(), [](uint8_t b) { return b == 0xEE; }))
        << what << ": the caller's buffer was written";
}

TEST_F(IsochronousTest, RecordsTheEnginesCannotServeAreRefusedAndNothingIsSent) {
    UrbWatch watch;
    const DWORD big = 64 * (kPacketBytes + 12);
    struct Case {
        const char *what;
        std::vector<uint8_t> record;
        DWORD error;
    } reads[] = {
        {"100 packets are not whole rounds of 8 x 4", IsoRecord(1, kPacketBytes, 100, 8, 4), ERROR_INVALID_PARAMETER},
        {"no packets per transfer", IsoRecord(1, kPacketBytes, 64, 0, 4), ERROR_INVALID_PARAMETER},
        {"no transfers", IsoRecord(1, kPacketBytes, 64, 8, 0), ERROR_INVALID_PARAMETER},
        {"empty packets", IsoRecord(1, 0, 64, 8, 4), ERROR_INVALID_PARAMETER},
        {"T x (S + 12) beyond 32 bits", IsoRecord(1, 0x4000000, 64, 8, 4), ERROR_INVALID_PARAMETER},
        {"R x K x S beyond 32 bits", IsoRecord(1, 0x20000000, 64, 8, 4), ERROR_INVALID_PARAMETER},
        {"a pipe the interface lacks", IsoRecord(2, kPacketBytes, 64, 8, 4), ERROR_INVALID_PARAMETER},
        {"the bulk pipe", IsoRecord(0, kPacketBytes, 64, 8, 4), ERROR_INVALID_PARAMETER},
        {"a record cut short", std::vector<uint8_t>(19, 1), ERROR_INVALID_PARAMETER},
        {"an output one byte short", IsoRecord(1, kPacketBytes, 64, 8, 4), ERROR_GEN_FAILURE},
    };
    for (const Case &c : reads) {
        const DWORD output = std::strcmp(c.what, "an output one byte short") == 0 ? big - 1 : big;
        ExpectRefused(Ioctl(handle_.get(), IOCTL_CAM_ISO_READ, c.record, output), c.error, c.what);
        ExpectRefused(Ioctl(handle_.get(), IOCTL_CAM_ISO_READ2, c.record, output), c.error, c.what);
    }
    const Case starts[] = {
        {"no packets per transfer", IsoRecord(1, kPacketBytes, 64, 0, 4), ERROR_INVALID_PARAMETER},
        {"no transfers", IsoRecord(1, kPacketBytes, 64, 8, 0), ERROR_INVALID_PARAMETER},
        {"rings of no packets", IsoRecord(1, kPacketBytes, 0, 8, 4), ERROR_INVALID_PARAMETER},
        {"R x K x S beyond 32 bits", IsoRecord(1, 0x20000000, 1, 8, 4), ERROR_INVALID_PARAMETER},
        {"C x S beyond 32 bits", IsoRecord(1, kPacketBytes, 0x200000, 8, 4), ERROR_INVALID_PARAMETER},
        {"C x 12 beyond 32 bits", IsoRecord(1, 1, 0x20000000, 8, 4), ERROR_INVALID_PARAMETER},
        {"the bulk pipe", IsoRecord(0, kPacketBytes, 64, 8, 4), ERROR_INVALID_PARAMETER},
        {"a record cut short", std::vector<uint8_t>(19, 1), ERROR_INVALID_PARAMETER},
    };
    for (const Case &c : starts) {
        ExpectRefused(Ioctl(handle_.get(), IOCTL_CAM_ISO_STREAM_START, c.record, 0), c.error, c.what);
        // None of them left a stream behind.
        ExpectRefused(StreamRead(kPacketBytes, 1), ERROR_GEN_FAILURE, c.what);
    }
    EXPECT_EQ(IsoUrbsSince(watch), 0u);

    // The interface of the bulk setting has no isochronous pipe at all.
    ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_SELECT_INTERFACE, {0, 0}, 0).ok);
    ExpectRefused(Ioctl(handle_.get(), IOCTL_CAM_ISO_READ, IsoRecord(1, kPacketBytes, 64, 8, 4), big),
                  ERROR_INVALID_PARAMETER, "pipe 1 of the bulk setting");
    // And the device still reads afterwards.
    ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_SELECT_INTERFACE, {0, 1}, 0).ok);
    const Control read = Ioctl(handle_.get(), IOCTL_CAM_ISO_READ, IsoRecord(1, kPacketBytes, 64, 8, 4), big);
    EXPECT_TRUE(read.ok) << read.error;
    EXPECT_EQ(IsoUrbsSince(watch), 8u);
}

TEST_F(IsochronousTest, StreamReadsRefuseWrongLengthsAndAnAbsentStream) {
    ExpectRefused(StreamRead(kPacketBytes, 8), ERROR_GEN_FAILURE, "no stream");
    ExpectRefused(StreamRead(kPacketBytes, 8, 8 * (kPacketBytes + 12) - 1), ERROR_INVALID_PARAMETER, "one byte short");
    ExpectRefused(StreamRead(kPacketBytes, 8, 8 * (kPacketBytes + 12) + 1), ERROR_INVALID_PARAMETER, "one byte long");
    ExpectRefused(StreamRead(0, 8, 8 * 12), ERROR_INVALID_PARAMETER, "packets of no bytes");
    // N x (S + 12) wraps to 0 in 32 bits.
    ExpectRefused(StreamRead(0xFFFFFFF4u, 1, 0), ERROR_INVALID_PARAMETER, "a product that wraps");
    ExpectRefused(Ioctl(handle_.get(), IOCTL_CAM_ISO_STREAM_READ, std::vector<uint8_t>(19, 0), 0),
                  ERROR_INVALID_PARAMETER, "a record cut short");
}

// T = 64 packets, K = 8 per transfer, R = 4 transfers: unit u reads packets
// 8u to 8u + 7, then 32 + 8u to 32 + 8u + 7. In time the packets come in
// index order, so the stream positions of their bytes ascend with the index.
TEST_F(IsochronousTest, AReadInterleavesItsUnitsAndPutsEachPacketRecordAfterTheData) {
    StartCamera();
    constexpr uint32_t T = 64, K = 8, R = 4;
    UrbWatch watch;
    const uint64_t sent_before = camera_->Counters().bytes_sent;
    const Control read = Ioctl(handle_.get(), IOCTL_CAM_ISO_READ, IsoRecord(1, kPacketBytes, T, K, R),
                               T * (kPacketBytes + kRecordBytes) + 16);
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_EQ(read.bytes, 0u);
    const uint64_t sent = camera_->Counters().bytes_sent - sent_before;

    // The pipe's schedule starts afresh, then the transfers go.
    auto urbs = watch.New();
    ASSERT_EQ(urbs.size(), 1 + T / K);
    EXPECT_EQ(urbs.front().function, kUrbSyncResetPipe);
    urbs.erase(urbs.begin());
    for (const auto &urb : urbs) {
        EXPECT_EQ(urb.function, kUrbIsochTransfer);
        EXPECT_EQ(urb.transfer_flags, kStartAsap | kShortTransferOk | kTransferDirectionIn);
    }
    uint64_t received = 0;
    int64_t stream_end = -1;
    size_t placed = 0;
    for (uint32_t p = 0; p < T; ++p) {
        const uint8_t *record = read.output.data() + T * kPacketBytes + p * kRecordBytes;
        const uint32_t offset = U32(record), length = U32(record + 4), status = U32(record + 8);
        EXPECT_EQ(offset, (p % K) * kPacketBytes) << "packet " << p;
        ASSERT_LE(length, kPacketBytes) << "packet " << p;
        EXPECT_TRUE(status == 0 || (length == 0 && status == kUsbdIsoLate)) << "packet " << p << " " << status;
        received += length;
        const uint8_t *data = read.output.data() + p * kPacketBytes;
        EXPECT_TRUE(std::all_of(data + length, data + kPacketBytes, [](uint8_t b) { return b == 0xEE; }))
            << "packet " << p << " wrote past its length";
        const int64_t position = StreamPosition(data, length);
        if (length >= 8) {
            ASSERT_GE(position, 0) << "packet " << p << " is not a run of the stream";
            EXPECT_GE(position, stream_end) << "packet " << p << " came before the packet ahead of it";
            stream_end = position + length;
            ++placed;
        }
    }
    EXPECT_EQ(received, sent);
    EXPECT_GT(placed, T / 8);  // the camera streams about 6.8 KB per bus frame
    // Nothing after the records.
    EXPECT_TRUE(std::all_of(read.output.end() - 16, read.output.end(), [](uint8_t b) { return b == 0xEE; }));
}

// IOCTL_CAM_ISO_READ2 takes its buffer as one the device only reads from,
// yet packets land in it.
TEST_F(IsochronousTest, TheSecondReadCodeWritesOnlyIntoABufferTheCallerCanWrite) {
    const std::vector<uint8_t> record = IsoRecord(1, 1024, 16, 8, 2);
    const DWORD length = 16 * (1024 + kRecordBytes);
    Pages pages((length + Pages::PageSize() - 1) / Pages::PageSize());
    ASSERT_NE(pages.data(), nullptr);
    DWORD bytes = 99;
    ASSERT_TRUE(DeviceIoControl(handle_.get(), IOCTL_CAM_ISO_READ2, const_cast<uint8_t *>(record.data()), 20,
                                pages.data(), length, &bytes, nullptr));
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(U32(pages.data() + 16 * 1024 + 15 * kRecordBytes), 7 * 1024u);  // the last packet's offset

    UrbWatch watch;
    std::memset(pages.data(), 0x33, pages.size());
    ASSERT_TRUE(pages.MakeReadOnly());
    EXPECT_FALSE(DeviceIoControl(handle_.get(), IOCTL_CAM_ISO_READ2, const_cast<uint8_t *>(record.data()), 20,
                                 pages.data(), length, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));  // STATUS_ACCESS_VIOLATION
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(IsoUrbsSince(watch), 0u);
}

TEST_F(IsochronousTest, AStreamRunsUntilStoppedAndItsLastTransferFreesIt) {
    StartCamera();
    NoteOpenBlocks();
    constexpr uint32_t C = 64, K = 8, R = 4;
    ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_ISO_STREAM_START, IsoRecord(1, kPacketBytes, C, K, R), 0).ok);
    EXPECT_GT(TheMachine().DriverPoolBlocks(), open_blocks_);

    // Whole transfers collect: data, then records that describe them.
    int64_t stream_end = -1;
    size_t placed = 0;
    uint64_t packets_read = 0;
    ASSERT_TRUE(WithinFrames([&] {
        const Control read = StreamRead(kPacketBytes, C);
        EXPECT_TRUE(read.ok) << read.error;
        const uint32_t packets = read.bytes / (kPacketBytes + kRecordBytes);
        EXPECT_EQ(read.bytes, packets * (kPacketBytes + kRecordBytes));
        EXPECT_EQ(packets % K, 0u);
        for (uint32_t p = 0; p < packets; ++p) {
            const uint8_t *record = read.output.data() + packets * kPacketBytes + p * kRecordBytes;
            const uint32_t length = U32(record + 4);
            EXPECT_EQ(U32(record), (p % K) * kPacketBytes);
            if (length < 8 || length > kPacketBytes) continue;
            const int64_t position = StreamPosition(read.output.data() + p * kPacketBytes, length);
            EXPECT_GE(position, stream_end) << "packet " << packets_read + p;
            stream_end = position + length;
            ++placed;
        }
        packets_read += packets;
        return placed >= 16;
    }));
    StopAndWaitForTheEnd();
}

// Reading records for packets of half the size drains the record ring twice
// as fast as the data ring: the data ring fills first, and then transfers
// still leave their records.
TEST_F(IsochronousTest, AFullDataRingStillTakesPacketRecords) {
    NoteOpenBlocks();
    constexpr uint32_t C = 16, K = 8, R = 2;  // each ring holds two transfers
    ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_ISO_STREAM_START, IsoRecord(1, kPacketBytes, C, K, R), 0).ok);
    // A resubmission follows the completion that filled the rings.
    auto transfers_done = [&](UrbWatch &watch, size_t count) {
        size_t seen = 0;
        return WithinFrames([&] { return (seen += IsoUrbsSince(watch)) >= count; });
    };
    UrbWatch watch;
    ASSERT_TRUE(transfers_done(watch, R + 2));
    const Control half = StreamRead(kPacketBytes / 2, C);
    ASSERT_TRUE(half.ok) << half.error;
    EXPECT_EQ(half.bytes, C / 2 * kPacketBytes + C * kRecordBytes);  // one transfer's data, both records
    // Of the next two transfers the first fills the data ring, the second
    // finds it full and leaves only its records.
    // Resubmissions seen from now on: all but one per unit follow an append
    // made after the read.
    watch.New();
    ASSERT_TRUE(transfers_done(watch, R + 2));
    const Control full = StreamRead(kPacketBytes, C);
    ASSERT_TRUE(full.ok) << full.error;
    EXPECT_EQ(full.bytes, C * (kPacketBytes + kRecordBytes));
    StopAndWaitForTheEnd();
}

TEST_F(IsochronousTest, ASecondStartIsRefusedWhileTheStreamLives) {
    NoteOpenBlocks();
    const std::vector<uint8_t> record = IsoRecord(1, kPacketBytes, 32, 8, 2);
    ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_ISO_STREAM_START, record, 0).ok);
    const size_t running = TheMachine().DriverPoolBlocks();
    ExpectRefused(Ioctl(handle_.get(), IOCTL_CAM_ISO_STREAM_START, record, 0), ERROR_BUSY, "a second start");
    EXPECT_EQ(TheMachine().DriverPoolBlocks(), running);
    StopAndWaitForTheEnd();
    // Once it has ended a stream starts again, and reads.
    ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_ISO_STREAM_START, record, 0).ok);
    EXPECT_TRUE(WithinFrames([&] { return StreamRead(kPacketBytes, 32).bytes > 0; }));
    StopAndWaitForTheEnd();
}

TEST_F(IsochronousTest, AnOrderlyRemovalEndsARunningStream) {
    ASSERT_TRUE(Ioctl(handle_.get(), IOCTL_CAM_ISO_STREAM_START, IsoRecord(1, kPacketBytes, 64, 8, 4), 0).ok);
    handle_.Close();
    EXPECT_EQ(TheMachine().Unplug(id_, tm350::sim::Removal::Orderly), 0);
    plugged_.clear();
    TheMachine().WaitForPendingWork();
    EXPECT_EQ(TheMachine().DriverPoolBlocks(), blocks_);
}

// The camera is pulled out while the driver's isochronous transfers run, a
// hundred times each way: every request ends, nothing waits for ever, and
// the driver gives back every block and device object.
class IsochronousRemovalTest : public DriverTest {
protected:
    struct Camera {
        CameraId id;
        Handle handle;
    };
    Camera PlugIsochronous() {
        Camera camera{TheMachine().Plug(), OpenCamera(0)};
        EXPECT_TRUE(camera.handle.valid());
        EXPECT_TRUE(Ioctl(camera.handle.get(), IOCTL_CAM_SELECT_INTERFACE, {0, 1}, 0).ok);
        return camera;
    }
    void PullOut(Camera &camera) {
        EXPECT_EQ(TheMachine().Unplug(camera.id), kStatusPending);
        camera.handle.Close();
        TheMachine().WaitForPendingWork();
    }
    static constexpr int kRounds = 100;
};

TEST_F(IsochronousRemovalTest, PullingTheCameraOutEndsARunningStream) {
    const size_t devices = TheMachine().DriverDeviceCount();
    const size_t blocks = TheMachine().DriverPoolBlocks();
    for (int round = 0; round < kRounds; ++round) {
        Camera camera = PlugIsochronous();
        UrbWatch watch;
        ASSERT_TRUE(
            Ioctl(camera.handle.get(), IOCTL_CAM_ISO_STREAM_START, IsoRecord(1, kPacketBytes, 64, 8, 4), 0).ok);
        // Sometimes at once, sometimes once resubmissions run.
        if (round % 2 == 1) {
            size_t seen = 0;
            ASSERT_TRUE(WithinFrames([&] { return (seen += IsoUrbsSince(watch)) > 4; }));
        }
        PullOut(camera);
        ASSERT_EQ(TheMachine().DriverDeviceCount(), devices) << "round " << round;
        ASSERT_EQ(TheMachine().DriverPoolBlocks(), blocks) << "round " << round;
    }
}

TEST_F(IsochronousRemovalTest, PullingTheCameraOutEndsAWaitingRead) {
    const size_t devices = TheMachine().DriverDeviceCount();
    const size_t blocks = TheMachine().DriverPoolBlocks();
    // 32 000 packets: 4 000 bus frames, far longer than a round takes; of a
    // byte each, so that the buffer costs little to copy.
    constexpr uint32_t T = 32000, K = 8, R = 4, S = 1;
    for (int round = 0; round < kRounds; ++round) {
        Camera camera = PlugIsochronous();
        UrbWatch watch;
        auto read = std::async(std::launch::async, [&] {
            return Ioctl(camera.handle.get(), IOCTL_CAM_ISO_READ, IsoRecord(1, S, T, K, R), T * (S + kRecordBytes));
        });
        size_t seen = 0;
        ASSERT_TRUE(WithinFrames([&] { return (seen += IsoUrbsSince(watch)) >= R + round % 3; }));
        EXPECT_EQ(TheMachine().Unplug(camera.id), kStatusPending);
        const Control ended = Await(read, "an isochronous read across a surprise removal");
        EXPECT_FALSE(ended.ok) << "round " << round;
        EXPECT_EQ(ended.bytes, 0u);
        camera.handle.Close();
        TheMachine().WaitForPendingWork();
        ASSERT_EQ(TheMachine().DriverDeviceCount(), devices) << "round " << round;
        ASSERT_EQ(TheMachine().DriverPoolBlocks(), blocks) << "round " << round;
    }
}

// A transfer that fails as a whole (the camera gone) ends its unit: one that
// resubmitted would fail again at once, inside its own completion, round
// after round, 100 000 rounds deep here.
TEST_F(IsochronousRemovalTest, AReadOfManyRoundsEndsAtOnceWhenTheCameraIsPulledOut) {
    const size_t blocks = TheMachine().DriverPoolBlocks();
    constexpr uint32_t T = 800000, K = 8, R = 1, S = 1;
    Camera camera = PlugIsochronous();
    UrbWatch watch;
    auto read = std::async(std::launch::async, [&] {
        return Ioctl(camera.handle.get(), IOCTL_CAM_ISO_READ, IsoRecord(1, S, T, K, R), T * (S + kRecordBytes));
    });
    size_t seen = 0;
    ASSERT_TRUE(WithinFrames([&] { return (seen += IsoUrbsSince(watch)) >= 2; }));
    EXPECT_EQ(TheMachine().Unplug(camera.id), kStatusPending);
    const Control ended = Await(read, "a long isochronous read across a surprise removal");
    EXPECT_FALSE(ended.ok);
    EXPECT_LT(seen + IsoUrbsSince(watch), 100u) << "the read went on after its transfers failed";
    camera.handle.Close();
    TheMachine().WaitForPendingWork();
    EXPECT_EQ(TheMachine().DriverPoolBlocks(), blocks);
}

}  // namespace
}  // namespace driver_test
