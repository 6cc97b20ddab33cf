#include "usb/standard_device.h"

#include "usb/usb_log.h"

#include <algorithm>
#include <cstring>

namespace tm350::usb {
namespace {

std::vector<std::vector<uint8_t>> ConfigurationBytes(const DeviceDescriptor &device) {
    std::vector<std::vector<uint8_t>> all;
    for (const auto &configuration : device.configurations)
        all.push_back(ConfigurationDescriptorBytes(configuration));
    return all;
}

const DeviceDescription &Validated(const DeviceDescription &description, const char *log_component) {
    if (auto problem = ValidateDescription(description))
        ContractViolation("%s: device description: %s", log_component, problem->c_str());
    return description;
}

// Copies a reply into the data stage, cut to wLength as every
// device-to-host control transfer is.
ControlResult Reply(std::span<uint8_t> data, std::span<const uint8_t> reply) {
    const size_t length = std::min(data.size(), reply.size());
    if (length > 0) std::memcpy(data.data(), reply.data(), length);  // a zero-length stage may have no storage
    return ControlResult::Ack(static_cast<uint16_t>(length));
}

EndpointInfo Info(const InterfaceDescriptor &setting, const EndpointDescriptor &endpoint) {
    return EndpointInfo{
        .address = endpoint.bEndpointAddress,
        .type = endpoint.Type(),
        .max_packet_size = endpoint.MaxPacketBytes(),
        .transactions_per_microframe = endpoint.TransactionsPerMicroframe(),
        .interval = endpoint.bInterval,
        .interface_number = setting.bInterfaceNumber,
        .alternate_setting = setting.bAlternateSetting,
    };
}

const char *StatusName(ControlStatus status) {
    switch (status) {
    case ControlStatus::Ack: return "ack";
    case ControlStatus::Stall: return "stall";
    case ControlStatus::NoResponse: return "no response";
    }
    return "?";
}

}  // namespace

StandardDevice::StandardDevice(DeviceDescription description, const char *log_component)
    : description_(Validated(description, log_component)),
      log_component_(log_component),
      device_descriptor_(DeviceDescriptorBytes(description_.device)),
      configuration_descriptors_(ConfigurationBytes(description_.device)) {}

BusSpeed StandardDevice::Speed() const { return description_.speed; }

bool StandardDevice::Attached() const {
    auto lock = Lock();
    return attached_;
}

uint8_t StandardDevice::Address() const {
    auto lock = Lock();
    return address_;
}

void StandardDevice::ReturnToDefaultState() {
    address_ = 0;
    configuration_ = 0;
    alternate_settings_.clear();
    active_endpoints_.clear();
    halted_.clear();
    remote_wakeup_ = false;
}

void StandardDevice::Reset() {
    auto lock = Lock();
    if (!attached_) return;
    ReturnToDefaultState();
    Log(log_component_, "bus reset");
    OnBusReset();
}

void StandardDevice::SetAttached(bool attached) {
    auto lock = Lock();
    if (attached_ == attached) return;
    attached_ = attached;
    ReturnToDefaultState();
    Log(log_component_, attached ? "plugged in" : "unplugged");
    if (attached)
        OnAttach();
    else
        OnDetach();
}

void StandardDevice::StartOfFrame(uint32_t frame_number) {
    auto lock = Lock();
    if (attached_) OnStartOfFrame(frame_number);
}

// --- control transfers --------------------------------------------------

ControlResult StandardDevice::ControlTransfer(const SetupPacket &setup, std::span<uint8_t> data) {
    if (data.size() != setup.wLength)
        ContractViolation("%s: control transfer with a data stage of %zu bytes, SETUP wLength %u", log_component_,
                          data.size(), setup.wLength);
    auto lock = Lock();
    if (!attached_) return ControlResult::NoResponse();

    ControlResult result = Dispatch(setup, data);
    if (result.status == ControlStatus::Ack) {
        if (setup.Direction() == TransferDirection::HostToDevice)
            result.length = setup.wLength;
        else if (result.length > setup.wLength)
            ContractViolation("%s: replied %u bytes to a request for %u", log_component_, result.length,
                              setup.wLength);
    } else {
        result.length = 0;
    }
    Record(setup, data, result);
    return result;
}

void StandardDevice::Record(const SetupPacket &setup, std::span<const uint8_t> data, ControlResult result) {
    ++control_transfers_;
    ControlRecord record{.setup = setup, .data = {}, .status = result.status};
    if (setup.Direction() == TransferDirection::HostToDevice)
        record.data.assign(data.begin(), data.end());
    else
        record.data.assign(data.begin(), data.begin() + result.length);
    if (history_.size() == kControlHistory) history_.pop_front();
    history_.push_back(std::move(record));
    if (result.status != ControlStatus::Ack) {
        const auto bytes = setup.Bytes();
        Log(log_component_, "%s: %02X %02X %02X %02X %02X %02X %02X %02X", StatusName(result.status), bytes[0],
            bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7]);
    }
}

