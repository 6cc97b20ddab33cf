// IRPs between drivers: IoCallDriver and IoCompleteRequest with completion
// routines, the pending rule, cancellation, IoBuildDeviceIoControlRequest,
// MDLs, power requests and work items -- and the verifier's IRP rules.
#include "kernel/kernel_test_support.h"

#include "platform/kernel/kernel_api.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace tm350::test {
namespace {

constexpr ULONG kEchoCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);

// Completes an IRP from another thread at DISPATCH_LEVEL, as a controller's
// interrupt path does, once the dispatch routine that calls this has
// returned.
void CompleteLater(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    BuiltinDriver::AfterDispatch().push_back([=] {
        std::thread([=] {
            KIRQL irql;
            KeRaiseIrql(DISPATCH_LEVEL, &irql);
            CompleteWith(irp, status, information);
            KeLowerIrql(irql);
        }).detach();
    });
}

struct Outcome {
    NTSTATUS returned;
    IO_STATUS_BLOCK final;
    BOOLEAN pending_returned;
};

NTSTATUS NTAPI SignalAndStop(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto *state = static_cast<std::pair<KEVENT, BOOLEAN> *>(context);
    state->second = irp->PendingReturned;
    KeSetEvent(&state->first, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends an IRP of the test's own to `target` and waits (bounded) for it
// to come back.
Outcome SendOwnIrp(PDEVICE_OBJECT target, const std::function<void(PIO_STACK_LOCATION)> &setup = nullptr) {
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    EXPECT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = kEchoCode;
    if (setup) setup(next);
    std::pair<KEVENT, BOOLEAN> state;
    KeInitializeEvent(&state.first, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalAndStop, &state, TRUE, TRUE, TRUE);
    Outcome outcome{};
    outcome.returned = IoCallDriver(target, irp);
    LARGE_INTEGER timeout = Milliseconds(10000);
    EXPECT_EQ(KeWaitForSingleObject(&state.first, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    outcome.final = irp->IoStatus;
    outcome.pending_returned = state.second;
    IoFreeIrp(irp);
    return outcome;
}

class KernelIrps : public ::testing::Test {
protected:
    BuiltinDriver driver_;
};

TEST_F(KernelIrps, CompletionRoutinesRunForTheOutcomesTheyAskFor) {
    struct Case {
        NTSTATUS status;
        bool cancel;
        BOOLEAN on_success, on_error, on_cancel;
        bool invoked;
    } const cases[] = {
        {STATUS_SUCCESS, false, TRUE, FALSE, FALSE, true},
        {STATUS_SUCCESS, false, FALSE, TRUE, TRUE, false},
        {STATUS_UNSUCCESSFUL, false, FALSE, TRUE, FALSE, true},
        {STATUS_UNSUCCESSFUL, false, TRUE, FALSE, TRUE, false},
        {STATUS_CANCELLED, true, FALSE, FALSE, TRUE, true},
        {STATUS_CANCELLED, true, TRUE, FALSE, FALSE, false},
        {STATUS_BUFFER_OVERFLOW, false, FALSE, TRUE, FALSE, true},  // a warning is not a success
    };
    const Case *current = nullptr;
    PDEVICE_OBJECT lower = driver_.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        if (current->cancel) irp->Cancel = TRUE;
        return CompleteWith(irp, current->status);
    });
    std::atomic<int> invocations{0};
    PDEVICE_OBJECT middle = driver_.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
                ++*static_cast<std::atomic<int> *>(context);
                if (irp->PendingReturned) IoMarkIrpPending(irp);
                return STATUS_SUCCESS;
            },
            &invocations, current->on_success, current->on_error, current->on_cancel);
        return IoCallDriver(lower, irp);
    });
    IoAttachDeviceToDeviceStack(middle, lower);
    for (const Case &entry : cases) {
        current = &entry;
        invocations = 0;
        Outcome outcome = SendOwnIrp(middle);
        EXPECT_EQ(outcome.final.Status, entry.status);
        EXPECT_EQ(invocations, entry.invoked ? 1 : 0) << std::hex << entry.status;
    }
}

