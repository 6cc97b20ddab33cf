// Memory descriptor lists. The whole machine is one address space, so an
// MDL describes a buffer by its address and length only. Mapping locked
// pages to a system address makes a mapping of their own (see
// system_mappings.h) that lives until the pages are unlocked; a partial MDL
// maps into its source's mapping, as it shares its pages. Non-paged pool
// is its own system address. The verifier keeps the rules: pages must be
// locked (or the buffer non-paged) before the buffer is mapped, a partial
// MDL must lie inside its source, and locked pages must be unlocked before
// the MDL is freed.
#include "kernel/pool.h"
#include "kernel/system_mappings.h"
#include "kernel/verifier.h"

#include <mutex>
#include <unordered_map>

namespace tm350::ntos {
namespace {

const ULONG kMdlTag = MakeTag("Mdl ");

// The source of each partial MDL, and the mapping state of every MDL:
// mapping, unmapping and the flags that record them change under it.
std::mutex &MdlMutex() {
    static auto *mutex = new std::mutex;
    return *mutex;
}

std::unordered_map<const MDL *, MDL *> &Sources() {  // guarded by MdlMutex
    static auto *sources = new std::unordered_map<const MDL *, MDL *>;
    return *sources;
}

// The system address of a locked (or non-paged) MDL that is not partial,
// made on first use. MdlMutex held.
PVOID MapWhole(MDL &mdl) {
    if ((mdl.MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0) return mdl.MappedSystemVa;
    if ((mdl.MdlFlags & MDL_PAGES_LOCKED) == 0) {
        VerifierFailure("MmGetSystemAddressForMdlSafe(%p) on an MDL whose pages are not locked",
                        static_cast<void *>(&mdl));
    }
    PVOID system = MapToSystem(&mdl, MmGetMdlVirtualAddress(&mdl), mdl.ByteCount);
    if (system == nullptr) return nullptr;
    mdl.MappedSystemVa = system;
    mdl.MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return system;
}

ULONG CapacityInPages(const MDL &mdl) {
    return static_cast<ULONG>((static_cast<size_t>(mdl.Size) - sizeof(MDL)) / sizeof(PFN_NUMBER));
}

void DescribePages(MDL &mdl) {
    PPFN_NUMBER pages = MmGetMdlPfnArray(&mdl);
    ULONG count = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(&mdl), mdl.ByteCount);
    auto first = reinterpret_cast<ULONG_PTR>(mdl.StartVa) >> PAGE_SHIFT;
    for (ULONG i = 0; i < count; ++i) pages[i] = first + i;
}

}  // namespace
}  // namespace tm350::ntos

using namespace tm350::ntos;

extern "C" {

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
    if (Length > MAXULONG - 2 * PAGE_SIZE) return nullptr;
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
    size_t size = sizeof(MDL) + static_cast<size_t>(pages) * sizeof(PFN_NUMBER);
    if (size > 0x7fff) return nullptr;  // MDL::Size is a CSHORT, as on Windows (about 32 MB per MDL)
    auto *mdl = static_cast<PMDL>(AllocatePool(NonPagedPool, size, kMdlTag, __builtin_return_address(0), "IoAllocateMdl"));
    if (mdl == nullptr) return nullptr;
    mdl->Next = nullptr;
    mdl->Size = static_cast<CSHORT>(size);
    mdl->MdlFlags = 0;
    mdl->Process = nullptr;
    mdl->MappedSystemVa = nullptr;
    mdl->StartVa = PAGE_ALIGN(VirtualAddress);
    mdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
    mdl->ByteCount = Length;
    DescribePages(*mdl);
    if (Irp != nullptr) {
        if (!SecondaryBuffer) {
            if (Irp->MdlAddress != nullptr) {
                VerifierFailure("IoAllocateMdl for IRP %p, which already has an MDL (use SecondaryBuffer)",
                                static_cast<void *>(Irp));
            }
            Irp->MdlAddress = mdl;
        } else {
            if (Irp->MdlAddress == nullptr) {
                VerifierFailure("IoAllocateMdl with SecondaryBuffer for IRP %p, which has no MDL yet",
                                static_cast<void *>(Irp));
            }
            PMDL last = Irp->MdlAddress;
            while (last->Next != nullptr) last = last->Next;
            last->Next = mdl;
        }
    }
    return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeMdl");
    if (Mdl == nullptr) VerifierFailure("IoFreeMdl(NULL)");
    if ((Mdl->MdlFlags & MDL_PAGES_LOCKED) != 0 && (Mdl->MdlFlags & MDL_PARTIAL) == 0) {
        VerifierFailure("IoFreeMdl(%p) on an MDL whose pages are still locked (MmUnlockPages first)",
                        static_cast<void *>(Mdl));
    }
    {
        std::lock_guard lock(MdlMutex());
        Sources().erase(Mdl);
    }
    FreePool(Mdl, kMdlTag, "IoFreeMdl");
}

VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
    auto *source_start = static_cast<char *>(MmGetMdlVirtualAddress(SourceMdl));
    char *source_end = source_start + SourceMdl->ByteCount;
    auto *start = static_cast<char *>(VirtualAddress);
    if (start < source_start || start > source_end || (start == source_end && Length > 0)) {
        VerifierFailure("IoBuildPartialMdl: address %p lies outside the source MDL [%p, %p)", VirtualAddress,
                        static_cast<void *>(source_start), static_cast<void *>(source_end));
    }
    if (Length == 0) Length = static_cast<ULONG>(source_end - start);
    if (static_cast<size_t>(source_end - start) < Length) {
        VerifierFailure("IoBuildPartialMdl: %u bytes at %p run past the end of the source MDL [%p, %p)", Length,
                        VirtualAddress, static_cast<void *>(source_start), static_cast<void *>(source_end));
    }
    if ((SourceMdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL)) == 0) {
        VerifierFailure("IoBuildPartialMdl from MDL %p, whose pages are not locked", static_cast<void *>(SourceMdl));
    }
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
    if (CapacityInPages(*TargetMdl) < pages) {
        VerifierFailure("IoBuildPartialMdl: target MDL %p describes %u pages, %u needed",
                        static_cast<void *>(TargetMdl), CapacityInPages(*TargetMdl), pages);
    }
    std::lock_guard lock(MdlMutex());
    TargetMdl->Process = SourceMdl->Process;
    TargetMdl->StartVa = PAGE_ALIGN(VirtualAddress);
    TargetMdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
    TargetMdl->ByteCount = Length;
    TargetMdl->MappedSystemVa = nullptr;
    TargetMdl->MdlFlags = static_cast<CSHORT>((TargetMdl->MdlFlags & MDL_ALLOCATED_FIXED_SIZE) | MDL_PARTIAL |
                                              (SourceMdl->MdlFlags & (MDL_IO_PAGE_READ | MDL_WRITE_OPERATION)));
    if ((SourceMdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0) {
        TargetMdl->MdlFlags |= MDL_PARENT_MAPPED_SYSTEM_VA;
        TargetMdl->MappedSystemVa = static_cast<char *>(SourceMdl->MappedSystemVa) + (start - source_start);
    }
    Sources()[TargetMdl] = SourceMdl;
    DescribePages(*TargetMdl);
}

VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "MmProbeAndLockPages");
    PMDL mdl = MemoryDescriptorList;
    if ((mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL)) != 0) {
        VerifierFailure("MmProbeAndLockPages(%p) on an MDL that is locked, partial or built for non-paged pool",
                        static_cast<void *>(mdl));
    }
    if (mdl->ByteCount > 0 && mdl->StartVa == nullptr && mdl->ByteOffset == 0) {
        VerifierFailure("MmProbeAndLockPages(%p) on a NULL buffer", static_cast<void *>(mdl));
    }
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
    if (Operation != IoReadAccess) mdl->MdlFlags |= MDL_WRITE_OPERATION;
}

VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "MmUnlockPages");
    PMDL mdl = MemoryDescriptorList;
    if ((mdl->MdlFlags & MDL_PAGES_LOCKED) == 0) {
        VerifierFailure("MmUnlockPages(%p) on an MDL whose pages are not locked", static_cast<void *>(mdl));
    }
    std::lock_guard lock(MdlMutex());
    // The driver's view of the pages goes with the lock; what it wrote
    // through it reaches the buffer now.
    if ((mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) != 0) {
        UnmapFromSystem(mdl, mdl->MappedSystemVa, MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
    }
    mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_WRITE_OPERATION);
    mdl->MappedSystemVa = nullptr;
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    PMDL mdl = MemoryDescriptorList;
    if ((mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_PARTIAL | MDL_MAPPED_TO_SYSTEM_VA)) != 0) {
        VerifierFailure("MmBuildMdlForNonPagedPool(%p) on an MDL that is locked, partial or mapped",
                        static_cast<void *>(mdl));
    }
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
}

PVOID NTAPI MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "MmGetSystemAddressForMdlSafe");
    std::lock_guard lock(MdlMutex());
    if ((Mdl->MdlFlags & MDL_PARTIAL) == 0) return MapWhole(*Mdl);
    if ((Mdl->MdlFlags & (MDL_PARTIAL_HAS_BEEN_MAPPED | MDL_PARENT_MAPPED_SYSTEM_VA)) != 0) return Mdl->MappedSystemVa;
    // A partial MDL maps into the mapping of the MDL whose pages it shares.
    MDL *root = Mdl;
    while ((root->MdlFlags & MDL_PARTIAL) != 0) {
        auto source = Sources().find(root);
        if (source == Sources().end()) {
            VerifierFailure("MmGetSystemAddressForMdlSafe(%p) on a partial MDL whose source is gone",
                            static_cast<void *>(Mdl));
        }
        root = source->second;
    }
    auto *root_system = static_cast<char *>(MapWhole(*root));
    if (root_system == nullptr) return nullptr;
    Mdl->MappedSystemVa = root_system + (static_cast<char *>(MmGetMdlVirtualAddress(Mdl)) -
                                         static_cast<char *>(MmGetMdlVirtualAddress(root)));
    Mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
    return Mdl->MappedSystemVa;
}

}  // extern "C"