bool StandardDevice::StallInjected(const SetupPacket &setup) {
    if (stall_next_ > 0) {
        --stall_next_;
        return true;
    }
    return stalled_requests_.contains({setup.Type(), setup.bRequest});
}

ControlResult StandardDevice::Dispatch(const SetupPacket &setup, std::span<uint8_t> data) {
    if (StallInjected(setup)) return ControlResult::Stall();
    if (setup.Type() == RequestType::Standard) return Standard(setup, data);
    return OnDeviceRequest(setup, data);
}

ControlResult StandardDevice::OnDeviceRequest(const SetupPacket &, std::span<uint8_t>) {
    return ControlResult::Stall();
}

ControlResult StandardDevice::Standard(const SetupPacket &setup, std::span<uint8_t> data) {
    const bool in = setup.Direction() == TransferDirection::DeviceToHost;
    switch (static_cast<StandardRequest>(setup.bRequest)) {
    case StandardRequest::GetStatus:
        return in ? GetStatus(setup, data) : ControlResult::Stall();
    case StandardRequest::ClearFeature:
    case StandardRequest::SetFeature:
        if (in || setup.wLength != 0) return ControlResult::Stall();
        return ChangeFeature(setup, setup.bRequest == static_cast<uint8_t>(StandardRequest::SetFeature));
    case StandardRequest::SetAddress:
        return in ? ControlResult::Stall() : SetAddress(setup);
    case StandardRequest::GetDescriptor:
        return in ? GetDescriptor(setup, data) : ControlResult::Stall();
    case StandardRequest::GetConfiguration: {
        if (!in || setup.Recipient() != RequestRecipient::Device || StateLocked() == DeviceState::Default)
            return ControlResult::Stall();
        const uint8_t value = configuration_;
        return Reply(data, std::span(&value, 1));
    }
    case StandardRequest::SetConfiguration:
        return in ? ControlResult::Stall() : SetConfiguration(setup);
    case StandardRequest::GetInterface: {
        if (!in || setup.Recipient() != RequestRecipient::Interface || setup.wValue != 0)
            return ControlResult::Stall();
        const auto setting = alternate_settings_.find(static_cast<uint8_t>(setup.wIndex));
        if (setup.wIndex > 0xFF || setting == alternate_settings_.end()) return ControlResult::Stall();
        return Reply(data, std::span(&setting->second, 1));
    }
    case StandardRequest::SetInterface:
        return in ? ControlResult::Stall() : SetInterface(setup);
    default:
        return ControlResult::Stall();
    }
}

ControlResult StandardDevice::GetStatus(const SetupPacket &setup, std::span<uint8_t> data) {
    if (setup.wValue != 0) return ControlResult::Stall();
    uint8_t status[2] = {0, 0};
    switch (setup.Recipient()) {
    case RequestRecipient::Device: {
        if (setup.wIndex != 0) return ControlResult::Stall();
        const ConfigurationDescriptor *configuration = CurrentConfiguration();
        if (configuration == nullptr) configuration = &description_.device.configurations.front();
        const bool self_powered = (configuration->bmAttributes & 0x40) != 0;
        status[0] = static_cast<uint8_t>((self_powered ? 0x01 : 0) | (remote_wakeup_ ? 0x02 : 0));
        break;
    }
    case RequestRecipient::Interface:
        if (setup.wIndex > 0xFF || !alternate_settings_.contains(static_cast<uint8_t>(setup.wIndex)))
            return ControlResult::Stall();
        break;
    case RequestRecipient::Endpoint: {
        const auto address = static_cast<uint8_t>(setup.wIndex);
        if (setup.wIndex > 0xFF) return ControlResult::Stall();
        if ((address & 0x7F) != 0) {
            if (!FindActiveEndpoint(address)) return ControlResult::Stall();
            status[0] = halted_.contains(address) ? 0x01 : 0;
        }
        break;
    }
    default:
        return ControlResult::Stall();
    }
    return Reply(data, status);
}