TEST_F(KernelIrps, MoreProcessingRequiredHandsTheIrpBackUntilItIsCompletedAgain) {
    std::atomic<KIRQL> routine_irql{PASSIVE_LEVEL};
    std::atomic<PDEVICE_OBJECT> routine_device{nullptr};
    PDEVICE_OBJECT lower = driver_.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        CompleteLater(irp, STATUS_SUCCESS, 5);
        return STATUS_PENDING;
    });
    struct Context {
        KEVENT event;
        std::atomic<KIRQL> *irql;
        std::atomic<PDEVICE_OBJECT> *device;
    } context{{}, &routine_irql, &routine_device};
    PDEVICE_OBJECT middle = driver_.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        KeInitializeEvent(&context.event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT device, PIRP, PVOID raw) -> NTSTATUS {
                auto *context = static_cast<Context *>(raw);
                *context->irql = KeGetCurrentIrql();
                *context->device = device;
                KeSetEvent(&context->event, IO_NO_INCREMENT, FALSE);
                return STATUS_MORE_PROCESSING_REQUIRED;
            },
            &context, TRUE, TRUE, TRUE);
        if (IoCallDriver(lower, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&context.event, Executive, KernelMode, FALSE, nullptr);
        }
        irp->IoStatus.Information += 100;  // the IRP is this driver's again
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    });
    IoAttachDeviceToDeviceStack(middle, lower);
    Outcome outcome = SendOwnIrp(middle);
    EXPECT_EQ(outcome.returned, STATUS_SUCCESS);
    EXPECT_EQ(outcome.final.Information, 105u);
    EXPECT_EQ(routine_irql, DISPATCH_LEVEL);
    EXPECT_EQ(routine_device, middle);
}

TEST_F(KernelIrps, PendingReachesTheCallerThroughSkippedLocations) {
    bool pend = true;
    PDEVICE_OBJECT lower = driver_.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        if (!pend) return CompleteWith(irp, STATUS_SUCCESS);
        IoMarkIrpPending(irp);
        CompleteLater(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    });
    PDEVICE_OBJECT middle = driver_.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lower, irp);
    });
    IoAttachDeviceToDeviceStack(middle, lower);
    EXPECT_EQ(middle->StackSize, 2);
    Outcome pending = SendOwnIrp(middle);
    EXPECT_EQ(pending.returned, STATUS_PENDING);
    EXPECT_TRUE(pending.pending_returned);
    pend = false;
    Outcome synchronous = SendOwnIrp(middle);
    EXPECT_EQ(synchronous.returned, STATUS_SUCCESS);
    EXPECT_FALSE(synchronous.pending_returned);
}

// The upper driver marks the request pending and hands it to another thread,
// which passes it down with the upper location skipped; the lower driver
// completes it at once and returns STATUS_SUCCESS only after the upper
// dispatch routine has returned STATUS_PENDING. The upper driver kept the
// pending rule, and so did the lower one.
TEST_F(KernelIrps, ARequestPassedDownFromAnotherThreadMayBeAnsweredAtOnceBelow) {
    KEVENT lower_completed, upper_returned;
    KeInitializeEvent(&lower_completed, NotificationEvent, FALSE);
    KeInitializeEvent(&upper_returned, NotificationEvent, FALSE);
    LARGE_INTEGER bound = Milliseconds(10000);
    PDEVICE_OBJECT lower = driver_.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        CompleteWith(irp, STATUS_SUCCESS);
        KeSetEvent(&lower_completed, IO_NO_INCREMENT, FALSE);
        EXPECT_EQ(KeWaitForSingleObject(&upper_returned, Executive, KernelMode, FALSE, &bound), STATUS_SUCCESS);
        return STATUS_SUCCESS;
    });
    std::thread passer;
    PDEVICE_OBJECT upper = driver_.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        passer = std::thread([&, irp] {
            IoSkipCurrentIrpStackLocation(irp);
            EXPECT_EQ(IoCallDriver(lower, irp), STATUS_SUCCESS);
        });
        EXPECT_EQ(KeWaitForSingleObject(&lower_completed, Executive, KernelMode, FALSE, &bound), STATUS_SUCCESS);
        return STATUS_PENDING;
    });
    IoAttachDeviceToDeviceStack(upper, lower);

    PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    std::pair<KEVENT, BOOLEAN> state;
    KeInitializeEvent(&state.first, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalAndStop, &state, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(upper, irp), STATUS_PENDING);
    KeSetEvent(&upper_returned, IO_NO_INCREMENT, FALSE);
    passer.join();
    EXPECT_EQ(KeWaitForSingleObject(&state.first, Executive, KernelMode, FALSE, &bound), STATUS_SUCCESS);
    EXPECT_TRUE(state.second);
    IoFreeIrp(irp);
}

