#include "sim/camera.h"

#include "usb/usb_log.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tm350::sim {
namespace {

constexpr const char *kLog = "camera";

size_t CheckedFifoSize(size_t bytes) {
    if (bytes == 0 || bytes % kBulkPacketSize != 0)
        usb::ContractViolation("camera FIFO of %zu bytes, needs a non-zero multiple of %u", bytes, kBulkPacketSize);
    return bytes;
}

const char *SpeedName(ReadoutSpeed speed) { return speed == ReadoutSpeed::High ? "high" : "normal"; }

}  // namespace

Camera::Camera(CameraOptions options)
    : StandardDevice(CameraDescription(std::move(options.serial_number), options.bandwidth_settings), kLog),
      fifo_(CheckedFifoSize(options.fifo_bytes)),
      source_(MakeFrameSource(options.sensor.value_or(SensorOptions{}))) {
    if (options.defect_table && !StoreDefectTable(memory_, *options.defect_table))
        usb::ContractViolation("camera defect table lists more than %zu defects for a size", kDefectSlotsPerSize);
}

// --- vendor requests ----------------------------------------------------

usb::ControlResult Camera::OnDeviceRequest(const usb::SetupPacket &setup, std::span<uint8_t> data) {
    if (setup.Type() != usb::RequestType::Vendor || setup.Recipient() != usb::RequestRecipient::Device)
        return usb::ControlResult::Stall();
    const bool in = setup.Direction() == usb::TransferDirection::DeviceToHost;

    switch (static_cast<VendorRequest>(setup.bRequest)) {
    case VendorRequest::ReadWord: {
        if (!in || stalled_word_address_ == setup.wIndex) return usb::ControlResult::Stall();
        const uint16_t word = memory_.ReadWord(setup.wIndex);
        const uint8_t reply[3] = {static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word), word_read_status_};
        const size_t length = std::min(data.size(), sizeof reply);
        if (length > 0) std::memcpy(data.data(), reply, length);
        return usb::ControlResult::Ack(static_cast<uint16_t>(length));
    }
    case VendorRequest::WriteRegister: {
        if (in || setup.wLength != 0) return usb::ControlResult::Stall();
        const auto address = static_cast<uint8_t>(setup.wIndex >> 8);
        const uint32_t value = static_cast<uint32_t>(setup.wValue) << 8 | (setup.wIndex & 0xFF);
        const unsigned page = registers_.SelectedPage();
        if (!registers_.Write(address, value)) {
            usb::Log(kLog, "register %02X = %06X refused", address, value);
            return usb::ControlResult::Stall();
        }
        usb::Log(kLog, "register %u:%02X = %06X", page, address, value);
        RecordWrite({.kind = CameraWrite::Kind::Register, .page = page, .address = address, .value = value,
                     .w_value = setup.wValue, .w_index = setup.wIndex});
        return usb::ControlResult::Ack();
    }
    case VendorRequest::ControlWord:
        if (in || setup.wLength != 0 || setup.wIndex != kControlWordIndex) return usb::ControlResult::Stall();
        RecordWrite({.kind = CameraWrite::Kind::ControlWord, .value = setup.wValue, .w_value = setup.wValue,
                     .w_index = setup.wIndex});
        return WriteControlWord(setup.wValue);
    case VendorRequest::LoadMemory:
        if (in) return usb::ControlResult::Stall();
        memory_.Write(setup.wValue, data);
        usb::Log(kLog, "memory %04X: %zu bytes loaded", setup.wValue, data.size());
        return usb::ControlResult::Ack();
    }
    return usb::ControlResult::Stall();
}

usb::ControlResult Camera::WriteControlWord(uint16_t value) {
    control_word_ = value;
    usb::Log(kLog, "control word %u", value);
    if (value == kControlWordStream) {
        if (!streaming_) {
            streaming_ = true;
            usb::Log(kLog, "streaming");
        }
    } else {
        StopStreaming("control word");
    }
    return usb::ControlResult::Ack();
}

void Camera::RecordWrite(const CameraWrite &write) {
    if (writes_.size() == kWriteHistory) writes_.pop_front();
    writes_.push_back(write);
    ++write_count_;
}

