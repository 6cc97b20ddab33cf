// A small WDM driver for the kernel's tests: echo devices with every
// transfer method, pending requests completed from the driver's own thread
// at DISPATCH_LEVEL, queued requests with cancel routines, a two-device
// stack that forwards requests in the usual ways, and requests that break
// the rules on purpose for the verifier's tests. Written against <wdm.h>
// only, as a real driver is; its completion thread is test machinery.
#include <wdm.h>

#include "drivers/testecho_ioctl.h"

#include <condition_variable>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>

namespace {

constexpr ULONG kLeakTag = 'L' | 'e' << 8 | 'a' << 16 | 'k' << 24;

enum class Role { Echo, Lower, Upper };

struct Extension {
    Role role;
    PDEVICE_OBJECT lower;  // Upper: the device below
    TEST_COUNTS counts;
    KSPIN_LOCK queue_lock;
    LIST_ENTRY queue;  // queued IRPs, linked through Tail.Overlay.ListEntry
    LONG queue_reads;
    UCHAR stored[4096];
    ULONG stored_length;
};

Extension *ExtensionOf(PDEVICE_OBJECT device) { return static_cast<Extension *>(device->DeviceExtension); }

// Completes IRPs later, from a thread of its own, at DISPATCH_LEVEL, as a
// device's interrupt path would.
class Completer {
public:
    void Start() { thread_ = std::thread([this] { Run(); }); }
    void Stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    void Add(PIRP irp, unsigned delay_ms, NTSTATUS status, ULONG_PTR information, bool fill) {
        std::lock_guard lock(mutex_);
        work_.push_back({irp, std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms), status,
                         information, fill});
        changed_.notify_all();
    }
    // Keeps the IRP until Release: the test decides when it completes.
    void Hold(PIRP irp, NTSTATUS status, ULONG_PTR information, bool fill) {
        std::lock_guard lock(mutex_);
        held_.push_back({irp, {}, status, information, fill});
        changed_.notify_all();
    }
    ULONG Release() {
        std::lock_guard lock(mutex_);
        ULONG count = static_cast<ULONG>(held_.size());
        for (Work &work : held_) {
            work.due = std::chrono::steady_clock::now();
            work_.push_back(work);
        }
        held_.clear();
        changed_.notify_all();
        return count;
    }
    // Waits (10 s at most) until `count` IRPs are held.
    bool WaitHeld(ULONG count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return held_.size() >= count; });
    }
    // The file object of the first IRP held, or null.
    PFILE_OBJECT HeldFile() {
        std::lock_guard lock(mutex_);
        return held_.empty() ? nullptr : IoGetCurrentIrpStackLocation(held_.front().irp)->FileObject;
    }

private:
    struct Work {
        PIRP irp;
        std::chrono::steady_clock::time_point due;
        NTSTATUS status;
        ULONG_PTR information;
        bool fill;
    };

    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return stopping_ || !work_.empty(); });
            if (work_.empty()) return;
            Work work = work_.front();
            changed_.wait_until(lock, work.due, [] { return false; });
            work_.pop_front();
            lock.unlock();
            KIRQL irql;
            KeRaiseIrql(DISPATCH_LEVEL, &irql);
            if (work.fill && work.information > 0) {
                memset(work.irp->AssociatedIrp.SystemBuffer, 0x5A, work.information);
            }
            work.irp->IoStatus.Status = work.status;
            work.irp->IoStatus.Information = work.information;
            IoCompleteRequest(work.irp, IO_NO_INCREMENT);
            KeLowerIrql(irql);
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Work> work_;
    std::deque<Work> held_;
    bool stopping_ = false;
    std::thread thread_;
};

Completer *g_completer;
volatile UCHAR *g_kept_mapping;  // IOCTL_BAD_KEEP_MAPPING
PDEVICE_OBJECT g_echo;
PDEVICE_OBJECT g_buffered;
PDEVICE_OBJECT g_lower;
PDEVICE_OBJECT g_upper;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// What every cancel routine here does first: let the cancel lock go and take
// the request off the device's queue.
Extension *Unqueue(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Extension *extension = ExtensionOf(device);
    KIRQL irql;
    KeAcquireSpinLock(&extension->queue_lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&extension->queue_lock, irql);
    return extension;
}

