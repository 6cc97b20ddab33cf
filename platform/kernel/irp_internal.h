// IRPs inside the kernel: allocation, the verifier's record of each IRP,
// and the packets through which the I/O manager ends the IRPs it builds.
#pragma once

#include <wdm.h>

#include <functional>
#include <memory>
#include <vector>

namespace tm350::ntos {

// Object type numbers in the Type field of the I/O manager's objects.
constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeFile = 5;
constexpr CSHORT kIoTypeIrp = 6;

// How an IRP that the I/O manager built ends. Finish runs once, when
// completion has passed every stack location, in the completing thread at
// its IRQL (up to DISPATCH_LEVEL), so it must not block: it copies data
// back, releases the buffers and tells the requester. The IRP's memory goes
// right after it returns.
class IoPacket {
public:
    explicit IoPacket(ULONG requesting_thread) : requesting_thread_(requesting_thread) {}
    virtual ~IoPacket() = default;
    virtual void Finish(IRP &irp) = 0;
    // After the IRP's memory is gone: wakes whoever waits for the request,
    // so that nothing of it is left once the waiter runs on.
    virtual void Notify() {}
    ULONG RequestingThread() const { return requesting_thread_; }

private:
    const ULONG requesting_thread_;
};

// A zeroed IRP with `stack_size` locations, charged to the module of
// `caller`. Without a packet the IRP belongs to the driver that allocated
// it (IoAllocateIrp): it must come back through a completion routine that
// returns STATUS_MORE_PROCESSING_REQUIRED and be freed with IoFreeIrp.
// nullptr when pool is short.
IRP *AllocateIrp(CCHAR stack_size, const void *caller, std::unique_ptr<IoPacket> packet, const char *routine);

// Frees an IRP built by the I/O manager that was never sent (its buffers
// could not be set up), with its buffers.
void DiscardUnsentIrp(IRP *irp);

// Frees the system buffer (when the IRP owns it) and every MDL of the IRP,
// unlocking their pages.
void ReleaseIrpBuffers(IRP &irp);

// Cancels every IRP with a packet that `match` accepts and that has not
// finished, and with UntilCompleted waits for each of them to finish. A
// request still with its driver after the bound (five minutes, or
// TM350_CANCEL_WAIT_MS) is a verifier failure that names it and `who`
// cancelled it. Returns how many there were.
enum class CancelWait { No, UntilCompleted };
size_t CancelIrps(const std::function<bool(const IoPacket &)> &match, CancelWait wait, const char *who);

}  // namespace tm350::ntos
