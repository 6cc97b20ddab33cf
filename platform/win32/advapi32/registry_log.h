// Diagnostics for the registry: one line on stderr per interesting event (a
// damaged store, a failed write, a key created or deleted), only when the
// environment variable TM350_LOG is set to something other than "" or "0",
// as for the other platform libraries. Silent by default.
#pragma once

namespace tm350::registry {

[[gnu::format(printf, 1, 2)]] void LogEvent(const char *format, ...);

}  // namespace tm350::registry
