#include "kernel/system_mappings.h"

#include "kernel/verifier.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace tm350::ntos {
namespace {

size_t PageSize() {
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

// A retired mapping keeps its addresses (inaccessible, without memory
// behind them) until this many later ones have retired, so that a late
// access hits it rather than whatever a new mapping put there.
constexpr size_t kRetiredKept = 256;

struct Retired {
    std::atomic<uintptr_t> begin{0};
    std::atomic<uintptr_t> end{0};
    std::atomic<const void *> owner{nullptr};
};

// Guards the retired ring's slots for writers; the fault handler reads
// them without it.
std::mutex g_mutex;
Retired g_retired[kRetiredKept];
size_t g_next_retired = 0;  // guarded by g_mutex
struct sigaction g_previous_handler;
std::once_flag g_handler_installed;

struct Region {
    unsigned char *start;
    size_t bytes;
};

Region RegionOf(void *system, size_t bytes) {
    auto address = reinterpret_cast<uintptr_t>(system);
    uintptr_t start = address & ~(PageSize() - 1);
    size_t length = (address - start) + (bytes > 0 ? bytes : 1);
    length = (length + PageSize() - 1) & ~(PageSize() - 1);
    return {reinterpret_cast<unsigned char *>(start), length};
}

// A fault in a retired mapping is the driver's, and ends the process like
// any verifier finding (the report is not async-signal-safe, but nothing
// runs after it).
void OnFault(int signal, siginfo_t *info, void *context) {
    auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    for (const Retired &retired : g_retired) {
        if (address >= retired.begin.load(std::memory_order_acquire) &&
            address < retired.end.load(std::memory_order_acquire)) {
            VerifierFailure("access to %p, in the system mapping of MDL %p, after its pages were unlocked (the "
                            "request it described has completed; a driver must not keep the address)",
                            info->si_addr, retired.owner.load(std::memory_order_relaxed));
        }
    }
    // Not ours: the handler from before deals with it when the access runs again.
    sigaction(SIGSEGV, &g_previous_handler, nullptr);
}

void InstallFaultHandler() {
    struct sigaction action {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &g_previous_handler);
}

}  // namespace

void *MapToSystem(const void *owner, const void *address, size_t bytes) {
    std::call_once(g_handler_installed, InstallFaultHandler);
    const size_t offset = reinterpret_cast<uintptr_t>(address) & (PageSize() - 1);
    size_t length = (offset + (bytes > 0 ? bytes : 1) + PageSize() - 1) & ~(PageSize() - 1);
    // Populated at once: the copy below would otherwise fault on every page,
    // and a fault per page makes mapping a frame-sized buffer slower than the
    // camera's buffer can wait for between reads.
    void *region = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (region == MAP_FAILED) return nullptr;
    auto *system = static_cast<unsigned char *>(region) + offset;
    if (bytes > 0) std::memcpy(system, address, bytes);
    return system;
}

void UnmapFromSystem(const void *owner, void *system, void *address, size_t bytes) {
    // Only what the driver changed goes back: pages locked for reading may
    // be read-only to their owner, and an unchanged buffer must not be written.
    if (bytes > 0 && std::memcmp(address, system, bytes) != 0) std::memcpy(address, system, bytes);
    Region region = RegionOf(system, bytes);
    // Replaced, not unmapped: the addresses stay reserved and inaccessible,
    // and the memory behind them goes.
    if (mmap(region.start, region.bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0) ==
        MAP_FAILED) {
        munmap(region.start, region.bytes);
        return;
    }
    std::lock_guard lock(g_mutex);
    Retired &slot = g_retired[g_next_retired];
    g_next_retired = (g_next_retired + 1) % kRetiredKept;
    uintptr_t old_begin = slot.begin.load(std::memory_order_relaxed);
    uintptr_t old_end = slot.end.load(std::memory_order_relaxed);
    slot.begin.store(0, std::memory_order_release);
    slot.end.store(0, std::memory_order_release);
    if (old_end > old_begin) munmap(reinterpret_cast<void *>(old_begin), old_end - old_begin);
    slot.owner.store(owner, std::memory_order_relaxed);
    slot.end.store(reinterpret_cast<uintptr_t>(region.start) + region.bytes, std::memory_order_release);
    slot.begin.store(reinterpret_cast<uintptr_t>(region.start), std::memory_order_release);
}

}  // namespace tm350::ntos