void Camera::StopStreaming(const char *reason) {
    if (!streaming_ && !readout_.active && fifo_.Buffered() == 0) return;
    if (streaming_) usb::Log(kLog, "streaming stopped (%s), %zu bytes dropped", reason, fifo_.Buffered());
    streaming_ = false;
    readout_.active = false;
    fifo_.Clear();
}

// --- the sensor's readout -----------------------------------------------

void Camera::OnStartOfFrame(uint32_t) {
    if (!streaming_ || hung_) return;
    if (!readout_.active) BeginReadout();
    ++readout_.elapsed;
    const size_t due = static_cast<size_t>(static_cast<uint64_t>(kFrameBytes) * readout_.elapsed / readout_.period);
    if (!readout_.ended) {
        ReadOut(std::min(due, readout_.length));
        if (readout_.position == readout_.length) EndReadout();
    }
    if (readout_.elapsed == readout_.period) readout_.active = false;
}

size_t Camera::NextFrameLength() {
    if (frame_lengths_.empty()) return kFrameBytes;
    const size_t length = frame_lengths_.front();
    if (frame_lengths_.size() > 1) frame_lengths_.erase(frame_lengths_.begin());
    return length;
}

void Camera::BeginReadout() {
    const ReadoutSpeed speed = registers_.Speed();
    if (last_speed_ != speed) {
        usb::Log(kLog, "%s speed: %u bus frames per frame", SpeedName(speed), FramePeriod(speed));
        last_speed_ = speed;
    }
    readout_ = Readout{
        .active = true,
        .ended = false,
        .sequence = next_sequence_++,
        .period = FramePeriod(speed),
        .elapsed = 0,
        .length = std::min(truncate_next_ ? *truncate_next_ : NextFrameLength(), kFrameBytes),
        .position = 0,
        .lost = 0,
    };
    truncate_next_.reset();
    if (pending_source_) source_ = std::move(pending_source_);
    source_->BeginFrame({.sequence = readout_.sequence, .speed = speed, .registers = &registers_, .memory = &memory_});
    ++counters_.frames_started;
}

void Camera::ReadOut(size_t end) {
    if (end <= readout_.position) return;
    scratch_.resize(end - readout_.position);
    source_->ReadOut(readout_.position, scratch_);
    std::span<const uint8_t> bytes(scratch_);
    counters_.bytes_read_out += bytes.size();
    readout_.position = end;

    const size_t dropped = std::min(drop_bytes_, bytes.size());
    drop_bytes_ -= dropped;
    bytes = bytes.subspan(dropped);
    const size_t accepted = fifo_.Push(bytes);
    const size_t lost = dropped + (bytes.size() - accepted);
    readout_.lost += lost;
    counters_.bytes_lost += lost;
}

void Camera::EndReadout() {
    readout_.ended = true;
    const size_t delivered = readout_.length - readout_.lost;
    fifo_.EndFrame(delivered < kFrameBytes);
    ++counters_.frames_produced;
    if (delivered < kFrameBytes)
        usb::Log(kLog, "frame %llu: %zu of %zu bytes reach the FIFO (%zu lost)",
                 static_cast<unsigned long long>(readout_.sequence), delivered, kFrameBytes, readout_.lost);
}

// --- data endpoints -----------------------------------------------------

void Camera::CountPacket(const FrameFifo::Packet &packet) {
    ++counters_.packets_sent;
    counters_.bytes_sent += packet.length;
    if (packet.ends_frame) {
        ++counters_.frames_completed;
        if (packet.frame_damaged) ++counters_.frames_short;
    }
}

usb::PacketResult Camera::OnInPacket(const usb::EndpointInfo &endpoint, std::span<uint8_t> room) {
    if (endpoint.address == kDataInEndpoint) {
        const auto packet = hung_ ? std::nullopt : fifo_.TakeBulk(room);
        if (!packet) {
            ++counters_.naks;
            return usb::PacketResult::Nak();
        }
        CountPacket(*packet);
        return usb::PacketResult::Ack(packet->length);
    }
    if (endpoint.address == kIsochronousInEndpoint) {
        if (hung_) return usb::PacketResult::Ack(0);
        const FrameFifo::Packet packet = fifo_.TakeIsochronous(room);
        CountPacket(packet);
        return usb::PacketResult::Ack(packet.length);
    }
    return usb::PacketResult::Stall();
}

