// The verifier that is always on, and the kernel's diagnostics.
//
// A broken rule is fatal: the kernel prints one line starting with
// "tm350 verifier: " to stderr and aborts, the way Driver Verifier stops
// the machine, because a driver that broke one rule has already corrupted
// state that later checks would only misreport.
#pragma once

#include <wdm.h>

namespace tm350::ntos {

[[noreturn]] void VerifierFailure(const char *format, ...) __attribute__((format(printf, 1, 2)));

// `routine` may run at `level` at most.
void RequireIrqlAtMost(KIRQL level, const char *routine);

// One line per interesting event on stderr, when TM350_LOG is set.
void Log(const char *format, ...) __attribute__((format(printf, 1, 2)));
bool LoggingEnabled();

// A tag as poolmon shows it: the four bytes in memory order.
struct TagText {
    char text[5];
};
TagText FormatTag(ULONG tag);

// The name of IRP_MJ_xxx for messages.
const char *MajorFunctionName(UCHAR major);

}  // namespace tm350::ntos
