// Diagnostics for kernel32: one line per interesting event on stderr, only
// when the environment variable TM350_LOG is set to something other than
// "" or "0". Silent by default.
#pragma once

namespace tm350::kernel {

bool LoggingEnabled();
void Log(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tm350::kernel
