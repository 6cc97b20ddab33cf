#include "common/log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tm350::log {

bool Enabled() {
    // Read once: logging is switched for the whole run, and a getenv per
    // event would race with tests that change other variables.
    static const bool enabled = [] {
        const char *setting = std::getenv("TM350_LOG");
        return setting != nullptr && setting[0] != '\0' && std::strcmp(setting, "0") != 0;
    }();
    return enabled;
}

void Write(const char *component, const char *format, va_list arguments) {
    if (!Enabled()) return;
    char line[1024];
    std::vsnprintf(line, sizeof line, format, arguments);
    // One fprintf per line so lines from several threads do not interleave.
    std::fprintf(stderr, "[%s] %s\n", component, line);
}

}  // namespace tm350::log
