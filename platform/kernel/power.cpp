// Power requests. A device power request goes to the top of the device's
// stack from the system worker thread; its requester's callback runs at
// DISPATCH_LEVEL when it completes. A power request sent to a pageable
// driver from DISPATCH_LEVEL is handed to the system worker too, because
// power dispatch routines of pageable drivers run at PASSIVE_LEVEL.
#include "kernel/power.h"

#include "kernel/devices.h"
#include "kernel/irp_internal.h"
#include "kernel/kernel_api.h"
#include "kernel/verifier.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

namespace tm350::ntos {
namespace {

struct PowerAccount {
    std::vector<DEVICE_OBJECT *> reached;  // each device PoCallDriver gave the request to
    std::vector<DEVICE_OBJECT *> started;  // each device whose driver called PoStartNextPowerIrp
};

struct PowerBook {
    std::mutex mutex;
    std::map<PIRP, PowerAccount> accounts;
};

std::atomic<bool> g_fail_requests{false};

PowerBook &Book() {
    static auto *book = new PowerBook;
    return *book;
}

bool Accounted(PIRP irp) {
    const UCHAR minor = IoGetNextIrpStackLocation(irp)->MinorFunction;
    return minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER;
}

// Called with the IRP's next stack location set up and before it is sent.
void NoteDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PowerBook &book = Book();
    std::lock_guard lock(book.mutex);
    auto found = book.accounts.find(irp);
    if (found != book.accounts.end()) found->second.reached.push_back(device);
}

void NoteStartNext(PIRP irp) {
    if (irp->CurrentLocation > irp->StackCount) return;
    PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    PowerBook &book = Book();
    std::lock_guard lock(book.mutex);
    auto found = book.accounts.find(irp);
    if (found == book.accounts.end()) return;
    PowerAccount &account = found->second;
    if (std::count(account.started.begin(), account.started.end(), device) != 0) {
        VerifierFailure("PoStartNextPowerIrp called twice for power IRP %p (minor 0x%02X) by the driver of %s",
                        static_cast<void *>(irp), minor, DeviceNameOf(device).c_str());
    }
    account.started.push_back(device);
}

class PowerPacket final : public IoPacket {
public:
    PowerPacket(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PREQUEST_POWER_COMPLETE callback, PVOID context)
        : IoPacket(0), device_(device), minor_(minor), state_(state), callback_(callback), context_(context) {}

    // The callback runs as a completion would on Windows, where the bus
    // driver may complete a device power request at DISPATCH_LEVEL: it
    // must not wait.
    void Finish(IRP &irp) override {
        ReleaseIrpBuffers(irp);
        EndPowerAccounting(&irp);
        if (callback_ != nullptr) {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            callback_(device_, minor_, state_, context_, &irp.IoStatus);
            KeLowerIrql(old);
        }
        DereferenceDevice(device_);
    }

private:
    PDEVICE_OBJECT device_;
    UCHAR minor_;
    POWER_STATE state_;
    PREQUEST_POWER_COMPLETE callback_;
    PVOID context_;
};

}  // namespace

void SetPowerRequestFailure(bool fail) { g_fail_requests = fail; }

void BeginPowerAccounting(PIRP irp) {
    if (!Accounted(irp)) return;
    PowerBook &book = Book();
    std::lock_guard lock(book.mutex);
    book.accounts[irp] = PowerAccount{};
}

void EndPowerAccounting(PIRP irp) {
    PowerAccount account;
    {
        PowerBook &book = Book();
        std::lock_guard lock(book.mutex);
        auto found = book.accounts.find(irp);
        if (found == book.accounts.end()) return;
        account = std::move(found->second);
        book.accounts.erase(found);
    }
    for (DEVICE_OBJECT *device : account.reached) {
        if (std::count(account.started.begin(), account.started.end(), device) == 0) {
            VerifierFailure("the driver of %s completed or passed on power IRP %p without calling PoStartNextPowerIrp",
                            DeviceNameOf(device).c_str(), static_cast<void *>(irp));
        }
    }
}

}  // namespace tm350::ntos

using namespace tm350::ntos;

extern "C" {

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE) {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (!IsDeviceObject(DeviceObject)) {
        VerifierFailure("PoRequestPowerIrp for %p, which is not a device object", static_cast<void *>(DeviceObject));
    }
    if (g_fail_requests) {
        Log("PoRequestPowerIrp refused by fault injection");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ReferenceDevice(DeviceObject);  // until the callback has run
    DEVICE_OBJECT *top = ReferenceAttachedTop(DeviceObject);
    IRP *irp = AllocateIrp(top->StackSize, nullptr,
                           std::make_unique<PowerPacket>(DeviceObject, MinorFunction, PowerState, CompletionFunction, Context),
                           "PoRequestPowerIrp");
    if (irp == nullptr) {
        DereferenceDevice(top);
        DereferenceDevice(DeviceObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->Tail.Overlay.Thread = nullptr;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        stack->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State = PowerState;
    }
    if (Irp != nullptr) *Irp = irp;
    BeginPowerAccounting(irp);
    // The request always goes on the system worker, so the requester's
    // callback never runs inside this call, as it may not on Windows.
    QueueSystemWork([top, irp] {
        PoCallDriver(top, irp);
        DereferenceDevice(top);
    });
    return STATUS_PENDING;
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    // Power IRPs are not serialised per device here; the call is accounted
    // so that a driver that forgets it, or makes it twice, is found.
    if (Irp == nullptr) VerifierFailure("PoStartNextPowerIrp(NULL)");
    NoteStartNext(Irp);
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    NoteDispatch(DeviceObject, Irp);
    // A pageable driver's power dispatch runs at PASSIVE_LEVEL: sent from
    // DISPATCH_LEVEL, the request is handed to the system worker.
    if (KeGetCurrentIrql() > PASSIVE_LEVEL && (DeviceObject->Flags & DO_POWER_PAGABLE) != 0) {
        ReferenceDevice(DeviceObject);
        QueueSystemWork([DeviceObject, Irp] {
            IofCallDriver(DeviceObject, Irp);
            DereferenceDevice(DeviceObject);
        });
        return STATUS_PENDING;
    }
    return IofCallDriver(DeviceObject, Irp);
}

}  // extern "C"
