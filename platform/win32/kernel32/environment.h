// The environment variables through which tests and users steer the
// platform (TM350_PROCESSORS, TM350_LANGID, TM350_LOG).
#pragma once

#include <optional>
#include <string>

namespace tm350::kernel {

std::optional<std::string> ReadEnvironment(const char *name);

// A non-negative number written in decimal or, with a 0x prefix, in hex;
// nothing when the variable is unset or not such a number.
std::optional<unsigned long> ReadEnvironmentNumber(const char *name);

}  // namespace tm350::kernel