usb::Handshake Camera::OnOutPacket(const usb::EndpointInfo &endpoint, std::span<const uint8_t> data) {
    // The OUT endpoint has no function of its own: what arrives is counted
    // and discarded.
    counters_.bytes_received += data.size();
    return usb::Handshake::Ack;
}

// --- bus events ---------------------------------------------------------

void Camera::OnBusReset() {
    StopStreaming("bus reset");
    control_word_ = 0;
}

void Camera::OnAttach() {
    registers_.PowerOn();
    control_word_ = 0;
    last_speed_.reset();
}

void Camera::OnDetach() { StopStreaming("unplugged"); }

// --- test interface -----------------------------------------------------

CameraCounters Camera::Counters() const {
    auto lock = Lock();
    CameraCounters counters = counters_;
    lock.unlock();
    counters.control_transfers = ControlTransferCount();
    return counters;
}

uint32_t Camera::Register(unsigned page, uint8_t address) const {
    auto lock = Lock();
    return registers_.Read(page, address);
}

unsigned Camera::SelectedPage() const {
    auto lock = Lock();
    return registers_.SelectedPage();
}

uint16_t Camera::ControlWord() const {
    auto lock = Lock();
    return control_word_;
}

bool Camera::Streaming() const {
    auto lock = Lock();
    return streaming_;
}

uint32_t Camera::CurrentFramePeriod() const {
    auto lock = Lock();
    return readout_.active ? readout_.period : FramePeriod(registers_.Speed());
}

size_t Camera::FifoBuffered() const {
    auto lock = Lock();
    return fifo_.Buffered();
}

std::vector<uint8_t> Camera::ReadMemory(uint16_t address, size_t length) const {
    auto lock = Lock();
    return memory_.Read(address, length);
}

std::vector<CameraWrite> Camera::Writes() const {
    auto lock = Lock();
    return {writes_.begin(), writes_.end()};
}

uint64_t Camera::WriteCount() const {
    auto lock = Lock();
    return write_count_;
}

void Camera::WriteMemory(uint16_t address, std::span<const uint8_t> data) {
    auto lock = Lock();
    memory_.Write(address, data);
}

bool Camera::StoreDefects(const DefectTable &table) {
    auto lock = Lock();
    return StoreDefectTable(memory_, table);
}

void Camera::SetFrameSource(std::unique_ptr<FrameSource> source) {
    auto lock = Lock();
    pending_source_ = source ? std::move(source) : std::make_unique<PatternFrameSource>();
}

void Camera::DropStreamBytes(size_t count) {
    auto lock = Lock();
    drop_bytes_ = count;
    usb::Log(kLog, "fault: the next %zu bytes read out are lost", count);
}

void Camera::TruncateNextFrame(size_t length) {
    auto lock = Lock();
    truncate_next_ = std::min(length, kFrameBytes);
    usb::Log(kLog, "fault: the next frame ends after %zu bytes", *truncate_next_);
}

void Camera::SetFrameLengths(std::vector<size_t> lengths) {
    auto lock = Lock();
    frame_lengths_ = std::move(lengths);
    usb::Log(kLog, "fault: the next %zu frame length(s) are set", frame_lengths_.size());
}

void Camera::HangSensor() {
    auto lock = Lock();
    hung_ = true;
    usb::Log(kLog, "fault: sensor hangs");
}

void Camera::ResumeSensor() {
    auto lock = Lock();
    if (hung_) usb::Log(kLog, "sensor resumes");
    hung_ = false;
}

void Camera::StallWordReadsAt(uint16_t address) {
    auto lock = Lock();
    stalled_word_address_ = address;
    usb::Log(kLog, "fault: word reads of %04X stall", address);
}

void Camera::SetWordReadStatus(uint8_t status) {
    auto lock = Lock();
    word_read_status_ = status;
    usb::Log(kLog, "fault: word reads answer status %02X", status);
}

void Camera::ClearFaults() {
    ClearControlFaults();
    auto lock = Lock();
    drop_bytes_ = 0;
    truncate_next_.reset();
    frame_lengths_.clear();
    hung_ = false;
    stalled_word_address_.reset();
    word_read_status_ = kReadWordStatus;
}

}  // namespace tm350::sim
