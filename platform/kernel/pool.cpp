// Pool with the verifier's checks. Every block is a heap block with guard
// bytes before and after it and an entry in the table of live blocks (size,
// tag, type, owning module). A freed block is filled with a pattern and kept
// in a quarantine for a while instead of going back to the heap, so that a
// second free of it is recognised as such and cannot free someone else's
// block that happens to get the same address.
//
// Under the address sanitizer the guards and the quarantined blocks are
// poisoned, so a stray write or a read after free is reported where it
// happens; without it, the guards are checked when the block is freed.
#include "kernel/pool.h"

#include "kernel/kernel_api.h"
#include "kernel/verifier.h"

#include <sanitizer/asan_interface.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

namespace tm350::ntos {

namespace {

constexpr size_t kGuardBytes = 16;
constexpr unsigned char kGuardFill = 0xFD;
constexpr unsigned char kNewFill = 0xCD;    // pool is not zeroed; drivers must not rely on it
constexpr unsigned char kFreedFill = 0xDD;
constexpr size_t kQuarantineBlocks = 4096;
constexpr size_t kQuarantineBytes = 32u << 20;

struct Block {
    size_t bytes;
    ULONG tag;
    POOL_TYPE type;
    ModuleId owner;
};

struct Modules {
    std::shared_mutex mutex;
    struct Range {
        const char *begin;
        const char *end;
    };
    std::map<ModuleId, Range> ranges;
    ModuleId next = 1;
};

Modules &TheModules() {
    static auto *modules = new Modules;
    return *modules;
}

class Pool {
public:
    static Pool &Instance() {
        static auto *pool = new Pool;  // never destroyed: blocks may be freed during exit
        return *pool;
    }

    void *Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, ModuleId owner, const char *routine) {
        {
            std::lock_guard lock(mutex_);
            if (failure_ && failure_(PoolRequest{type, bytes, tag, owner})) {
                Log("%s: %zu bytes tagged '%s' refused by fault injection", routine, bytes, FormatTag(tag).text);
                return nullptr;
            }
        }
        if (bytes > (SIZE_T{1} << 40)) return nullptr;
        auto *base = static_cast<unsigned char *>(std::malloc(kGuardBytes + bytes + kGuardBytes));
        if (base == nullptr) return nullptr;
        unsigned char *memory = base + kGuardBytes;
        std::memset(base, kGuardFill, kGuardBytes);
        std::memset(memory, kNewFill, bytes);
        std::memset(memory + bytes, kGuardFill, kGuardBytes);
        ASAN_POISON_MEMORY_REGION(base, kGuardBytes);
        ASAN_POISON_MEMORY_REGION(memory + bytes, kGuardBytes);
        std::lock_guard lock(mutex_);
        quarantined_.erase(memory);
        live_.emplace(memory, Block{bytes, tag, type, owner});
        return memory;
    }

    void Free(void *pointer, ULONG tag, const char *routine) {
        auto *memory = static_cast<unsigned char *>(pointer);
        std::unique_lock lock(mutex_);
        auto found = live_.find(memory);
        if (found == live_.end()) {
            auto freed = quarantined_.find(memory);
            if (freed != quarantined_.end()) {
                VerifierFailure("%s(%p): pool block tagged '%s' freed twice", routine, pointer,
                                FormatTag(freed->second).text);
            }
            VerifierFailure("%s(%p): not a pool block", routine, pointer);
        }
        Block block = found->second;
        if (tag != 0 && (tag & ~kProtectedTagBit) != (block.tag & ~kProtectedTagBit)) {
            VerifierFailure("%s(%p): freed with tag '%s', allocated with tag '%s'", routine, pointer,
                            FormatTag(tag).text, FormatTag(block.tag).text);
        }
        if (IsPaged(block.type) && KeGetCurrentIrql() > APC_LEVEL) {
            VerifierFailure("%s(%p): paged pool freed at IRQL %u", routine, pointer, KeGetCurrentIrql());
        }
        unsigned char *base = memory - kGuardBytes;
        const size_t total = kGuardBytes + block.bytes + kGuardBytes;
        ASAN_UNPOISON_MEMORY_REGION(base, total);
        for (size_t i = 0; i < kGuardBytes; ++i) {
            if (base[i] != kGuardFill) {
                VerifierFailure("%s(%p): pool block tagged '%s' of %zu bytes was written before its start", routine,
                                pointer, FormatTag(block.tag).text, block.bytes);
            }
            if (memory[block.bytes + i] != kGuardFill) {
                VerifierFailure("%s(%p): pool block tagged '%s' of %zu bytes was written past its end", routine,
                                pointer, FormatTag(block.tag).text, block.bytes);
            }
        }
        live_.erase(found);
        std::memset(memory, kFreedFill, block.bytes);
        ASAN_POISON_MEMORY_REGION(base, total);
        quarantine_.push_back({memory, block.bytes});
        quarantined_[memory] = block.tag;
        quarantine_bytes_ += block.bytes;
        while (quarantine_.size() > kQuarantineBlocks || quarantine_bytes_ > kQuarantineBytes) {
            auto [oldest, bytes] = quarantine_.front();
            quarantine_.pop_front();
            quarantine_bytes_ -= bytes;
            quarantined_.erase(oldest);
            unsigned char *oldest_base = static_cast<unsigned char *>(oldest) - kGuardBytes;
            ASAN_UNPOISON_MEMORY_REGION(oldest_base, kGuardBytes + bytes + kGuardBytes);
            std::free(oldest_base);
        }
    }

