// Power requests. A device power request goes to the top of the device's
// stack; its requester's callback runs when it completes. Sent from
// DISPATCH_LEVEL (a completion routine), it is handed to the system worker
// thread, because power dispatch routines of pageable drivers run at
// PASSIVE_LEVEL.
#include "kernel/devices.h"
#include "kernel/irp_internal.h"
#include "kernel/kernel_api.h"
#include "kernel/verifier.h"

namespace tm350::ntos {
namespace {

class PowerPacket final : public IoPacket {
public:
    PowerPacket(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PREQUEST_POWER_COMPLETE callback, PVOID context)
        : IoPacket(0), device_(device), minor_(minor), state_(state), callback_(callback), context_(context) {}

    void Finish(IRP &irp) override {
        ReleaseIrpBuffers(irp);
        if (callback_ != nullptr) callback_(device_, minor_, state_, context_, &irp.IoStatus);
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
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        PoCallDriver(top, irp);
        DereferenceDevice(top);
    } else {
        QueueSystemWork([top, irp] {
            PoCallDriver(top, irp);
            DereferenceDevice(top);
        });
    }
    return STATUS_PENDING;
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    // Power IRPs are not serialised per device any more; this stays for
    // drivers that call it, and checks its argument.
    if (Irp == nullptr) VerifierFailure("PoStartNextPowerIrp(NULL)");
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }

}  // extern "C"