TEST_F(KernelIrps, ACompletionRoutineFindsTheLocationBelowItCleared) {
    PDEVICE_OBJECT lower = driver_.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });
    struct Seen {
        UCHAR major, minor, flags;
        ULONG code, output_length;
        PFILE_OBJECT file;
    } seen{};
    FILE_OBJECT file{};
    PDEVICE_OBJECT middle = driver_.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MinorFunction = 7;
        next->Flags = 0x02;  // SL_OVERRIDE_VERIFY_VOLUME
        next->FileObject = &file;
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
                PIO_STACK_LOCATION below = IoGetNextIrpStackLocation(irp);
                *static_cast<Seen *>(context) = {below->MajorFunction,
                                                 below->MinorFunction,
                                                 below->Flags,
                                                 below->Parameters.DeviceIoControl.IoControlCode,
                                                 below->Parameters.DeviceIoControl.OutputBufferLength,
                                                 below->FileObject};
                return STATUS_SUCCESS;
            },
            &seen, TRUE, TRUE, TRUE);
        return IoCallDriver(lower, irp);
    });
    IoAttachDeviceToDeviceStack(middle, lower);
    Outcome outcome = SendOwnIrp(middle, [](PIO_STACK_LOCATION next) {
        next->Parameters.DeviceIoControl.OutputBufferLength = 16;
    });
    EXPECT_EQ(outcome.final.Status, STATUS_SUCCESS);
    EXPECT_EQ(seen.major, IRP_MJ_DEVICE_CONTROL);  // only the major function stays
    EXPECT_EQ(seen.minor, 0);
    EXPECT_EQ(seen.flags, 0);
    EXPECT_EQ(seen.code, 0u);
    EXPECT_EQ(seen.output_length, 0u);
    EXPECT_EQ(seen.file, nullptr);
}

TEST_F(KernelIrps, CancelRunsTheCancelRoutineOnceWithTheCancelLockHeld) {
    std::atomic<PIRP> queued{nullptr};
    std::atomic<KIRQL> cancel_irql{PASSIVE_LEVEL};
    static std::atomic<KIRQL> *irql_seen;
    irql_seen = &cancel_irql;
    PDEVICE_OBJECT device = driver_.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) {
            *irql_seen = KeGetCurrentIrql();
            IoReleaseCancelSpinLock(irp->CancelIrql);
            CompleteWith(irp, STATUS_CANCELLED);
        });
        queued = irp;
        return STATUS_PENDING;
    });
    std::thread canceller([&] {
        while (queued == nullptr) std::this_thread::yield();
        EXPECT_TRUE(IoCancelIrp(queued));
    });
    Outcome outcome = SendOwnIrp(device);
    canceller.join();
    EXPECT_EQ(outcome.final.Status, STATUS_CANCELLED);
    EXPECT_EQ(cancel_irql, DISPATCH_LEVEL);
}

TEST_F(KernelIrps, CancelWithoutARoutineOnlyMarksTheIrp) {
    PDEVICE_OBJECT device = driver_.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        EXPECT_FALSE(IoCancelIrp(irp));
        EXPECT_TRUE(irp->Cancel);
        return CompleteWith(irp, STATUS_SUCCESS);
    });
    EXPECT_EQ(SendOwnIrp(device).final.Status, STATUS_SUCCESS);
}

