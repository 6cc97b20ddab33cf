// The simulated camera: a USB 2.0 device whose sensor reads raw frames out
// into a FIFO that the host drains over a bulk (or isochronous) endpoint.
//
// Vendor requests (bmRequestType 0x40 / 0xC0, recipient device):
//   0x11 read word     device to host; wIndex = byte address; reply
//                      [high, low, 0x08], cut to wLength
//   0x18 register      host to device, no data; register = wIndex >> 8,
//                      value = wValue << 8 | (wIndex & 0xFF) (24 bits), on
//                      the page register 0x7F selects
//   0x01 control word  host to device, no data, wIndex 0x000F; wValue is
//                      kept; 3 starts streaming, any other value stops it
//   0xA0 memory load   host to device; the data stage is written to camera
//                      memory from address wValue on (16-bit, wrapping)
// Anything else, or one of these in another form, stalls. The camera has no
// class requests.
//
// Timing. The bus frame (1 ms, StartOfFrame) is the camera's only clock.
// While streaming, the sensor reads one raw frame of 907 872 bytes out every
// frame period: 133 bus frames at normal speed, 67 at high speed (register
// 0x30, see RegisterFile::Speed; the speed is taken when a readout starts).
// The readout starts at the first StartOfFrame after streaming began, or
// after the previous frame period ended; at the k-th StartOfFrame of a
// period the first floor(907 872 x k / period) bytes of the frame have
// entered the FIFO, so the whole frame is in by the period's last frame.
//
// FIFO. 16 KiB unless the options say otherwise: a little over two bus
// frames of normal-speed readout, a little over one at high speed. The host
// has to keep a transfer pending on the data endpoint or bytes are lost.
// Bulk IN on 0x82 offers a 512-byte packet when 512 bytes of the current
// frame are buffered, or the frame's last bytes once its end is buffered
// (907 872 = 1773 x 512 + 96: a frame ends with a 96-byte short packet);
// otherwise it NAKs. Streaming stopped, a bus reset and unplugging drop the
// frame being read out and empty the FIFO.
//
// The registers power up at normal speed (0x30 = 1, 0x36 = 0x21) and return
// to that when the camera is plugged in again; a bus reset keeps them.
// Memory (with the stored defect table) survives both.
#pragma once

#include "sim/camera_descriptors.h"
#include "sim/ccd_sensor.h"
#include "sim/camera_memory.h"
#include "sim/frame_fifo.h"
#include "sim/frame_source.h"
#include "sim/register_file.h"
#include "usb/standard_device.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tm350::sim {

enum class VendorRequest : uint8_t {
    ControlWord = 0x01,
    ReadWord = 0x11,
    WriteRegister = 0x18,
    LoadMemory = 0xA0,
};

constexpr uint16_t kControlWordIndex = 0x000F;
constexpr uint16_t kControlWordStream = 3;
constexpr uint8_t kReadWordStatus = 0x08;  // third byte of every word read

struct CameraOptions {
    std::u16string serial_number = kDefaultSerialNumber;
    // A whole number of bulk packets, at least one.
    size_t fifo_bytes = 16 * 1024;
    // What the camera's memory holds when it is made; nothing leaves the
    // memory zeroed, as on a camera that was never calibrated.
    std::optional<DefectTable> defect_table = DefectTable::Default();
    // Alternate settings beyond the bulk and isochronous ones (see
    // camera_descriptors.h), which make the configuration descriptor long.
    BandwidthSettings bandwidth_settings = BandwidthSettings::None;
    // What the frames show. Unset: the machine's choice (TM350_SIM) for a
    // camera the machine plugs, the chart through the sensor with noise
    // otherwise.
    std::optional<SensorOptions> sensor = std::nullopt;
};

// A register write or control word the camera took, as it took it.
struct CameraWrite {
    enum class Kind : uint8_t { Register, ControlWord };
    Kind kind = Kind::Register;
    unsigned page = 0;     // Register: the page the write went to
    uint8_t address = 0;   // Register: the register
    uint32_t value = 0;    // Register: the 24-bit value; ControlWord: the word
    uint16_t w_value = 0;  // the SETUP packet's fields, as sent
    uint16_t w_index = 0;
    friend bool operator==(const CameraWrite &, const CameraWrite &) = default;
};

struct CameraCounters {
    uint64_t frames_started = 0;    // readouts begun
    uint64_t frames_produced = 0;   // readouts finished (every byte pushed or lost)
    uint64_t frames_completed = 0;  // frames whose last packet the host took
    uint64_t frames_short = 0;      // of those, frames that lost bytes on the way
    uint64_t bytes_read_out = 0;    // bytes the sensor produced
    uint64_t bytes_lost = 0;        // of those, bytes that never reached the FIFO
    uint64_t bytes_sent = 0;        // bytes the host took from the data endpoints
    uint64_t packets_sent = 0;
    uint64_t naks = 0;              // IN transactions answered with NAK
    uint64_t bytes_received = 0;    // bytes the host sent to the OUT endpoint
    uint64_t control_transfers = 0;
};

