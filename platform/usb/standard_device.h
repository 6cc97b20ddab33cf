// The part every simulated USB device shares: its standard descriptors as
// constant data, the standard requests answered from them, the device state
// they change (address, configuration, alternate settings, endpoint halts,
// remote wakeup), attachment, a log of recent control transfers, and fault
// injection for control transfers.
//
// A device derives from StandardDevice, passes its description to the
// constructor and overrides the hooks it needs. Each UsbDevice operation
// takes the device lock, answers what is standard, and only then calls the
// device's hook: a standard request never reaches the device's own switch,
// and a class or vendor request the device does not know falls through to
// the default hook, which stalls.
//
// Standard requests, as answered here:
//   GET_DESCRIPTOR   device, configuration (by index), string 0 (the one
//                    language) and strings 1..n in that language; cut to
//                    wLength. Device qualifier and other-speed configuration
//                    stall: the device describes only the speed it runs at.
//   SET_ADDRESS      0 to 127, not while configured
//   SET_CONFIGURATION / GET_CONFIGURATION   not in the default state (address 0);
//                    selecting resets alternate settings and halts
//   SET_INTERFACE / GET_INTERFACE           configured only
//   GET_STATUS       device (self-powered, remote wakeup), interface,
//                    endpoint (halt bit)
//   SET_FEATURE / CLEAR_FEATURE  ENDPOINT_HALT on an active endpoint (or
//                    endpoint 0, where it changes nothing), DEVICE_REMOTE_WAKEUP
//                    when the configuration offers it; TEST_MODE stalls
// Anything else, and any of these with the wrong direction, recipient or
// fields, stalls.
#pragma once

#include "usb/descriptors.h"
#include "usb/usb_device.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace tm350::usb {

enum class DeviceState : uint8_t {
    Default,     // after a reset: address 0
    Addressed,   // has an address, not configured
    Configured,  // a configuration is selected
};

// One control transfer as the device saw it.
struct ControlRecord {
    SetupPacket setup;
    // The data stage: what the host sent (host to device, whatever the
    // answer), or what the device replied (device to host, Ack only).
    std::vector<uint8_t> data;
    ControlStatus status = ControlStatus::Stall;
};

class StandardDevice : public UsbDevice {
public:
    // How many control transfers RecentControlTransfers keeps.
    static constexpr size_t kControlHistory = 64;

    // UsbDevice. Each takes the device lock; none blocks beyond it.
    BusSpeed Speed() const final;
    bool Attached() const final;
    uint8_t Address() const final;
    void Reset() final;
    void StartOfFrame(uint32_t frame_number) final;
    ControlResult ControlTransfer(const SetupPacket &setup, std::span<uint8_t> data) final;
    PacketResult InPacket(uint8_t endpoint_address, std::span<uint8_t> room) final;
    Handshake OutPacket(uint8_t endpoint_address, std::span<const uint8_t> data) final;
    std::vector<EndpointInfo> ActiveEndpoints() const final;

    // Plugging and unplugging, as the bus (or a test) does it. Unplugged, the
    // device answers nothing. Plugging in again powers the device up afresh:
    // address 0, not configured, and the device's OnAttach hook.
    void SetAttached(bool attached);

    // Inspection, from any thread.
    DeviceState State() const;
    uint8_t Configuration() const;  // bConfigurationValue, 0 when not configured
    // The selected alternate setting, or nothing when the interface is not
    // part of the current configuration.
    std::optional<uint8_t> AlternateSetting(uint8_t interface_number) const;
    bool EndpointHalted(uint8_t endpoint_address) const;
    bool RemoteWakeupEnabled() const;
    // The last kControlHistory control transfers, oldest first, and how many
    // the device has seen in all (attached only).
    std::vector<ControlRecord> RecentControlTransfers() const;
    uint64_t ControlTransferCount() const;

    // Fault injection for control transfers; each stall is recorded and
    // logged like any other. The next `count` control transfers stall,
    // whatever they are (standard requests included).
    void StallNextControlTransfers(unsigned count);
    // Every request of this type and code stalls until cleared.
    void StallRequests(RequestType type, uint8_t request);
    void ClearControlFaults();
    // The device halts a data endpoint of its own accord (a function stall):
    // its transactions stall until the host clears the halt. False when the
    // endpoint is not active.
    bool HaltEndpoint(uint8_t endpoint_address);

protected:
    // Stops with a contract violation when the description is inconsistent:
    // it is constant data, so that is a programming error.
    explicit StandardDevice(DeviceDescription description, const char *log_component);

