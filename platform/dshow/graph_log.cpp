#include "dshow/graph_log.h"

#include "common/log.h"

namespace tm350::dshow {

void GraphLog(const char *format, ...) {
    if (!log::Enabled()) return;
    va_list arguments;
    va_start(arguments, format);
    log::Write("graph", format, arguments);
    va_end(arguments);
}

}  // namespace tm350::dshow