class Camera final : public usb::StandardDevice {
public:
    explicit Camera(CameraOptions options = {});

    // --- inspection (any thread) ---
    CameraCounters Counters() const;
    uint32_t Register(unsigned page, uint8_t address) const;
    unsigned SelectedPage() const;
    uint16_t ControlWord() const;
    bool Streaming() const;
    // Bus frames per sensor frame for the readout in progress, or for the
    // next one when none is.
    uint32_t CurrentFramePeriod() const;
    size_t FifoBuffered() const;
    std::vector<uint8_t> ReadMemory(uint16_t address, size_t length) const;
    // The register writes and control words taken, oldest first: the last
    // kWriteHistory of them, and how many in all. Refused ones are not
    // taken, so they are not here.
    static constexpr size_t kWriteHistory = 1024;
    std::vector<CameraWrite> Writes() const;
    uint64_t WriteCount() const;

    // --- setup ---
    void WriteMemory(uint16_t address, std::span<const uint8_t> data);
    // False when a size has more than 64 defects; memory is then unchanged.
    bool StoreDefects(const DefectTable &table);
    // Replaces the frame source the options chose (nullptr: the counting
    // pattern); takes effect with the next frame the sensor starts.
    void SetFrameSource(std::unique_ptr<FrameSource> source);

    // --- faults (besides the control transfer faults and endpoint halts of
    // StandardDevice, and unplugging with SetAttached) ---
    // The next `count` bytes the sensor reads out are lost before the FIFO,
    // as if the FIFO had overflowed.
    void DropStreamBytes(size_t count);
    // The next frame to start ends after `length` bytes (at most a frame):
    // the readout stops there and the frame ends early, shorter.
    void TruncateNextFrame(size_t length);
    // The frames that start next end after these lengths, one each, in
    // order; the last length holds for every frame after them, until
    // ClearFaults. Lengths above a frame are a whole frame.
    void SetFrameLengths(std::vector<size_t> lengths);
    // The sensor hangs: no bytes are read out, the frame clock stands still
    // and the data endpoints answer every IN with NAK (isochronous: empty
    // packets), whatever is buffered, until ResumeSensor.
    void HangSensor();
    void ResumeSensor();
    // Word reads of `address` stall, as a read the camera cannot serve.
    void StallWordReadsAt(uint16_t address);
    // Word reads answer with this third byte instead of 0x08.
    void SetWordReadStatus(uint8_t status);
    // Clears the stream faults above and the control transfer faults.
    void ClearFaults();

private:
    usb::ControlResult OnDeviceRequest(const usb::SetupPacket &setup, std::span<uint8_t> data) override;
    usb::PacketResult OnInPacket(const usb::EndpointInfo &endpoint, std::span<uint8_t> room) override;
    usb::Handshake OnOutPacket(const usb::EndpointInfo &endpoint, std::span<const uint8_t> data) override;
    void OnStartOfFrame(uint32_t frame_number) override;
    void OnBusReset() override;
    void OnAttach() override;
    void OnDetach() override;

    usb::ControlResult WriteControlWord(uint16_t value);
    void StopStreaming(const char *reason);
    size_t NextFrameLength();
    void BeginReadout();
    void ReadOut(size_t end);
    void EndReadout();
    void CountPacket(const FrameFifo::Packet &packet);
    void RecordWrite(const CameraWrite &write);

    // Everything below is guarded by the device lock (StandardDevice::Lock).
    RegisterFile registers_;
    CameraMemory memory_;
    FrameFifo fifo_;
    std::unique_ptr<FrameSource> source_;
    std::unique_ptr<FrameSource> pending_source_;  // replaces source_ when the next frame starts
    std::vector<uint8_t> scratch_;  // one bus frame's worth of readout
    CameraCounters counters_;
    uint16_t control_word_ = 0;
    bool streaming_ = false;
    std::deque<CameraWrite> writes_;  // the last kWriteHistory
    uint64_t write_count_ = 0;

    // The readout in progress.
    struct Readout {
        bool active = false;  // a frame period is running
        bool ended = false;   // its frame has ended (the period may still run)
        uint64_t sequence = 0;
        uint32_t period = kNormalSpeedFramePeriod;
        uint32_t elapsed = 0;  // bus frames of the period so far
        size_t length = 0;     // bytes this frame has (less than a frame when truncated)
        size_t position = 0;   // bytes read out so far
        size_t lost = 0;
    } readout_;
    uint64_t next_sequence_ = 0;
    std::optional<ReadoutSpeed> last_speed_;

    // Stream faults.
    size_t drop_bytes_ = 0;
    std::optional<size_t> truncate_next_;
    std::vector<size_t> frame_lengths_;  // SetFrameLengths, the next frame's first
    bool hung_ = false;
    std::optional<uint16_t> stalled_word_address_;
    uint8_t word_read_status_ = kReadWordStatus;
};

}  // namespace tm350::sim
