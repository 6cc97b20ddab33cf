#include "advapi32/registry_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tm350::registry {

namespace {

bool LoggingEnabled() {
    // Read once: logging is switched for the whole run.
    static const bool enabled = [] {
        const char *setting = std::getenv("TM350_LOG");
        return setting != nullptr && setting[0] != '\0' && std::strcmp(setting, "0") != 0;
    }();
    return enabled;
}

}  // namespace

void LogEvent(const char *format, ...) {
    if (!LoggingEnabled()) return;
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    // One fprintf per line so lines from several threads do not interleave.
    std::fprintf(stderr, "[advapi32] %s\n", line);
}

}  // namespace tm350::registry