TEST_F(KernelIrps, BuiltRequestsCarryBuffersByTransferMethod) {
    PDEVICE_OBJECT device = driver_.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
        auto *input = static_cast<char *>(METHOD_FROM_CTL_CODE(code) == METHOD_NEITHER
                                              ? stack->Parameters.DeviceIoControl.Type3InputBuffer
                                              : irp->AssociatedIrp.SystemBuffer);
        char *output = METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED ? static_cast<char *>(irp->AssociatedIrp.SystemBuffer)
                       : METHOD_FROM_CTL_CODE(code) == METHOD_NEITHER
                           ? static_cast<char *>(irp->UserBuffer)
                           : static_cast<char *>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        EXPECT_EQ(stack->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        char first = input[0];
        char mode = input[1];
        std::memset(output, first, out);  // for METHOD_BUFFERED this overwrites the input
        if (mode == 'P') {
            IoMarkIrpPending(irp);
            CompleteLater(irp, STATUS_SUCCESS, out);
            return STATUS_PENDING;
        }
        return CompleteWith(irp, STATUS_SUCCESS, out);
    });
    for (ULONG method : {METHOD_BUFFERED, METHOD_IN_DIRECT, METHOD_OUT_DIRECT, METHOD_NEITHER}) {
        for (char mode : {'S', 'P'}) {
            char input[2] = {static_cast<char>('a' + method), mode};
            char output[8] = {};
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IO_STATUS_BLOCK status_block{};
            PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, method, FILE_ANY_ACCESS),
                                                     device, input, sizeof input, output, 6, TRUE, &event,
                                                     &status_block);
            ASSERT_NE(irp, nullptr);
            NTSTATUS status = IoCallDriver(device, irp);
            EXPECT_EQ(status, mode == 'P' ? STATUS_PENDING : STATUS_SUCCESS);
            LARGE_INTEGER timeout = Milliseconds(10000);
            ASSERT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
            EXPECT_EQ(status_block.Status, STATUS_SUCCESS);
            EXPECT_EQ(status_block.Information, 6u);
            EXPECT_EQ(std::string(output, 7), std::string(6, static_cast<char>('a' + method)) + '\0');
        }
    }
}

TEST_F(KernelIrps, PowerRequestsCallBackWithTheOutcome) {
    std::atomic<int> dispatches{0};
    PDEVICE_OBJECT device = driver_.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(stack->MajorFunction, IRP_MJ_POWER);
        EXPECT_EQ(stack->Parameters.Power.Type, DevicePowerState);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        ++dispatches;
        PoStartNextPowerIrp(irp);
        return CompleteWith(irp, STATUS_SUCCESS);
    });
    static std::atomic<int> callbacks;
    static std::atomic<DEVICE_POWER_STATE> state_seen;
    callbacks = 0;
    auto callback = [](PDEVICE_OBJECT, UCHAR minor, POWER_STATE state, PVOID, PIO_STATUS_BLOCK status) {
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        EXPECT_EQ(minor, IRP_MN_SET_POWER);
        EXPECT_EQ(status->Status, STATUS_SUCCESS);
        state_seen = state.DeviceState;
        ++callbacks;
    };
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(PoRequestPowerIrp(device, IRP_MN_SET_POWER, d3, callback, nullptr, nullptr), STATUS_PENDING);
    tm350::ntos::FlushSystemWorker();
    EXPECT_EQ(callbacks, 1);
    EXPECT_EQ(state_seen, PowerDeviceD3);
    // From DISPATCH_LEVEL the request goes through the system worker.
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_EQ(PoRequestPowerIrp(device, IRP_MN_SET_POWER, d0, callback, nullptr, nullptr), STATUS_PENDING);
    KeLowerIrql(irql);
    tm350::ntos::FlushSystemWorker();
    EXPECT_EQ(callbacks, 2);
    EXPECT_EQ(dispatches, 2);
    EXPECT_EQ(PoRequestPowerIrp(device, 0x7f, d0, callback, nullptr, nullptr), STATUS_INVALID_PARAMETER_2);
    EXPECT_EQ(PoSetPowerState(device, DevicePowerState, d3).DeviceState, PowerDeviceD0);
    EXPECT_EQ(PoSetPowerState(device, DevicePowerState, d0).DeviceState, PowerDeviceD3);
}

