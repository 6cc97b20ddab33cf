#include "kernel32/log.h"

#include "kernel32/environment.h"

#include <cstdarg>
#include <cstdio>

namespace tm350::kernel {

bool LoggingEnabled() {
    // Read once: logging is switched for the whole run, and a getenv per
    // event would race with tests that change other variables.
    static const bool enabled = [] {
        auto value = ReadEnvironment("TM350_LOG");
        return value.has_value() && !value->empty() && *value != "0";
    }();
    return enabled;
}

void Log(const char *format, ...) {
    if (!LoggingEnabled()) return;
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    // One fprintf per line so lines from different threads do not interleave.
    fprintf(stderr, "[kernel32] %s\n", line);
}

}  // namespace tm350::kernel
