// The vexusb driver's user-mode interface under a fuzzer: each input is
// played as CreateFile, DeviceIoControl, ReadFile, WriteFile, CancelIo and
// CloseHandle calls, with cameras plugged and pulled in between, against
// the real driver in the simulated machine, and leaves the machine as it
// found it. What counts as a finding ends the process: a verifier failure,
// a sanitizer report, a request that never completes although it was
// cancelled, or driver pool or device objects left behind once the cameras
// are replaced.
#include "driver_fuzz.h"

#include <windows.h>
#include <winioctl.h>

#include <sys/mman.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/vexusb_interface.h"
#include "sim/machine.h"

namespace driver_fuzz {

const uint32_t kDriverCodes[] = {
    IOCTL_CAM_GET_INTERFACE_INFO, IOCTL_CAM_GET_DEVICE_DESCRIPTOR, IOCTL_CAM_GET_CONFIG_DESCRIPTOR,
    IOCTL_CAM_VENDOR_REQUEST,     IOCTL_CAM_NOP,                   IOCTL_CAM_LOAD_MEMORY,
    IOCTL_CAM_RESET_PORT,         IOCTL_CAM_RESET_PIPE,            IOCTL_CAM_ABORT_PIPE,
    IOCTL_CAM_SELECT_INTERFACE,   IOCTL_CAM_GET_STRING_DESCRIPTOR, IOCTL_CAM_READ_FRAME,
    IOCTL_CAM_PIPE_TRANSFER,      IOCTL_CAM_GET_FRAME_NUMBER,      IOCTL_CAM_CONTROL_REQUEST,
    IOCTL_CAM_GET_LAST_USB_STATUS, IOCTL_CAM_ISO_READ,             IOCTL_CAM_ISO_READ2,
    IOCTL_CAM_WRITE_MEMORY,       IOCTL_CAM_GET_DRIVER_VERSION,    IOCTL_CAM_ISO_STREAM_START,
    IOCTL_CAM_ISO_STREAM_STOP,    IOCTL_CAM_ISO_STREAM_READ,       IOCTL_CAM_SET_FEATURE,
    IOCTL_CAM_ENABLE_READ,        IOCTL_CAM_SET_USER_VALUE,        IOCTL_CAM_GET_USER_VALUE,
};
const size_t kDriverCodeCount = sizeof kDriverCodes / sizeof kDriverCodes[0];

namespace {

using tm350::sim::CameraId;
using tm350::sim::Machine;
using Clock = std::chrono::steady_clock;

constexpr unsigned kStartingCameras = 2;
constexpr size_t kHandleSlots = 6;
constexpr size_t kMaxOperations = 48;
constexpr size_t kMaxRequestsInFlight = 16;
// Instance digits run out at eight cameras; one more tries the ninth.
constexpr size_t kMaxCameras = 9;
// A call that has not returned after this long is cancelled (CancelIoEx
// from another thread), as a program whose reads wait for a camera that
// sends nothing would do.
constexpr auto kCancelAfter = std::chrono::milliseconds(250);
// A call, or the cleanup of an input, still not finished after this long is
// a finding: the request never completes.
constexpr auto kNeverCompletes = std::chrono::seconds(10);
// How long the I/O manager waits for requests it cancelled (CancelIo, a
// thread's end) before its verifier names the one that never completed.
constexpr const char *kCancelWaitMs = "10000";
// The memory codes send one USB request per 512 or 64 bytes; longer buffers
// only make an input slow.
constexpr uint32_t kMaxMemoryLength = 64 * 1024;
constexpr uint32_t kInterestingLengths[] = {
    0,    1,    2,    3,    4,    5,    6,    8,     9,     10,     11,      12,      17,      18,      19,
    20,   21,   24,   32,   64,   65,   511,  512,   513,   1024,   4096,    4704,    9000,    301056,  907872,
    3584000, 3584001,
};

[[noreturn]] void Finding(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::fprintf(stderr, "driver_fuzz: finding: ");
    std::vfprintf(stderr, format, arguments);
    std::fprintf(stderr, "\n");
    va_end(arguments);
    std::fflush(stderr);
    std::abort();
}

class Reader {
public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return position_ >= size_; }
    uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    uint32_t U32() { return U16() | static_cast<uint32_t>(U16()) << 16; }
    // Copies up to `length` bytes of the data to `out`; the rest is `fill`.
    void Fill(uint8_t *out, size_t length, uint8_t fill) {
        const size_t taken = std::min(length, size_ - std::min(position_, size_));
        if (taken > 0) std::memcpy(out, data_ + position_, taken);
        std::memset(out + taken, fill, length - taken);
        position_ += taken;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t position_ = 0;
};

uint32_t PickLength(Reader &in) {
    const uint8_t how = in.Byte();
    if (how < 128) return how % 32;
    if (how < 192) return kInterestingLengths[in.Byte() % std::size(kInterestingLengths)];
    if (how < 240) return in.U16();
    return in.U32() % (kMaxLength + 1);
}

uint32_t PickCode(Reader &in) {
    const uint8_t how = in.Byte();
    if (how < kCodeOwnBelow) return kDriverCodes[in.Byte() % kDriverCodeCount];
    if (how < kCodeNeighbourBelow) {
        const uint32_t code = kDriverCodes[in.Byte() % kDriverCodeCount];
        const uint8_t kind = in.Byte();
        const uint8_t amount = in.Byte();
        switch (kind % 4) {
        case 0: return code + ((amount % 8) + 1) * 4;                  // a function number above
        case 1: return code - ((amount % 8) + 1) * 4;                  // one below
        case 2: return (code & ~3u) | (amount % 4);                    // another transfer method
        default: return (code & ~(3u << 14)) | ((amount % 4u) << 14);  // another access
        }
    }
    return in.U32();
}

// "\\.\TM350-N" and paths beside it.
std::string PathOf(uint8_t selector) {
    selector %= kPathCount;
    if (selector < 8) return "\\\\.\\TM350-" + std::to_string(selector);
    switch (selector) {
    case 8: return "\\\\.\\tm350-1";
    case 9: return "\\\\.\\TM350-8";
    case 10: return "\\\\.\\TM350-";
    case 11: return "\\\\.\\TM350-00";
    case 12: return "\\\\.\\TM350-0\\frame";
    case 13: return "\\\\.\\TM350-10";
    case 14: return "\\\\.\\Tm350-0";
    default: return "\\\\.\\TM351-0";
    }
}

// A caller's buffer. Read-only ones are whole pages of their own, so that
// the protection covers exactly them.
class Buffer {
public:
    Buffer() = default;
    Buffer(size_t length, bool read_only) : length_(length), read_only_(read_only) {
        if (read_only_) {
            mapped_ = std::max<size_t>(length, 1);
            void *pages = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (pages == MAP_FAILED) Finding("no memory for a %zu-byte buffer", length);
            data_ = static_cast<uint8_t *>(pages);
        } else {
            owned_.reset(new uint8_t[std::max<size_t>(length, 1)]);
            data_ = owned_.get();
        }
    }
    ~Buffer() {
        if (read_only_ && data_ != nullptr) munmap(data_, mapped_);
    }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;