TEST_F(KernelIrps, WorkItemsRunAtPassiveLevelOnTheSystemThread) {
    PDEVICE_OBJECT device = driver_.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    ASSERT_NE(item, nullptr);
    static std::atomic<int> runs;
    runs = 0;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    IoQueueWorkItem(
        item,
        [](PDEVICE_OBJECT, PVOID) {
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
            ++runs;
        },
        DelayedWorkQueue, nullptr);
    KeLowerIrql(irql);
    tm350::ntos::FlushSystemWorker();
    EXPECT_EQ(runs, 1);
    IoFreeWorkItem(item);
}

TEST(KernelMdls, DescribeLockedBuffersAndPartialsOfThem) {
    std::vector<char> buffer(3 * PAGE_SIZE + 100, 'b');
    char *start = buffer.data() + 10;
    PMDL mdl = IoAllocateMdl(start, 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 2u * PAGE_SIZE);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), start);
    MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
    // The system mapping is a view of its own of the same bytes.
    auto *system = static_cast<char *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    ASSERT_NE(system, nullptr);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), system);
    EXPECT_EQ(BYTE_OFFSET(system), BYTE_OFFSET(start));
    EXPECT_EQ(system[2 * PAGE_SIZE - 1], 'b');

    PMDL partial = IoAllocateMdl(start + 100, 500, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(mdl, partial, start + 100, 500);
    EXPECT_EQ(MmGetMdlByteCount(partial), 500u);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority), system + 100);
    IoBuildPartialMdl(mdl, partial, start + 2 * PAGE_SIZE - 8, 0);  // 0: to the end of the source
    EXPECT_EQ(MmGetMdlByteCount(partial), 8u);
    static_cast<char *>(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority))[0] = 'p';
    system[0] = 's';
    IoFreeMdl(partial);
    EXPECT_EQ(start[0], 'b');  // not yet: the buffer gets what was written at the unlock
    MmUnlockPages(mdl);
    EXPECT_EQ(start[0], 's');
    EXPECT_EQ(start[2 * PAGE_SIZE - 8], 'p');
    IoFreeMdl(mdl);

    // A partial MDL of a source not yet mapped maps into the source's mapping.
    mdl = IoAllocateMdl(start, 100, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
    partial = IoAllocateMdl(start + 10, 20, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(mdl, partial, start + 10, 20);
    auto *inner = static_cast<char *>(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority));
    EXPECT_EQ(static_cast<char *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority)) + 10, inner);
    IoFreeMdl(partial);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);

    PMDL pool = IoAllocateMdl(start, 64, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(pool);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(pool, NormalPagePriority), start);
    IoFreeMdl(pool);
}

class KernelIrpRules : public ::testing::Test {
protected:
    void SetUp() override { TM350_USE_THREADSAFE_DEATH_TESTS(); }
};

TEST_F(KernelIrpRules, CompletingTwiceOrWithPendingStatusIsFatal) {
    EXPECT_DEATH(
        {
            BuiltinDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
                CompleteWith(irp, STATUS_SUCCESS);
                return CompleteWith(irp, STATUS_SUCCESS);
            });
            SendOwnIrp(device);
        },
        "tm350 verifier: IRP 0x[0-9a-f]+ completed twice");
    EXPECT_DEATH(
        {
            BuiltinDriver driver;
            PDEVICE_OBJECT device =
                driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_PENDING); });
            SendOwnIrp(device);
        },
        "IoCompleteRequest\\(0x[0-9a-f]+\\) with IoStatus.Status STATUS_PENDING");
}

TEST_F(KernelIrpRules, ReturningPendingWithoutMarkingIsFatal) {
    EXPECT_DEATH(
        {
            BuiltinDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
                CompleteLater(irp, STATUS_SUCCESS);
                return STATUS_PENDING;
            });
            SendOwnIrp(device);
        },
        "returned STATUS_PENDING for IRP 0x[0-9a-f]+ \\(stack location 1\\) without marking it pending");
    EXPECT_DEATH(
        {
            BuiltinDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
                IoMarkIrpPending(irp);
                return CompleteWith(irp, STATUS_SUCCESS);
            });
            SendOwnIrp(device);
        },
        "was marked pending at stack location 1 but its dispatch routine returned 0x00000000");
}