    // The device's own hooks. Each is called with the device lock held, on
    // the thread of the UsbDevice operation that led to it (the host
    // controller's), only while the device is attached. Hooks must not block
    // and must not call the public operations above (the lock is taken).

    // A class, vendor or reserved-type request; standard requests never
    // come here. `data` is as in ControlTransfer. The default stalls.
    virtual ControlResult OnDeviceRequest(const SetupPacket &setup, std::span<uint8_t> data);
    // A transaction on an active, not halted endpoint. `room` is exactly the
    // endpoint's maximum packet size. Returning Stall halts the endpoint.
    // Isochronous endpoints answer Ack (a Nak is sent as a zero-length packet).
    // The defaults stall.
    virtual PacketResult OnInPacket(const EndpointInfo &endpoint, std::span<uint8_t> room);
    virtual Handshake OnOutPacket(const EndpointInfo &endpoint, std::span<const uint8_t> data);
    virtual void OnStartOfFrame(uint32_t frame_number) {}
    // After the shared state has been reset (bus reset) or powered up
    // (plugged in again).
    virtual void OnBusReset() {}
    virtual void OnAttach() {}
    virtual void OnDetach() {}
    // After SET_CONFIGURATION (value 0: unconfigured) or SET_INTERFACE took
    // effect.
    virtual void OnConfigurationSelected(uint8_t configuration_value) {}
    virtual void OnInterfaceSelected(uint8_t interface_number, uint8_t alternate_setting) {}
    // The host cleared a halt (or reset the data toggle) of an endpoint.
    virtual void OnEndpointHaltCleared(const EndpointInfo &endpoint) {}

    // The device lock, for the device's own inspection and test calls.
    std::unique_lock<std::mutex> Lock() const { return std::unique_lock<std::mutex>(mutex_); }
    const DeviceDescription &Description() const { return description_; }
    const char *LogComponent() const { return log_component_; }
    // Active endpoints; device lock held.
    const std::vector<EndpointInfo> &ActiveEndpointsLocked() const { return active_endpoints_; }

private:
    ControlResult Dispatch(const SetupPacket &setup, std::span<uint8_t> data);
    ControlResult Standard(const SetupPacket &setup, std::span<uint8_t> data);
    ControlResult GetStatus(const SetupPacket &setup, std::span<uint8_t> data);
    ControlResult ChangeFeature(const SetupPacket &setup, bool set);
    ControlResult GetDescriptor(const SetupPacket &setup, std::span<uint8_t> data);
    ControlResult SetAddress(const SetupPacket &setup);
    ControlResult SetConfiguration(const SetupPacket &setup);
    ControlResult SetInterface(const SetupPacket &setup);
    bool StallInjected(const SetupPacket &setup);
    void Record(const SetupPacket &setup, std::span<const uint8_t> data, ControlResult result);
    void ReturnToDefaultState();
    const ConfigurationDescriptor *CurrentConfiguration() const;
    const InterfaceDescriptor *FindSetting(uint8_t interface_number, uint8_t alternate_setting) const;
    const EndpointInfo *FindActiveEndpoint(uint8_t endpoint_address) const;
    void RefreshActiveEndpoints();
    DeviceState StateLocked() const;

    const DeviceDescription description_;
    const char *const log_component_;
    const std::vector<uint8_t> device_descriptor_;
    const std::vector<std::vector<uint8_t>> configuration_descriptors_;  // by configuration index

    mutable std::mutex mutex_;
    // Everything below is guarded by mutex_.
    bool attached_ = true;
    uint8_t address_ = 0;
    uint8_t configuration_ = 0;
    std::map<uint8_t, uint8_t> alternate_settings_;  // interface number -> setting, configured only
    std::vector<EndpointInfo> active_endpoints_;     // follows the two above
    std::set<uint8_t> halted_;
    bool remote_wakeup_ = false;
    std::deque<ControlRecord> history_;
    uint64_t control_transfers_ = 0;
    unsigned stall_next_ = 0;
    std::set<std::pair<RequestType, uint8_t>> stalled_requests_;
};

}  // namespace tm350::usb