    uint8_t *data() const { return data_; }
    size_t length() const { return length_; }
    void Protect() {
        if (read_only_) mprotect(data_, mapped_, PROT_READ);
    }

private:
    std::unique_ptr<uint8_t[]> owned_;
    uint8_t *data_ = nullptr;
    size_t length_ = 0;
    size_t mapped_ = 0;
    bool read_only_ = false;
};

// An overlapped request the driver left pending. It and its buffers live
// until the request has completed.
struct Request {
    std::string what;
    size_t slot = 0;
    HANDLE file = INVALID_HANDLE_VALUE;
    bool file_open = true;
    std::unique_ptr<Buffer> input;
    std::unique_ptr<Buffer> output;
    DWORD output_length = 0;  // what the call says the output buffer holds
    OVERLAPPED overlapped{};
    HANDLE event = nullptr;

    bool Completed() const {
        return static_cast<NTSTATUS>(__atomic_load_n(&overlapped.Internal, __ATOMIC_ACQUIRE)) != STATUS_PENDING;
    }
    ~Request() {
        if (event != nullptr) CloseHandle(event);
    }
};

struct Slot {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::string path;
    bool open() const { return handle != INVALID_HANDLE_VALUE; }
};

// The call the player is in, for the watchdog: a call that takes too long
// is cancelled from the watchdog's thread, and one that never returns is a
// finding that names it.
class Watchdog {
public:
    void Begin(HANDLE handle, std::string what) {
        std::lock_guard lock(mutex_);
        handle_ = handle;
        what_ = std::move(what);
        since_ = Clock::now();
        cancelled_ = false;
    }
    void End() {
        std::lock_guard lock(mutex_);
        handle_ = INVALID_HANDLE_VALUE;
        what_.clear();
        since_ = Clock::now();
    }