ControlResult StandardDevice::ChangeFeature(const SetupPacket &setup, bool set) {
    const auto feature = static_cast<FeatureSelector>(setup.wValue);
    switch (setup.Recipient()) {
    case RequestRecipient::Device: {
        if (feature != FeatureSelector::DeviceRemoteWakeup || setup.wIndex != 0) return ControlResult::Stall();
        const ConfigurationDescriptor *configuration = CurrentConfiguration();
        if (configuration == nullptr) configuration = &description_.device.configurations.front();
        if ((configuration->bmAttributes & 0x20) == 0) return ControlResult::Stall();
        remote_wakeup_ = set;
        return ControlResult::Ack();
    }
    case RequestRecipient::Endpoint: {
        const auto address = static_cast<uint8_t>(setup.wIndex);
        if (feature != FeatureSelector::EndpointHalt || setup.wIndex > 0xFF) return ControlResult::Stall();
        // Endpoint 0 recovers from a stall at the next SETUP by itself.
        if ((address & 0x7F) == 0) return ControlResult::Ack();
        const EndpointInfo *endpoint = FindActiveEndpoint(address);
        if (!endpoint) return ControlResult::Stall();
        if (set) {
            halted_.insert(address);
            Log(log_component_, "endpoint %02X halted by the host", address);
        } else {
            if (halted_.erase(address) != 0) Log(log_component_, "endpoint %02X halt cleared", address);
            OnEndpointHaltCleared(*endpoint);
        }
        return ControlResult::Ack();
    }
    default:
        return ControlResult::Stall();
    }
}

ControlResult StandardDevice::GetDescriptor(const SetupPacket &setup, std::span<uint8_t> data) {
    if (setup.Recipient() != RequestRecipient::Device) return ControlResult::Stall();
    const auto type = static_cast<DescriptorType>(setup.wValue >> 8);
    const auto index = static_cast<uint8_t>(setup.wValue);
    switch (type) {
    case DescriptorType::Device:
        if (index != 0) return ControlResult::Stall();
        return Reply(data, device_descriptor_);
    case DescriptorType::Configuration:
        if (index >= configuration_descriptors_.size()) return ControlResult::Stall();
        return Reply(data, configuration_descriptors_[index]);
    case DescriptorType::String:
        if (index == 0) return Reply(data, LanguageDescriptorBytes(description_.language));
        if (setup.wIndex != description_.language || index > description_.strings.size())
            return ControlResult::Stall();
        return Reply(data, StringDescriptorBytes(description_.strings[index - 1]));
    default:
        return ControlResult::Stall();
    }
}

ControlResult StandardDevice::SetAddress(const SetupPacket &setup) {
    if (setup.Recipient() != RequestRecipient::Device || setup.wValue > 127 || setup.wIndex != 0 ||
        setup.wLength != 0 || StateLocked() == DeviceState::Configured)
        return ControlResult::Stall();
    // The new address applies after the status stage, which is the end of
    // this call.
    address_ = static_cast<uint8_t>(setup.wValue);
    Log(log_component_, "address %u", address_);
    return ControlResult::Ack();
}

