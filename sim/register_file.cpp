#include "sim/register_file.h"

namespace tm350::sim {

void RegisterFile::PowerOn() {
    for (auto &page : values_)
        page.fill(0);
    values_[0][kSpeedSelectRegister] = 1;
    values_[0][kSpeedTimingRegister] = 0x21;
    page_ = 0;
}

bool RegisterFile::Write(uint8_t address, uint32_t value) {
    value &= kValueMask;
    if (address == kPageSelectRegister) {
        if (value >= kPages) return false;
        page_ = value;
        return true;
    }
    values_[page_][address] = value;
    return true;
}

uint32_t RegisterFile::Read(unsigned page, uint8_t address) const {
    if (address == kPageSelectRegister) return page_;
    return page < kPages ? values_[page][address] : 0;
}

ReadoutSpeed RegisterFile::Speed() const {
    return values_[0][kSpeedSelectRegister] == 0 ? ReadoutSpeed::High : ReadoutSpeed::Normal;
}

}  // namespace tm350::sim