    std::vector<PoolUsage> UsageOf(ModuleId owner) {
        std::map<ULONG, PoolUsage> by_tag;
        std::lock_guard lock(mutex_);
        for (const auto &[memory, block] : live_) {
            if (block.owner != owner) continue;
            PoolUsage &usage = by_tag.try_emplace(block.tag, PoolUsage{block.tag, 0, 0}).first->second;
            ++usage.blocks;
            usage.bytes += block.bytes;
        }
        std::vector<PoolUsage> result;
        for (auto &[tag, usage] : by_tag) result.push_back(usage);
        return result;
    }

    void SetFailure(std::function<bool(const PoolRequest &)> failure) {
        std::lock_guard lock(mutex_);
        failure_ = std::move(failure);
    }

    static bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

private:
    static constexpr ULONG kProtectedTagBit = 0x80000000u;

    std::mutex mutex_;
    std::unordered_map<void *, Block> live_;
    std::deque<std::pair<void *, size_t>> quarantine_;
    std::unordered_map<void *, ULONG> quarantined_;
    size_t quarantine_bytes_ = 0;
    std::function<bool(const PoolRequest &)> failure_;
};

bool IsValidPoolType(POOL_TYPE type) {
    int base = static_cast<int>(type) & ~static_cast<int>(NonPagedPoolNx);
    return base == NonPagedPool || base == PagedPool || base == NonPagedPoolCacheAligned ||
           base == PagedPoolCacheAligned;
}

}  // namespace

ModuleId RegisterModule(const void *begin, const void *end) {
    Modules &modules = TheModules();
    std::unique_lock lock(modules.mutex);
    ModuleId id = modules.next++;
    modules.ranges[id] = {static_cast<const char *>(begin), static_cast<const char *>(end)};
    return id;
}

void UnregisterModule(ModuleId module) {
    Modules &modules = TheModules();
    std::unique_lock lock(modules.mutex);
    modules.ranges.erase(module);
}

ModuleId ModuleOf(const void *code_address) {
    Modules &modules = TheModules();
    const char *address = static_cast<const char *>(code_address);
    std::shared_lock lock(modules.mutex);
    for (const auto &[id, range] : modules.ranges) {
        if (address >= range.begin && address < range.end) return id;
    }
    return 0;
}

void *AllocatePool(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void *caller, const char *routine) {
    if (!IsValidPoolType(type)) VerifierFailure("%s with pool type %d", routine, static_cast<int>(type));
    RequireIrqlAtMost(Pool::IsPaged(type) ? APC_LEVEL : DISPATCH_LEVEL, routine);
    if (bytes == 0) VerifierFailure("%s of 0 bytes (tag '%s')", routine, FormatTag(tag).text);
    return Pool::Instance().Allocate(type, bytes, tag, ModuleOf(caller), routine);
}

void FreePool(void *block, ULONG tag, const char *routine) {
    RequireIrqlAtMost(DISPATCH_LEVEL, routine);
    if (block == nullptr) VerifierFailure("%s(NULL)", routine);
    Pool::Instance().Free(block, tag, routine);
}

std::vector<PoolUsage> PoolUsageOf(ModuleId module) { return Pool::Instance().UsageOf(module); }

std::string DescribeUsage(const std::vector<PoolUsage> &usage) {
    std::string text;
    for (const PoolUsage &entry : usage) {
        if (!text.empty()) text += ", ";
        char line[96];
        std::snprintf(line, sizeof line, "'%s' %zu block(s) %zu bytes", FormatTag(entry.tag).text, entry.blocks,
                      entry.bytes);
        text += line;
    }
    return text;
}

void SetPoolAllocationFailure(std::function<bool(const PoolRequest &)> failure) {
    Pool::Instance().SetFailure(std::move(failure));
}

}  // namespace tm350::ntos

using namespace tm350::ntos;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return AllocatePool(PoolType, NumberOfBytes, Tag, __builtin_return_address(0), "ExAllocatePoolWithTag");
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return AllocatePool(PoolType, NumberOfBytes, MakeTag("None"), __builtin_return_address(0), "ExAllocatePool");
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { FreePool(P, Tag, "ExFreePoolWithTag"); }

VOID NTAPI ExFreePool(PVOID P) { FreePool(P, 0, "ExFreePool"); }

}  // extern "C"