    // Runs `work` on a thread of its own and watches it. The thread's end
    // cancels what it left in flight and waits for that (the I/O manager
    // bounds the wait), so this returns once every request it made has
    // completed.
    void Run(const char *phase, const std::function<void()> &work) {
        {
            std::lock_guard lock(mutex_);
            finished_ = false;
            phase_ = phase;
            what_.clear();
            handle_ = INVALID_HANDLE_VALUE;
            since_ = Clock::now();
        }
        std::thread player([&] {
            work();
            std::lock_guard lock(mutex_);
            finished_ = true;
            done_.notify_all();
        });
        std::unique_lock lock(mutex_);
        while (!finished_) {
            done_.wait_for(lock, std::chrono::milliseconds(20));
            if (finished_) break;
            const auto waited = Clock::now() - since_;
            if (handle_ != INVALID_HANDLE_VALUE && !cancelled_ && waited > kCancelAfter) {
                // Held under the lock: the player cannot end the call, and so
                // cannot close the handle, until the cancel has been issued.
                CancelIoEx(handle_, nullptr);
                cancelled_ = true;
            }
            if (waited > kNeverCompletes) {
                if (!what_.empty()) Finding("%s never completed", what_.c_str());
                Finding("%s did not finish", phase_);
            }
        }
        lock.unlock();
        player.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    const char *phase_ = "";
    std::string what_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    Clock::time_point since_;
    bool cancelled_ = false;
};

Machine *g_machine = nullptr;
size_t g_pool_blocks = 0;

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// One input, played on the player's thread.
class Session {
public:
    explicit Session(Watchdog &watchdog) : watchdog_(watchdog) {}

    void Play(Reader &in) {
        for (size_t count = 0; count < kMaxOperations && !in.Empty(); ++count) {
            switch (static_cast<Operation>(in.Byte() % kOperationCount)) {
            case kOpen: Open(in); break;
            case kClose: Close(in.Byte()); break;
            case kControl: Control(in); break;
            case kRead: Transfer(in, true); break;
            case kWrite: Transfer(in, false); break;
            case kCancelIo: CancelAll(in.Byte()); break;
            case kCancelOne: CancelOne(in.Byte()); break;
            case kWait: Wait(in.Byte()); break;
            case kPlug: Plug(); break;
            case kUnplug: Unplug(in); break;
            case kStream: Stream(in); break;
            case kEnableRead: EnableRead(in.Byte()); break;
            case kFault: Inject(in); break;
            case kStop: PowerOrPnp(in.Byte(), kStop); break;
            case kStart: PowerOrPnp(in.Byte(), kStart); break;
            case kSleep: PowerOrPnp(0, kSleep); break;
            default: break;
            }
        }
        Finish();
    }

    // Requests on handles closed while they were in flight end with the
    // player's thread; after that every request must have completed.
    void CheckAllCompleted() const {
        for (const auto &request : requests_)
            if (!request->Completed()) Finding("%s was still pending after its thread ended", request->what.c_str());
    }

    bool touched() const { return touched_; }

private:
    // The handle of a slot, or of the first open one when that slot is empty.
    Slot *SlotFor(uint8_t selector) {
        Slot &chosen = slots_[selector % kHandleSlots];
        if (chosen.open()) return &chosen;
        for (Slot &slot : slots_)
            if (slot.open()) return &slot;
        return nullptr;
    }

    void Open(Reader &in) {
        const std::string path = PathOf(in.Byte());
        const uint8_t flags = in.Byte();
        Slot *free = nullptr;
        for (Slot &slot : slots_)
            if (!slot.open()) {
                free = &slot;
                break;
            }
        if (free == nullptr) return;
        const DWORD access = ((flags & kOpenNoRead) ? 0 : GENERIC_READ) | ((flags & kOpenNoWrite) ? 0 : GENERIC_WRITE);
        watchdog_.Begin(INVALID_HANDLE_VALUE, "CreateFile " + path);
        HANDLE handle = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    (flags & kOpenOverlapped) ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        watchdog_.End();
        if (handle == INVALID_HANDLE_VALUE) return;
        touched_ = true;
        free->handle = handle;
        free->path = path;
    }

