#include "usb/usb_log.h"

#include "common/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace tm350::usb {

bool LoggingEnabled() { return tm350::log::Enabled(); }

void Log(const char *component, const char *format, ...) {
    if (!tm350::log::Enabled()) return;
    va_list arguments;
    va_start(arguments, format);
    tm350::log::Write(component, format, arguments);
    va_end(arguments);
}

void ContractViolation(const char *format, ...) {
    char message[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    // Always printed, log switch or not: this ends the process.
    std::fprintf(stderr, "[usb] contract violated: %s\n", message);
    std::abort();
}

}  // namespace tm350::usb