ControlResult StandardDevice::SetConfiguration(const SetupPacket &setup) {
    if (setup.Recipient() != RequestRecipient::Device || setup.wValue > 0xFF || setup.wIndex != 0 ||
        setup.wLength != 0 || StateLocked() == DeviceState::Default)
        return ControlResult::Stall();
    const auto value = static_cast<uint8_t>(setup.wValue);
    const ConfigurationDescriptor *selected = nullptr;
    for (const auto &configuration : description_.device.configurations)
        if (configuration.bConfigurationValue == value) selected = &configuration;
    if (value != 0 && selected == nullptr) return ControlResult::Stall();

    configuration_ = value;
    alternate_settings_.clear();
    halted_.clear();
    if (selected != nullptr)
        for (const auto &setting : selected->interfaces)
            alternate_settings_[setting.bInterfaceNumber] = 0;
    RefreshActiveEndpoints();
    Log(log_component_, "configuration %u", value);
    OnConfigurationSelected(value);
    return ControlResult::Ack();
}

ControlResult StandardDevice::SetInterface(const SetupPacket &setup) {
    if (setup.Recipient() != RequestRecipient::Interface || setup.wLength != 0 || setup.wIndex > 0xFF ||
        setup.wValue > 0xFF)
        return ControlResult::Stall();
    const auto interface_number = static_cast<uint8_t>(setup.wIndex);
    const auto alternate_setting = static_cast<uint8_t>(setup.wValue);
    if (!alternate_settings_.contains(interface_number) || FindSetting(interface_number, alternate_setting) == nullptr)
        return ControlResult::Stall();
    // Selecting a setting, even the current one, starts its endpoints afresh.
    for (const auto &endpoint : ActiveEndpointsLocked())
        if (endpoint.interface_number == interface_number) halted_.erase(endpoint.address);
    alternate_settings_[interface_number] = alternate_setting;
    RefreshActiveEndpoints();
    Log(log_component_, "interface %u alternate setting %u", interface_number, alternate_setting);
    OnInterfaceSelected(interface_number, alternate_setting);
    return ControlResult::Ack();
}

// --- data endpoints -----------------------------------------------------

PacketResult StandardDevice::InPacket(uint8_t endpoint_address, std::span<uint8_t> room) {
    auto lock = Lock();
    if (!attached_) return PacketResult::NoResponse();
    const EndpointInfo *endpoint = FindActiveEndpoint(endpoint_address);
    // A host controller only schedules endpoints it was told about; one that
    // went away with a new setting answers like a halted one.
    if (!endpoint || !endpoint->IsIn()) return PacketResult::Stall();
    if (room.size() < endpoint->max_packet_size)
        ContractViolation("%s: IN on endpoint %02X with room for %zu bytes, its packets take %u", log_component_,
                          endpoint_address, room.size(), endpoint->max_packet_size);
    if (halted_.contains(endpoint_address)) return PacketResult::Stall();

    PacketResult result = OnInPacket(*endpoint, room.first(endpoint->max_packet_size));
    if (result.length > endpoint->max_packet_size)
        ContractViolation("%s: sent %u bytes on endpoint %02X, its packets take %u", log_component_, result.length,
                          endpoint_address, endpoint->max_packet_size);
    if (result.handshake != Handshake::Ack) result.length = 0;
    if (endpoint->type == TransferType::Isochronous && result.handshake == Handshake::Nak)
        return PacketResult::Ack(0);
    if (result.handshake == Handshake::Stall && halted_.insert(endpoint_address).second)
        Log(log_component_, "endpoint %02X halted by the device", endpoint_address);
    return result;
}

Handshake StandardDevice::OutPacket(uint8_t endpoint_address, std::span<const uint8_t> data) {
    auto lock = Lock();
    if (!attached_) return Handshake::NoResponse;
    const EndpointInfo *endpoint = FindActiveEndpoint(endpoint_address);
    if (!endpoint || endpoint->IsIn()) return Handshake::Stall;
    if (data.size() > endpoint->max_packet_size)
        ContractViolation("%s: OUT of %zu bytes on endpoint %02X, its packets take %u", log_component_, data.size(),
                          endpoint_address, endpoint->max_packet_size);
    if (halted_.contains(endpoint_address)) return Handshake::Stall;
    Handshake result = OnOutPacket(*endpoint, data);
    if (endpoint->type == TransferType::Isochronous && result == Handshake::Nak) return Handshake::Ack;
    if (result == Handshake::Stall && halted_.insert(endpoint_address).second)
        Log(log_component_, "endpoint %02X halted by the device", endpoint_address);
    return result;
}