    void Close(uint8_t selector) {
        Slot *slot = SlotFor(selector);
        if (slot == nullptr) return;
        for (auto &request : requests_)
            if (request->file == slot->handle) request->file_open = false;
        watchdog_.Begin(INVALID_HANDLE_VALUE, "CloseHandle " + slot->path);
        if (!CloseHandle(slot->handle)) Finding("CloseHandle of %s failed", slot->path.c_str());
        watchdog_.End();
        slot->handle = INVALID_HANDLE_VALUE;
    }

    size_t InFlight() const {
        size_t count = 0;
        for (const auto &request : requests_) count += request->Completed() ? 0 : 1;
        return count;
    }

    // Issues one request, overlapped or not, and keeps it while it is pending.
    template <typename Issue>
    void Send(Slot &slot, uint8_t call_byte, std::unique_ptr<Request> request, Issue issue) {
        const Call call = static_cast<Call>(call_byte % 4);
        request->file = slot.handle;
        request->what += " on " + slot.path;
        LPOVERLAPPED overlapped = nullptr;
        if (call != kSynchronous) {
            if (InFlight() >= kMaxRequestsInFlight) return;
            if (call != kOverlappedNoEvent) {
                request->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
                request->overlapped.hEvent = request->event;
            }
            overlapped = &request->overlapped;
        }
        watchdog_.Begin(slot.handle, request->what);
        DWORD bytes = 0;
        const BOOL done = issue(overlapped, &bytes);
        const DWORD error = done ? ERROR_SUCCESS : GetLastError();
        watchdog_.End();
        if (done && bytes > request->output_length)
            Finding("%s reported %u bytes for a %u-byte buffer", request->what.c_str(), bytes, request->output_length);
        if (overlapped == nullptr || done || error != ERROR_IO_PENDING) return;
        if (call == kOverlappedCancel) CancelIoEx(slot.handle, overlapped);
        requests_.push_back(std::move(request));
    }

    void Control(Reader &in) {
        Slot *slot = SlotFor(in.Byte());
        const uint32_t code = PickCode(in);
        uint32_t input_length = PickLength(in);
        uint32_t output_length = PickLength(in);
        const uint8_t contents = in.Byte();
        const uint8_t call = in.Byte();
        if (code == IOCTL_CAM_LOAD_MEMORY) input_length = std::min(input_length, kMaxMemoryLength);
        if (code == IOCTL_CAM_WRITE_MEMORY) output_length = std::min(output_length, kMaxMemoryLength);
        if (slot == nullptr) return;

        auto request = std::make_unique<Request>();
        request->what = "DeviceIoControl " + Hex(code) + " (in " + std::to_string(input_length) + ", out " +
                        std::to_string(output_length) + ")";
        const bool same = (contents & kSameBuffer) != 0;
        const bool read_only = (contents & kOutputReadOnly) != 0 && !same;
        request->output = std::make_unique<Buffer>(same ? std::max(input_length, output_length) : output_length,
                                                   read_only);
        Buffer &output = *request->output;
        request->output_length = output_length;
        const uint8_t fill = in.Byte();
        std::memset(output.data(), fill, output.length());
        if ((contents & kOutputFromData) != 0) in.Fill(output.data(), std::min<size_t>(output.length(), 12), fill);
        if ((contents & kOutputMagic) != 0 && output.length() >= 4) {
            const uint32_t magic = CAM_FRAME_REQUEST_MAGIC;
            std::memcpy(output.data(), &magic, sizeof magic);
        }
        uint8_t *input = output.data();
        if (!same) {
            request->input = std::make_unique<Buffer>(input_length, false);
            input = request->input->data();
            std::memset(input, fill, input_length);
        }
        if ((contents & kInputFromData) != 0) in.Fill(input, std::min<size_t>(input_length, 32), fill);
        if ((contents & kNullInput) == kNullInput) input = nullptr;
        output.Protect();
        Send(*slot, call, std::move(request), [&](LPOVERLAPPED overlapped, DWORD *bytes) {
            return DeviceIoControl(slot->handle, code, input, input_length, output.data(), output_length, bytes,
                                   overlapped);
        });
    }

