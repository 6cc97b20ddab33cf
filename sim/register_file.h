// The sensor's registers: 8-bit addresses, 24-bit values, two pages.
//
// Register 0x7F selects the page that later writes address; it reads the
// same on both pages. The camera has pages 0 and 1 only.
#pragma once

#include <array>
#include <cstdint>

namespace tm350::sim {

// How fast the sensor reads a frame out, and so how many 1 ms bus frames
// one sensor frame takes.
enum class ReadoutSpeed : uint8_t { Normal, High };

constexpr uint32_t kNormalSpeedFramePeriod = 133;  // bus frames per sensor frame
constexpr uint32_t kHighSpeedFramePeriod = 67;

constexpr uint32_t FramePeriod(ReadoutSpeed speed) {
    return speed == ReadoutSpeed::High ? kHighSpeedFramePeriod : kNormalSpeedFramePeriod;
}

// Registers whose meaning the camera itself uses.
enum SensorRegister : uint8_t {
    kShutdownRegister = 0x00,
    kGainRegister = 0x01,
    kTimingLatchRegister = 0x15,
    kSpeedSelectRegister = 0x30,  // 0: high speed; anything else: normal speed
    kSpeedTimingRegister = 0x36,  // 0x21 with normal speed, 0x26B with high speed
    kExposureRegister = 0x63,
    kPageSelectRegister = 0x7F,
};

class RegisterFile {
public:
    static constexpr unsigned kPages = 2;
    static constexpr uint32_t kValueMask = 0xFFFFFF;

    RegisterFile() { PowerOn(); }

    // Every register 0 except the speed pair, which powers up at normal
    // speed (0x30 = 1, 0x36 = 0x21); page 0 selected.
    void PowerOn();

    // Writes the selected page (value cut to 24 bits). A page select with a
    // page the camera does not have is refused: false, nothing changes.
    bool Write(uint8_t address, uint32_t value);
    uint32_t Read(unsigned page, uint8_t address) const;
    unsigned SelectedPage() const { return page_; }

    // The readout speed selector alone decides the speed: 0x30 = 0 is high
    // speed, any other value normal speed. The timing word 0x36 is kept
    // but does not change the frame period, so a pair that matches neither
    // setting (as the init table leaves it, 0x30 = 1 and 0x36 = 0x20) runs
    // at the speed 0x30 names.
    ReadoutSpeed Speed() const;

private:
    std::array<std::array<uint32_t, 256>, kPages> values_{};
    unsigned page_ = 0;
};

}  // namespace tm350::sim