PacketResult StandardDevice::OnInPacket(const EndpointInfo &, std::span<uint8_t>) { return PacketResult::Stall(); }

Handshake StandardDevice::OnOutPacket(const EndpointInfo &, std::span<const uint8_t>) { return Handshake::Stall; }

// --- state --------------------------------------------------------------

const ConfigurationDescriptor *StandardDevice::CurrentConfiguration() const {
    for (const auto &configuration : description_.device.configurations)
        if (configuration_ != 0 && configuration.bConfigurationValue == configuration_) return &configuration;
    return nullptr;
}

const InterfaceDescriptor *StandardDevice::FindSetting(uint8_t interface_number, uint8_t alternate_setting) const {
    const ConfigurationDescriptor *configuration = CurrentConfiguration();
    if (configuration == nullptr) return nullptr;
    for (const auto &setting : configuration->interfaces)
        if (setting.bInterfaceNumber == interface_number && setting.bAlternateSetting == alternate_setting)
            return &setting;
    return nullptr;
}

void StandardDevice::RefreshActiveEndpoints() {
    active_endpoints_.clear();
    for (const auto &[interface_number, alternate_setting] : alternate_settings_)
        if (const InterfaceDescriptor *setting = FindSetting(interface_number, alternate_setting))
            for (const auto &endpoint : setting->endpoints)
                active_endpoints_.push_back(Info(*setting, endpoint));
}

const EndpointInfo *StandardDevice::FindActiveEndpoint(uint8_t endpoint_address) const {
    for (const auto &endpoint : active_endpoints_)
        if (endpoint.address == endpoint_address) return &endpoint;
    return nullptr;
}

DeviceState StandardDevice::StateLocked() const {
    if (configuration_ != 0) return DeviceState::Configured;
    return address_ != 0 ? DeviceState::Addressed : DeviceState::Default;
}

std::vector<EndpointInfo> StandardDevice::ActiveEndpoints() const {
    auto lock = Lock();
    return ActiveEndpointsLocked();
}

DeviceState StandardDevice::State() const {
    auto lock = Lock();
    return StateLocked();
}

uint8_t StandardDevice::Configuration() const {
    auto lock = Lock();
    return configuration_;
}

std::optional<uint8_t> StandardDevice::AlternateSetting(uint8_t interface_number) const {
    auto lock = Lock();
    const auto setting = alternate_settings_.find(interface_number);
    if (setting == alternate_settings_.end()) return std::nullopt;
    return setting->second;
}

bool StandardDevice::EndpointHalted(uint8_t endpoint_address) const {
    auto lock = Lock();
    return halted_.contains(endpoint_address);
}

bool StandardDevice::RemoteWakeupEnabled() const {
    auto lock = Lock();
    return remote_wakeup_;
}

std::vector<ControlRecord> StandardDevice::RecentControlTransfers() const {
    auto lock = Lock();
    return {history_.begin(), history_.end()};
}

uint64_t StandardDevice::ControlTransferCount() const {
    auto lock = Lock();
    return control_transfers_;
}

void StandardDevice::StallNextControlTransfers(unsigned count) {
    auto lock = Lock();
    stall_next_ = count;
    Log(log_component_, "fault: the next %u control transfers stall", count);
}

void StandardDevice::StallRequests(RequestType type, uint8_t request) {
    auto lock = Lock();
    stalled_requests_.insert({type, request});
    Log(log_component_, "fault: requests of type %u code %02X stall", static_cast<unsigned>(type), request);
}

void StandardDevice::ClearControlFaults() {
    auto lock = Lock();
    stall_next_ = 0;
    stalled_requests_.clear();
}

bool StandardDevice::HaltEndpoint(uint8_t endpoint_address) {
    auto lock = Lock();
    if (!FindActiveEndpoint(endpoint_address)) return false;
    if (halted_.insert(endpoint_address).second)
        Log(log_component_, "fault: endpoint %02X halted by the device", endpoint_address);
    return true;
}

}  // namespace tm350::usb