    void Transfer(Reader &in, bool read) {
        Slot *slot = SlotFor(in.Byte());
        const uint32_t length = PickLength(in);
        const uint8_t call = in.Byte();
        if (slot == nullptr) return;
        auto request = std::make_unique<Request>();
        request->what = std::string(read ? "ReadFile " : "WriteFile ") + std::to_string(length);
        request->output = std::make_unique<Buffer>(length, false);
        request->output_length = length;
        uint8_t *buffer = request->output->data();
        for (uint32_t i = 0; i < length; i += 4096) buffer[i] = static_cast<uint8_t>(i >> 12);
        Send(*slot, call, std::move(request), [&](LPOVERLAPPED overlapped, DWORD *bytes) {
            return read ? ReadFile(slot->handle, buffer, length, bytes, overlapped)
                        : WriteFile(slot->handle, buffer, length, bytes, overlapped);
        });
    }

    void CancelAll(uint8_t selector) {
        Slot *slot = SlotFor(selector);
        if (slot == nullptr) return;
        watchdog_.Begin(INVALID_HANDLE_VALUE, "CancelIo on " + slot->path);
        CancelIo(slot->handle);
        watchdog_.End();
        // CancelIo returns once the thread's requests on the handle have completed.
        for (const auto &request : requests_)
            if (request->file == slot->handle && request->file_open && !request->Completed())
                Finding("%s was still pending after CancelIo returned", request->what.c_str());
    }

    Request *PendingRequest(uint8_t selector) {
        if (requests_.empty()) return nullptr;
        Request *request = requests_[selector % requests_.size()].get();
        return request->file_open && !request->Completed() ? request : nullptr;
    }

    void CancelOne(uint8_t selector) {
        if (Request *request = PendingRequest(selector)) CancelIoEx(request->file, &request->overlapped);
    }

    // Lets the machine run on for a moment, or until the request completes.
    void Wait(uint8_t selector) {
        Request *request = PendingRequest(selector);
        if (request == nullptr) return;
        WaitForSingleObject(request->event != nullptr ? request->event : request->file, 20);
    }

    void Plug() {
        if (g_machine->Cameras().size() >= kMaxCameras) return;
        touched_ = true;
        watchdog_.Begin(INVALID_HANDLE_VALUE, "plugging a camera in");
        g_machine->Plug();
        watchdog_.End();
    }

    bool PickCamera(uint8_t selector, CameraId *camera) {
        const std::vector<CameraId> cameras = g_machine->Cameras();
        if (cameras.empty()) return false;
        *camera = cameras[selector % cameras.size()];
        touched_ = true;
        return true;
    }

    void Unplug(Reader &in) {
        const uint8_t selector = in.Byte();
        const bool orderly = (in.Byte() & 1) != 0;
        CameraId camera;
        if (!PickCamera(selector, &camera)) return;
        watchdog_.Begin(INVALID_HANDLE_VALUE, orderly ? "an orderly removal" : "a surprise removal");
        g_machine->Unplug(camera, orderly ? tm350::sim::Removal::Orderly : tm350::sim::Removal::Surprise);
        watchdog_.End();
    }

    void Stream(Reader &in) {
        Slot *slot = SlotFor(in.Byte());
        const bool on = (in.Byte() & 1) == 0;
        if (slot == nullptr) return;
        // The camera's control word: a vendor request to the device, no data.
        const CAM_CONTROL_RECORD record = {0, 2, 0, 0, 0x01, 0, static_cast<USHORT>(on ? 3 : 0), 0x000F};
        DWORD bytes = 0;
        watchdog_.Begin(slot->handle, "the control word on " + slot->path);
        SynchronousControl(*slot, IOCTL_CAM_CONTROL_REQUEST, &record, sizeof record, &bytes);
        watchdog_.End();
    }

    void EnableRead(uint8_t selector) {
        Slot *slot = SlotFor(selector);
        if (slot == nullptr) return;
        const UCHAR enable[2] = {1, 0};
        DWORD bytes = 0;
        watchdog_.Begin(slot->handle, "IOCTL_CAM_ENABLE_READ on " + slot->path);
        SynchronousControl(*slot, IOCTL_CAM_ENABLE_READ, enable, sizeof enable, &bytes);
        watchdog_.End();
    }

