#include "advapi32/registry_log.h"

#include "common/log.h"

namespace tm350::registry {

void LogEvent(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    tm350::log::Write("advapi32", format, arguments);
    va_end(arguments);
}

}  // namespace tm350::registry
