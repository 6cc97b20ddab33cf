// Diagnostics of the platform libraries: one line on stderr per interesting
// event, only when the environment variable TM350_LOG is set to something
// other than "" or "0". Silent by default.
#pragma once

#include <cstdarg>

namespace tm350::log {

bool Enabled();

// Writes "[component] message" as one line.
void Write(const char *component, const char *format, va_list arguments);

}  // namespace tm350::log
