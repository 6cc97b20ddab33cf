// The seed inputs of the vexusb fuzz target, by name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver_fuzz.h"

namespace driver_fuzz {

struct Seed {
    std::string name;
    std::vector<uint8_t> bytes;
};

std::vector<Seed> Seeds();

}  // namespace driver_fuzz