VOID NTAPI CancelQueued(PDEVICE_OBJECT device, PIRP irp) {
    Extension *extension = Unqueue(device, irp);
    InterlockedIncrement(reinterpret_cast<LONG *>(&extension->counts.cancels));
    Complete(irp, STATUS_CANCELLED, 0);
}

// Cancelled, but completed only when the test releases it.
VOID NTAPI CancelAndHold(PDEVICE_OBJECT device, PIRP irp) {
    Extension *extension = Unqueue(device, irp);
    InterlockedIncrement(reinterpret_cast<LONG *>(&extension->counts.cancels));
    g_completer->Hold(irp, STATUS_CANCELLED, 0, false);
}

// A driver fault on purpose: the cancelled request is forgotten.
VOID NTAPI CancelAndForget(PDEVICE_OBJECT device, PIRP irp) { Unqueue(device, irp); }

NTSTATUS Queue(Extension *extension, PIRP irp, PDRIVER_CANCEL cancel = CancelQueued) {
    IoMarkIrpPending(irp);
    KIRQL irql;
    KeAcquireSpinLock(&extension->queue_lock, &irql);
    IoSetCancelRoutine(irp, cancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        KeReleaseSpinLock(&extension->queue_lock, irql);
        Complete(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    InsertTailList(&extension->queue, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&extension->queue_lock, irql);
    return STATUS_PENDING;
}

ULONG CompleteQueued(Extension *extension) {
    LIST_ENTRY ready;
    InitializeListHead(&ready);
    KIRQL irql;
    KeAcquireSpinLock(&extension->queue_lock, &irql);
    for (PLIST_ENTRY entry = extension->queue.Flink; entry != &extension->queue;) {
        PLIST_ENTRY next = entry->Flink;
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        // A request whose cancel routine already runs is left to it.
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            RemoveEntryList(entry);
            InsertTailList(&ready, entry);
        }
        entry = next;
    }
    KeReleaseSpinLock(&extension->queue_lock, irql);
    ULONG count = 0;
    while (!IsListEmpty(&ready)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&ready), IRP, Tail.Overlay.ListEntry);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        ULONG_PTR information = stack->MajorFunction == IRP_MJ_READ ? stack->Parameters.Read.Length : 0;
        if (information > 0 && irp->MdlAddress != nullptr) {
            memset(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority), 0x77, information);
        }
        Complete(irp, STATUS_SUCCESS, information);
        ++count;
    }
    return count;
}

NTSTATUS Echo(PIRP irp, PIO_STACK_LOCATION stack) {
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG length = in < out ? in : out;
    switch (METHOD_FROM_CTL_CODE(stack->Parameters.DeviceIoControl.IoControlCode)) {
    case METHOD_BUFFERED:
        return Complete(irp, STATUS_SUCCESS, length);  // input and output share the system buffer
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (length > 0) {
            if (irp->MdlAddress == nullptr || MmGetMdlByteCount(irp->MdlAddress) != out) {
                return Complete(irp, STATUS_INVALID_PARAMETER, 0);
            }
            void *target = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
            memcpy(target, irp->AssociatedIrp.SystemBuffer, length);
        }
        return Complete(irp, STATUS_SUCCESS, length);
    default:
        if (length > 0) memcpy(irp->UserBuffer, stack->Parameters.DeviceIoControl.Type3InputBuffer, length);
        return Complete(irp, STATUS_SUCCESS, length);
    }
}