    // A control request that completes before DeviceIoControl returns; on an
    // overlapped handle too, where it goes without an OVERLAPPED.
    static void SynchronousControl(Slot &slot, DWORD code, const void *input, DWORD length, DWORD *bytes) {
        DeviceIoControl(slot.handle, code, const_cast<void *>(input), length, nullptr, 0, bytes, nullptr);
    }

    void Inject(Reader &in) {
        const uint8_t selector = in.Byte();
        const uint8_t kind = in.Byte();
        const uint16_t argument = in.U16();
        CameraId id;
        if (!PickCamera(selector, &id)) return;
        tm350::sim::Camera &camera = g_machine->CameraOf(id);
        switch (static_cast<Fault>(kind % kFaultCount)) {
        case kDropStreamBytes: camera.DropStreamBytes(size_t{argument} * 16); break;
        case kTruncateNextFrame: camera.TruncateNextFrame(size_t{argument} * 16); break;
        case kStallControl: camera.StallNextControlTransfers(argument % 4 + 1); break;
        case kHangSensor: camera.HangSensor(); break;
        case kResumeSensor: camera.ResumeSensor(); break;
        default: camera.HaltEndpoint(0x82); break;
        }
    }

    void PowerOrPnp(uint8_t selector, Operation operation) {
        if (operation == kSleep) {
            touched_ = true;
            watchdog_.Begin(INVALID_HANDLE_VALUE, "sleep and resume");
            g_machine->Sleep();
            g_machine->Resume();
            watchdog_.End();
            return;
        }
        CameraId camera;
        if (!PickCamera(selector, &camera)) return;
        watchdog_.Begin(INVALID_HANDLE_VALUE, operation == kStop ? "IRP_MN_STOP_DEVICE" : "IRP_MN_START_DEVICE");
        if (operation == kStop)
            g_machine->StopDevice(camera);
        else
            g_machine->StartDevice(camera);
        watchdog_.End();
    }

    // What is in flight on open handles is cancelled and has completed
    // before the handles close; what is in flight on handles already closed
    // ends with the thread.
    void Finish() {
        for (Slot &slot : slots_)
            if (slot.open()) CancelAll(static_cast<uint8_t>(&slot - slots_));
        for (size_t i = 0; i < kHandleSlots; ++i)
            if (slots_[i].open()) Close(static_cast<uint8_t>(i));
    }

    Watchdog &watchdog_;
    Slot slots_[kHandleSlots];
    std::vector<std::unique_ptr<Request>> requests_;
    bool touched_ = false;
};

// Every camera out, fresh ones in, and the driver back to what it held
// after the machine started.
void ReplaceCameras() {
    for (CameraId camera : g_machine->Cameras()) g_machine->Unplug(camera);
    g_machine->WaitForPendingWork();
    for (unsigned i = 0; i < kStartingCameras; ++i) {
        long status = 0;
        g_machine->Plug({}, &status);
        if (status != 0) Finding("a fresh camera did not start (status 0x%08lX)", static_cast<unsigned long>(status));
    }
    g_machine->WaitForPendingWork();
    if (g_machine->DriverDeviceCount() != kStartingCameras)
        Finding("the driver holds %zu device objects for %u cameras", g_machine->DriverDeviceCount(),
                kStartingCameras);
    if (g_machine->DriverPoolBlocks() != g_pool_blocks)
        Finding("the driver holds %zu pool blocks, %zu when the machine started", g_machine->DriverPoolBlocks(),
                g_pool_blocks);
}

}  // namespace

void StartMachine() {
    if (g_machine != nullptr) return;
    setenv("TM350_CANCEL_WAIT_MS", kCancelWaitMs, 0);
    tm350::sim::MachineOptions options;
    options.cameras = kStartingCameras;
    options.timing = tm350::sim::Timing::Fast;
    Machine::Start(options);
    g_machine = &Machine::Get();
    g_machine->WaitForPendingWork();
    g_pool_blocks = g_machine->DriverPoolBlocks();
}

void StopMachine() {
    if (g_machine != nullptr) g_machine->Shutdown();
    g_machine = nullptr;
}

}  // namespace driver_fuzz

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    driver_fuzz::StartMachine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace driver_fuzz;
    StartMachine();
    Watchdog watchdog;
    Session session(watchdog);
    Reader in(data, size);
    watchdog.Run("the input's calls", [&] { session.Play(in); });
    session.CheckAllCompleted();
    if (session.touched()) watchdog.Run("replacing the cameras", ReplaceCameras);
    return 0;
}
