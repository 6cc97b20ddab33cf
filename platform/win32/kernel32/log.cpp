#include "kernel32/log.h"

#include "common/log.h"

namespace tm350::kernel {

bool LoggingEnabled() { return tm350::log::Enabled(); }

void Log(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    tm350::log::Write("kernel32", format, arguments);
    va_end(arguments);
}

}  // namespace tm350::kernel