TEST_F(KernelIrpRules, FreeingAnIrpInFlightOrLettingItsCompletionRunOffTheTopIsFatal) {
    EXPECT_DEATH(
        {
            BuiltinDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
                IoMarkIrpPending(irp);
                return STATUS_PENDING;
            });
            PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
            IoCallDriver(device, irp);
            IoFreeIrp(irp);
        },
        "IoFreeIrp\\(0x[0-9a-f]+\\) on an IRP that is in flight");
    EXPECT_DEATH(
        {
            BuiltinDriver driver;
            PDEVICE_OBJECT device =
                driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });
            PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
            IoCallDriver(device, irp);
        },
        "from IoAllocateIrp was completed past its top stack location");
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoFreeIrp(irp);
            IoFreeIrp(irp);
        },
        "IoFreeIrp\\(0x[0-9a-f]+\\) on an IRP that has already been completed or freed");
}

TEST_F(KernelIrpRules, StackAndIrqlMisuseInDispatchIsFatal) {
    EXPECT_DEATH(
        {
            BuiltinDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                return CompleteWith(irp, STATUS_SUCCESS);
            });
            SendOwnIrp(device);
        },
        "dispatch routine 0x[0-9a-f]+ for IRP_MJ_DEVICE_CONTROL returned at IRQL 2; it was called at IRQL 0");
    EXPECT_DEATH(
        {
            BuiltinDriver driver;
            PDEVICE_OBJECT device = nullptr;
            device = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
                return IoCallDriver(device, irp);  // to itself: the IRP has no location for that
            });
            SendOwnIrp(device);
        },
        "has no stack location left in IRP");
    EXPECT_DEATH(
        {
            BuiltinDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
                IoMarkIrpPending(irp);
                IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) { CompleteWith(irp, STATUS_CANCELLED); });
                return STATUS_PENDING;
            });
            PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
            IoSetCompletionRoutine(
                irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr,
                TRUE, TRUE, TRUE);
            IoCallDriver(device, irp);
            IoCancelIrp(irp);
        },
        "cancel routine 0x[0-9a-f]+ returned still holding the cancel spin lock");
    EXPECT_DEATH(
        {
            BuiltinDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) {
                IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
                return CompleteWith(irp, STATUS_SUCCESS);
            });
            SendOwnIrp(device);
        },
        "with its cancel routine still set");
}

TEST_F(KernelIrpRules, MdlMisuseIsFatal) {
    static char buffer[256];
    EXPECT_DEATH(
        {
            PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
            MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
            auto *system = static_cast<volatile char *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
            MmUnlockPages(mdl);
            system[5] = 1;  // the request is over: the driver's view is gone
        },
        "tm350 verifier: access to 0x[0-9a-f]+, in the system mapping of MDL 0x[0-9a-f]+, after its pages were "
        "unlocked");
    EXPECT_DEATH(
        {
            PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
            MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
        },
        "MmGetSystemAddressForMdlSafe\\(0x[0-9a-f]+\\) on an MDL whose pages are not locked");
    EXPECT_DEATH(
        {
            PMDL mdl = IoAllocateMdl(buffer, 100, FALSE, FALSE, nullptr);
            MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
            PMDL partial = IoAllocateMdl(buffer, 100, FALSE, FALSE, nullptr);
            IoBuildPartialMdl(mdl, partial, buffer + 50, 51);
        },
        "51 bytes at 0x[0-9a-f]+ run past the end of the source MDL");
    EXPECT_DEATH(
        {
            PMDL mdl = IoAllocateMdl(buffer, 100, FALSE, FALSE, nullptr);
            MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
            IoFreeMdl(mdl);
        },
        "whose pages are still locked");
}

}  // namespace
}  // namespace tm350::test
