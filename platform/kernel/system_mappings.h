// System mappings of locked buffers, as MmGetSystemAddressForMdlSafe gives
// them to drivers.
//
// The machine is one address space, but on Windows a driver reaches a
// caller's buffer only through the system mapping of its MDL, and that
// mapping goes when the pages are unlocked as the request completes. So a
// mapping here is pages of its own that hold a copy of the buffer; the
// unmapping copies them back and leaves the address inaccessible, so that
// a driver that keeps the address and uses it after the request completed
// faults at once (in a plain build as under the sanitizers), and the
// verifier names the MDL.
#pragma once

#include <cstddef>

namespace tm350::ntos {

// Fresh pages holding the `bytes` bytes at `address`, at the same offset in
// their first page. `owner` (the MDL) names the mapping in the verifier's
// message about a late use. Null when address space is short.
void *MapToSystem(const void *owner, const void *address, size_t bytes);

// Copies the mapping back to `address` and retires it: any later access
// through `system` is a verifier failure that names `owner`.
void UnmapFromSystem(const void *owner, void *system, void *address, size_t bytes);

}  // namespace tm350::ntos