NTSTATUS EchoControl(PDEVICE_OBJECT device, PIRP irp) {
    Extension *extension = ExtensionOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_ECHO_BUFFERED:
    case IOCTL_ECHO_IN_DIRECT:
    case IOCTL_ECHO_OUT_DIRECT:
    case IOCTL_ECHO_NEITHER:
        return Echo(irp, stack);
    case IOCTL_COMPLETE_LATER: {
        if (in < sizeof(TEST_COMPLETION)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        TEST_COMPLETION request = *static_cast<TEST_COMPLETION *>(buffer);
        IoMarkIrpPending(irp);
        ULONG information = request.information <= out ? request.information : out;
        if (request.delay_ms == TEST_COMPLETE_ON_RELEASE) {
            g_completer->Hold(irp, request.status, information, true);
        } else {
            g_completer->Add(irp, request.delay_ms, request.status, information, true);
        }
        return STATUS_PENDING;
    }
    case IOCTL_RELEASE_HELD: {
        ULONG count = g_completer->Release();
        if (out < sizeof(ULONG)) return Complete(irp, STATUS_SUCCESS, 0);
        *static_cast<ULONG *>(buffer) = count;
        return Complete(irp, STATUS_SUCCESS, sizeof(ULONG));
    }
    case IOCTL_WAIT_HELD:
        if (in < sizeof(ULONG)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        return Complete(irp, g_completer->WaitHeld(*static_cast<ULONG *>(buffer)) ? STATUS_SUCCESS : STATUS_TIMEOUT, 0);
    case IOCTL_WAIT_FILE_WAITERS: {
        if (in < sizeof(ULONG)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        const ULONG count = *static_cast<ULONG *>(buffer);
        // Polls the I/O manager's count of threads waiting for the file
        // (test machinery: a real driver has no use for it).
        LARGE_INTEGER pause;
        pause.QuadPart = -10000;  // 1 ms
        for (int round = 0; round < 10000; ++round) {
            PFILE_OBJECT file = g_completer->HeldFile();
            if (file != nullptr && __atomic_load_n(&file->Waiters, __ATOMIC_SEQ_CST) >= count) {
                return Complete(irp, STATUS_SUCCESS, 0);
            }
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
        }
        return Complete(irp, STATUS_TIMEOUT, 0);
    }
    case IOCTL_QUEUE:
        return Queue(extension, irp);
    case IOCTL_QUEUE_HOLD_CANCEL:
        return Queue(extension, irp, CancelAndHold);
    case IOCTL_BAD_FORGET_CANCELLED:
        return Queue(extension, irp, CancelAndForget);
    case IOCTL_BAD_KEEP_MAPPING:
        g_kept_mapping = out > 0 ? static_cast<volatile UCHAR *>(
                                       MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority))
                                 : nullptr;
        return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_BAD_WRITE_KEPT:
        if (g_kept_mapping != nullptr) g_kept_mapping[0] = 1;
        return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_BAD_RETURN_OTHER_STATUS:
        Complete(irp, STATUS_SUCCESS, 0);
        return STATUS_UNSUCCESSFUL;
    case IOCTL_COMPLETE_QUEUED: {
        ULONG count = CompleteQueued(extension);
        if (out < sizeof(ULONG)) return Complete(irp, STATUS_SUCCESS, 0);
        *static_cast<ULONG *>(buffer) = count;
        return Complete(irp, STATUS_SUCCESS, sizeof(ULONG));
    }
    case IOCTL_GET_COUNTS:
        if (out < sizeof(TEST_COUNTS)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        *static_cast<TEST_COUNTS *>(buffer) = extension->counts;
        return Complete(irp, STATUS_SUCCESS, sizeof(TEST_COUNTS));
    case IOCTL_FAIL_WITH:
        if (in < sizeof(NTSTATUS)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        return Complete(irp, *static_cast<NTSTATUS *>(buffer), 0);
    case IOCTL_SET_READ_QUEUEING:
        if (in < sizeof(ULONG)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        extension->queue_reads = *static_cast<ULONG *>(buffer) != 0;
        return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_LEAK_POOL:
        ExAllocatePoolWithTag(NonPagedPool, 64, kLeakTag);
        return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_BAD_PENDING_UNMARKED:
        Complete(irp, STATUS_SUCCESS, 0);
        return STATUS_PENDING;
    case IOCTL_BAD_COMPLETE_TWICE:
        Complete(irp, STATUS_SUCCESS, 0);
        return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_BAD_COMPLETE_WITH_PENDING:
        return Complete(irp, STATUS_PENDING, 0);
    case IOCTL_BAD_TOO_MUCH_INFORMATION:
        return Complete(irp, STATUS_SUCCESS, static_cast<ULONG_PTR>(out) + 1);
    case IOCTL_BAD_NOT_COMPLETED:
        return STATUS_SUCCESS;
    case IOCTL_BAD_RETURN_AT_DISPATCH: {
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS LowerEcho(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG length = in < out ? in : out;
    auto *buffer = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
    if (in > 0 && buffer[0] == 'P') {
        IoMarkIrpPending(irp);
        g_completer->Add(irp, 20, STATUS_SUCCESS, length, false);
        return STATUS_PENDING;
    }
    return Complete(irp, STATUS_SUCCESS, length);
}

NTSTATUS NTAPI SignalAndStop(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI PropagatePending(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    if (irp->IoStatus.Information > 0) static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer)[0] += 1;
    return STATUS_SUCCESS;
}

void AddOneToFirstByte(PIRP irp) {
    if (NT_SUCCESS(irp->IoStatus.Status) && irp->IoStatus.Information > 0) {
        static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer)[0] += 1;
    }
}

NTSTATUS UpperControl(PDEVICE_OBJECT device, PIRP irp) {
    Extension *extension = ExtensionOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_STACK_SKIP:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(extension->lower, irp);
    case IOCTL_STACK_COPY_AND_WAIT: {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SignalAndStop, &event, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(extension->lower, irp);
        if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        AddOneToFirstByte(irp);
        status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    case IOCTL_STACK_COPY_AND_PROPAGATE:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, PropagatePending, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(extension->lower, irp);
    case IOCTL_STACK_OWN_IRP: {
        PIRP own = IoAllocateIrp(extension->lower->StackSize, FALSE);
        if (own == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(own);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_LOWER_ECHO;
        next->Parameters.DeviceIoControl.InputBufferLength = in;
        next->Parameters.DeviceIoControl.OutputBufferLength = out;
        own->AssociatedIrp.SystemBuffer = irp->AssociatedIrp.SystemBuffer;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoSetCompletionRoutine(own, SignalAndStop, &event, TRUE, TRUE, TRUE);
        if (IoCallDriver(extension->lower, own) == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        irp->IoStatus = own->IoStatus;
        IoFreeIrp(own);
        AddOneToFirstByte(irp);
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    case IOCTL_STACK_BUILT_REQUEST: {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK status_block;
        PVOID buffer = irp->AssociatedIrp.SystemBuffer;
        PIRP own = IoBuildDeviceIoControlRequest(IOCTL_LOWER_ECHO, extension->lower, buffer, in, buffer, out, TRUE,
                                                 &event, &status_block);
        if (own == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        NTSTATUS status = IoCallDriver(extension->lower, own);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = status_block.Status;
        }
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = NT_SUCCESS(status) ? status_block.Information : 0;
        AddOneToFirstByte(irp);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

void Count(Extension *extension, UCHAR major) {
    int *counter = nullptr;
    switch (major) {
    case IRP_MJ_CREATE:
        counter = &extension->counts.creates;
        break;
    case IRP_MJ_CLEANUP:
        counter = &extension->counts.cleanups;
        break;
    case IRP_MJ_CLOSE:
        counter = &extension->counts.closes;
        break;
    case IRP_MJ_READ:
        counter = &extension->counts.reads;
        break;
    case IRP_MJ_WRITE:
        counter = &extension->counts.writes;
        break;
    default:
        return;
    }
    InterlockedIncrement(reinterpret_cast<LONG *>(counter));
}

NTSTATUS Transfer(PDEVICE_OBJECT device, PIRP irp) {
    Extension *extension = ExtensionOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG length = stack->Parameters.Read.Length;
    bool read = stack->MajorFunction == IRP_MJ_READ;
    if (read && extension->queue_reads) return Queue(extension, irp);
    if (length == 0) return Complete(irp, STATUS_SUCCESS, 0);
    auto *data = static_cast<UCHAR *>((device->Flags & DO_DIRECT_IO) != 0
                                          ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority)
                                          : irp->AssociatedIrp.SystemBuffer);
    if (read) {
        if ((device->Flags & DO_DIRECT_IO) != 0) {
            // Direct reads return a pattern that starts at the byte offset.
            LONGLONG offset = stack->Parameters.Read.ByteOffset.QuadPart;
            for (ULONG i = 0; i < length; ++i) data[i] = static_cast<UCHAR>(offset + i);
            return Complete(irp, STATUS_SUCCESS, length);
        }
        ULONG count = length < extension->stored_length ? length : extension->stored_length;
        memcpy(data, extension->stored, count);
        return Complete(irp, STATUS_SUCCESS, count);
    }
    ULONG count = length < sizeof extension->stored ? length : sizeof extension->stored;
    memcpy(extension->stored, data, count);
    extension->stored_length = count;
    return Complete(irp, STATUS_SUCCESS, length);
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    Extension *extension = ExtensionOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Count(extension, stack->MajorFunction);
    switch (extension->role) {
    case Role::Upper:
        if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) return UpperControl(device, irp);
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(extension->lower, irp);
    case Role::Lower:
        if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL || stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            return LowerEcho(irp);
        }
        return Complete(irp, STATUS_SUCCESS, 0);
    case Role::Echo:
        switch (stack->MajorFunction) {
        case IRP_MJ_DEVICE_CONTROL:
            return EchoControl(device, irp);
        case IRP_MJ_READ:
        case IRP_MJ_WRITE:
            return Transfer(device, irp);
        default:
            return Complete(irp, STATUS_SUCCESS, 0);
        }
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS MakeDevice(PDRIVER_OBJECT driver, PCWSTR name, PCWSTR link, Role role, ULONG flags, PDEVICE_OBJECT *device) {
    UNICODE_STRING device_name;
    UNICODE_STRING *name_pointer = nullptr;
    if (name != nullptr) {
        RtlInitUnicodeString(&device_name, name);
        name_pointer = &device_name;
    }
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), name_pointer, FILE_DEVICE_UNKNOWN, 0, FALSE, device);
    if (!NT_SUCCESS(status)) return status;
    Extension *extension = ExtensionOf(*device);
    RtlZeroMemory(extension, sizeof(Extension));
    extension->role = role;
    KeInitializeSpinLock(&extension->queue_lock);
    InitializeListHead(&extension->queue);
    (*device)->Flags |= flags;
    if (link != nullptr) {
        UNICODE_STRING link_name;
        RtlInitUnicodeString(&link_name, link);
        status = IoCreateSymbolicLink(&link_name, &device_name);
    }
    return status;
}

void DeleteLink(PCWSTR link) {
    UNICODE_STRING link_name;
    RtlInitUnicodeString(&link_name, link);
    IoDeleteSymbolicLink(&link_name);
}

VOID NTAPI Unload(PDRIVER_OBJECT driver) {
    DeleteLink(L"\\DosDevices\\TESTECHO0");
    DeleteLink(L"\\DosDevices\\TESTECHOB0");
    DeleteLink(L"\\DosDevices\\TESTSTACK0");
    IoDetachDevice(g_lower);
    IoDeleteDevice(g_upper);
    IoDeleteDevice(g_lower);
    IoDeleteDevice(g_buffered);
    IoDeleteDevice(g_echo);
    g_completer->Stop();
    delete g_completer;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    for (PDRIVER_DISPATCH &dispatch : DriverObject->MajorFunction) dispatch = Dispatch;
    DriverObject->DriverUnload = Unload;
    NTSTATUS status = MakeDevice(DriverObject, L"\\Device\\TestEcho0", L"\\DosDevices\\TESTECHO0", Role::Echo,
                                 DO_DIRECT_IO, &g_echo);
    if (NT_SUCCESS(status)) {
        status = MakeDevice(DriverObject, L"\\Device\\TestEchoBuffered0", L"\\DosDevices\\TESTECHOB0", Role::Echo,
                            DO_BUFFERED_IO, &g_buffered);
    }
    if (NT_SUCCESS(status)) {
        status = MakeDevice(DriverObject, L"\\Device\\TestLower0", L"\\DosDevices\\TESTSTACK0", Role::Lower,
                            DO_BUFFERED_IO, &g_lower);
    }
    if (NT_SUCCESS(status)) status = MakeDevice(DriverObject, nullptr, nullptr, Role::Upper, DO_BUFFERED_IO, &g_upper);
    if (!NT_SUCCESS(status)) return status;  // the tests create these only once per load
    ExtensionOf(g_upper)->lower = IoAttachDeviceToDeviceStack(g_upper, g_lower);
    g_completer = new Completer;
    g_completer->Start();
    return STATUS_SUCCESS;
}
