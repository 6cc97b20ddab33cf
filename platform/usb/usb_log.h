// Diagnostics of the simulated bus and its devices: one line on stderr per
// interesting event, only when TM350_LOG is set (see common/log.h).
#pragma once

namespace tm350::usb {

bool LoggingEnabled();
void Log(const char *component, const char *format, ...) __attribute__((format(printf, 2, 3)));

// A caller broke a contract of the device interface (a data stage that does
// not match wLength, a packet room smaller than the endpoint's packets). The
// bus cannot continue sensibly, so this reports what was found and what was
// required, and ends the process.
[[noreturn]] void ContractViolation(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tm350::usb
