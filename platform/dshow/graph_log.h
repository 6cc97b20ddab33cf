// The filter graph's diagnostics: one line per state change, filter added or
// removed, and event that ends a stream, when TM350_LOG is set.
#pragma once

namespace tm350::dshow {

void GraphLog(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tm350::dshow
