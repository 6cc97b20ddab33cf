// Pool, the verifier's bookkeeping of it, and which driver module owns a
// block.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace tm350::ntos {

// A driver module, as the pool sees it: the address range of its code, so
// that a block can be charged to the module that asked for it. 0 is the
// kernel itself and anything that is not a loaded driver module.
using ModuleId = int;
ModuleId RegisterModule(const void *begin, const void *end);
void UnregisterModule(ModuleId module);
ModuleId ModuleOf(const void *code_address);

// The tag as it is written in memory: MakeTag("Irp ") shows as "Irp ".
constexpr ULONG MakeTag(const char (&text)[5]) {
    return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}

// Allocates for the code at `caller` (normally the return address of the
// exported routine a driver called); nullptr when the pool is exhausted or
// fault injection says so. `routine` names the caller in verifier messages.
void *AllocatePool(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void *caller, const char *routine);
// Frees a block; `tag`, when not 0, must match the block's.
void FreePool(void *block, ULONG tag, const char *routine);

struct PoolUsage {
    ULONG tag;
    size_t blocks;
    size_t bytes;
};
// The live blocks charged to `module`, by tag.
std::vector<PoolUsage> PoolUsageOf(ModuleId module);
std::string DescribeUsage(const std::vector<PoolUsage> &usage);

}  // namespace tm350::ntos
