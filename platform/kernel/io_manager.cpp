// The I/O manager: file objects and the IRPs it builds for them (create,
// cleanup, close, device control, read, write), IoBuildDeviceIoControlRequest
// for drivers, and the cancellation of a thread's requests.
//
// A file object is referenced by its handle and by every IRP in flight on
// it. The handle's last close sends IRP_MJ_CLEANUP; IRP_MJ_CLOSE goes when
// the last reference does. When that is a completing request, the close is
// left to the system worker thread, so that a driver never sees its close
// routine called from inside its own IoCompleteRequest.
#include "kernel/system_calls.h"

#include "kernel/devices.h"
#include "kernel/irp_internal.h"
#include "kernel/kernel_api.h"
#include "kernel/kernel_thread.h"
#include "kernel/pool.h"
#include "kernel/verifier.h"

#include "common/text.h"

#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>

namespace tm350::ntos {

namespace {

const ULONG kBufferTag = MakeTag("IoBf");

struct FileState {
    FILE_OBJECT object{};
    std::atomic<long> references{1};  // the handle's
    DEVICE_OBJECT *device = nullptr;  // the device opened (referenced); IRPs go to the top of its stack
    std::u16string file_name;         // backs object.FileName
    bool created = false;             // IRP_MJ_CREATE succeeded, so IRP_MJ_CLOSE is owed
    bool synchronous = false;         // opened for synchronous I/O; fixed at open, read by completions
};

enum class DropContext { Caller, Completion };

void CloseAndFree(FileState *file);

void AddFileReference(FileState &file) { file.references.fetch_add(1, std::memory_order_relaxed); }

void DereferenceFile(FileState *file, DropContext context) {
    if (file->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (context == DropContext::Caller) {
        CloseAndFree(file);
    } else {
        QueueSystemWork([file] { CloseAndFree(file); });
    }
}

// What the I/O manager checks and copies back when a request ends.
struct BufferPlan {
    void *copy_out = nullptr;  // the caller's buffer that receives the system buffer's first Information bytes
    ULONG_PTR limit = 0;       // the most bytes the request may report
};

// Rejects Information beyond what the caller's buffer can take: on Windows
// the copy back would overrun the caller's memory.
void CheckInformation(const IRP &irp, UCHAR major, const BufferPlan &plan) {
    if (!NT_ERROR(irp.IoStatus.Status) && irp.IoStatus.Information > plan.limit) {
        VerifierFailure("%s completed with Information %lu, more than the %lu bytes of the caller's buffer",
                        MajorFunctionName(major), static_cast<unsigned long>(irp.IoStatus.Information),
                        static_cast<unsigned long>(plan.limit));
    }
}

void CopyBack(const IRP &irp, const BufferPlan &plan) {
    if (!NT_ERROR(irp.IoStatus.Status) && plan.copy_out != nullptr && irp.IoStatus.Information > 0) {
        std::memcpy(plan.copy_out, irp.AssociatedIrp.SystemBuffer, irp.IoStatus.Information);
    }
}

struct Outcome {
    std::atomic<bool> finished{false};
    IO_STATUS_BLOCK status{};
};

// Read from the field fixed at open, not from Flags, which cleanup changes
// while another thread's request may be completing.
bool IsSynchronousFile(const FileState &file) { return file.synchronous; }

// A request from user mode on a file.
class UserPacket final : public IoPacket {
public:
    UserPacket(FileState *file, std::shared_ptr<syscall::IoCompletion> completion, const void *key, UCHAR major,
               std::shared_ptr<Outcome> outcome)
        : IoPacket(CurrentThreadId()), file(file), key(key), major_(major), completion_(std::move(completion)),
          outcome_(std::move(outcome)) {}

    // An error completed without the IRP having been marked pending never
    // reaches an asynchronous caller's status block or event: the system
    // service returns the status and the caller learns it from there. A
    // file opened for synchronous I/O, a success and a warning always
    // report (as IopCompleteRequest does).
    void Finish(IRP &irp) override {
        CheckInformation(irp, major_, plan);
        CopyBack(irp, plan);
        ReleaseIrpBuffers(irp);
        outcome_->status = irp.IoStatus;
        outcome_->finished.store(true, std::memory_order_release);
        if (!NT_ERROR(irp.IoStatus.Status) || irp.PendingReturned || IsSynchronousFile(*file)) {
            completion_->Complete(irp.IoStatus.Status, irp.IoStatus.Information);
        }
    }
    // The requester of a synchronous file waits for the file's event.
    void Notify() override {
        if (IsSynchronousFile(*file)) KeSetEvent(&file->object.Event, IO_NO_INCREMENT, FALSE);
        DereferenceFile(file, DropContext::Completion);
    }

    FileState *const file;
    const void *const key;
    BufferPlan plan;

private:
    const UCHAR major_;
    std::shared_ptr<syscall::IoCompletion> completion_;
    std::shared_ptr<Outcome> outcome_;
};

// Create, cleanup and close: the requester waits for the event.
struct SynchronousOutcome : Outcome {
    KEVENT event;
    SynchronousOutcome() { KeInitializeEvent(&event, NotificationEvent, FALSE); }
};

class SynchronousPacket final : public IoPacket {
public:
    explicit SynchronousPacket(std::shared_ptr<SynchronousOutcome> outcome)
        : IoPacket(0), outcome_(std::move(outcome)) {}

    void Finish(IRP &irp) override {
        ReleaseIrpBuffers(irp);
        outcome_->status = irp.IoStatus;
        outcome_->finished.store(true, std::memory_order_release);
        KeSetEvent(&outcome_->event, IO_NO_INCREMENT, FALSE);
    }

private:
    std::shared_ptr<SynchronousOutcome> outcome_;
};

// IoBuildDeviceIoControlRequest's IRPs: the I/O manager fills the caller's
// status block and sets the caller's event.
class ThreadedPacket final : public IoPacket {
public:
    ThreadedPacket(PIO_STATUS_BLOCK status_block, PKEVENT event)
        : IoPacket(CurrentThreadId()), status_block_(status_block), event_(event) {}

    void Finish(IRP &irp) override {
        UCHAR major = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
        CheckInformation(irp, major, plan);
        CopyBack(irp, plan);
        ReleaseIrpBuffers(irp);
        if (status_block_ != nullptr) *status_block_ = irp.IoStatus;
    }
    // The requester may return, unload and its stack go, once this is set.
    void Notify() override {
        if (event_ != nullptr) KeSetEvent(event_, IO_NO_INCREMENT, FALSE);
    }

    BufferPlan plan;
    bool internal = false;

private:
    PIO_STATUS_BLOCK status_block_;
    PKEVENT event_;
};

// ProbeForRead and ProbeForWrite of a user caller's buffer, as the system
// service does before it builds the IRP: a buffer the caller cannot read (or,
// for a buffer that receives data, write) fails the call with
// STATUS_ACCESS_VIOLATION and never reaches the driver, instead of faulting
// later in the copy back or in the unlocking of its pages. Like
// ProbeForWrite, the probe touches one byte of each page (and a write probe
// writes it back); the kernel does the access, so an unmapped page is an
// error, not a fault. The pages go in batches of one vectored call each, since
// a frame-sized read spans dozens of pages and a system call per page costs
// more than the camera's buffer can wait for between reads.
bool ProbeUserBuffer(const void *buffer, ULONG length, bool write) {
    if (length == 0) return true;
    const auto begin = reinterpret_cast<uintptr_t>(buffer);
    if (begin + length < begin) return false;
    static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const pid_t self = getpid();
    constexpr size_t kBatch = 256;  // below IOV_MAX
    unsigned char bytes[kBatch];
    iovec remote[kBatch];
    const uintptr_t end = begin + length;
    uintptr_t address = begin;
    while (address < end) {
        size_t count = 0;
        for (; count < kBatch && address < end; ++count, address = (address & ~(page - 1)) + page) {
            remote[count] = {reinterpret_cast<void *>(address), 1};
        }
        iovec local{bytes, count};
        if (process_vm_readv(self, &local, 1, remote, count, 0) != static_cast<ssize_t>(count)) return false;
        if (write && process_vm_writev(self, &local, 1, remote, count, 0) != static_cast<ssize_t>(count)) {
            return false;
        }
    }
    return true;
}

NTSTATUS ProbeUserBuffers(const IRP &irp, const void *input, ULONG input_length, const void *output,
                          ULONG output_length, bool output_written) {
    if (irp.RequestorMode != UserMode) return STATUS_SUCCESS;
    if (!ProbeUserBuffer(input, input_length, false) || !ProbeUserBuffer(output, output_length, output_written))
        return STATUS_ACCESS_VIOLATION;
    return STATUS_SUCCESS;
}

NTSTATUS AllocateSystemBuffer(IRP &irp, ULONG length, const void *input, ULONG input_length) {
    auto *buffer = static_cast<char *>(AllocatePool(NonPagedPool, length, kBufferTag, nullptr, "IoBuildRequest"));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (input_length > 0) std::memcpy(buffer, input, input_length);
    // Zero the rest, so that no stale kernel memory reaches the caller.
    std::memset(buffer + input_length, 0, length - input_length);
    irp.AssociatedIrp.SystemBuffer = buffer;
    irp.Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return STATUS_SUCCESS;
}

NTSTATUS LockBuffer(IRP &irp, PVOID buffer, ULONG length, LOCK_OPERATION operation) {
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, &irp);
    if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    MmProbeAndLockPages(mdl, irp.RequestorMode, operation);
    return STATUS_SUCCESS;
}

// Buffers of a device control request, by the transfer method of its code.
NTSTATUS SetUpControlBuffers(IRP &irp, PIO_STACK_LOCATION stack, ULONG code, PVOID input, ULONG input_length,
                             PVOID output, ULONG output_length, BufferPlan *plan) {
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = input_length;
    stack->Parameters.DeviceIoControl.OutputBufferLength = output_length;
    irp.UserBuffer = output;
    plan->limit = output_length;
    if (METHOD_FROM_CTL_CODE(code) != METHOD_NEITHER) {
        // In-direct output is only read by the transfer; out-direct and
        // buffered output receive data.
        NTSTATUS status = ProbeUserBuffers(irp, input, input_length, output, output_length,
                                           METHOD_FROM_CTL_CODE(code) != METHOD_IN_DIRECT);
        if (!NT_SUCCESS(status)) return status;
    }
    switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: {
        ULONG length = input_length > output_length ? input_length : output_length;
        if (length == 0) return STATUS_SUCCESS;
        NTSTATUS status = AllocateSystemBuffer(irp, length, input, input_length);
        if (!NT_SUCCESS(status)) return status;
        if (output_length > 0) {
            irp.Flags |= IRP_INPUT_OPERATION;
            plan->copy_out = output;
        }
        return STATUS_SUCCESS;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT: {
        if (input_length > 0) {
            NTSTATUS status = AllocateSystemBuffer(irp, input_length, input, input_length);
            if (!NT_SUCCESS(status)) return status;
        }
        if (output_length == 0) return STATUS_SUCCESS;
        return LockBuffer(irp, output, output_length,
                          METHOD_FROM_CTL_CODE(code) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
    }
    default:  // METHOD_NEITHER: the driver gets the caller's addresses and reports what it likes
        stack->Parameters.DeviceIoControl.Type3InputBuffer = input;
        plan->limit = ~ULONG_PTR{0};
        return STATUS_SUCCESS;
    }
}

// Buffers of a read or write, by the I/O method of the target device.
NTSTATUS SetUpTransferBuffers(IRP &irp, const DEVICE_OBJECT &target, bool read, PVOID buffer, ULONG length,
                              BufferPlan *plan) {
    irp.UserBuffer = buffer;
    plan->limit = length;
    if (length == 0) return STATUS_SUCCESS;
    if ((target.Flags & (DO_BUFFERED_IO | DO_DIRECT_IO)) != 0) {
        NTSTATUS status = ProbeUserBuffers(irp, nullptr, 0, buffer, length, read);
        if (!NT_SUCCESS(status)) return status;
    }
    if ((target.Flags & DO_BUFFERED_IO) != 0) {
        NTSTATUS status = AllocateSystemBuffer(irp, length, read ? nullptr : buffer, read ? 0 : length);
        if (!NT_SUCCESS(status)) return status;
        if (read) {
            irp.Flags |= IRP_INPUT_OPERATION;
            plan->copy_out = buffer;
        }
        return STATUS_SUCCESS;
    }
    if ((target.Flags & DO_DIRECT_IO) != 0) return LockBuffer(irp, buffer, length, read ? IoWriteAccess : IoReadAccess);
    return STATUS_SUCCESS;
}

// A request the dispatch routine did not leave pending: its caller gets
// what the routine returned, and that must be the status it completed the
// IRP with (the caller's status block and its return value would disagree).
NTSTATUS CheckedStatusAfterCall(NTSTATUS returned, const Outcome &outcome, UCHAR major) {
    if (!outcome.finished.load(std::memory_order_acquire)) {
        VerifierFailure("the dispatch routine for %s returned 0x%08X without completing the IRP (only "
                        "STATUS_PENDING leaves an IRP to be completed later)",
                        MajorFunctionName(major), static_cast<unsigned>(returned));
    }
    if (returned != outcome.status.Status) {
        VerifierFailure("the dispatch routine for %s returned 0x%08X but completed the IRP with status 0x%08X",
                        MajorFunctionName(major), static_cast<unsigned>(returned),
                        static_cast<unsigned>(outcome.status.Status));
    }
    return returned;
}

// The file object lock of a file opened for synchronous I/O: one request
// at a time, the others wait their turn, and the handle's close waits for
// the request in progress. Busy says the lock is taken, Waiters counts the
// threads that want it and Lock, a synchronization event, wakes one of
// them, as the I/O manager uses these fields.
void LockFileObject(FILE_OBJECT &object) {
    __atomic_add_fetch(&object.Waiters, 1, __ATOMIC_SEQ_CST);
    for (;;) {
        ULONG expected = 0;
        if (__atomic_compare_exchange_n(&object.Busy, &expected, 1, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) break;
        KeWaitForSingleObject(&object.Lock, Executive, KernelMode, FALSE, nullptr);
    }
    __atomic_sub_fetch(&object.Waiters, 1, __ATOMIC_SEQ_CST);
}

void UnlockFileObject(FILE_OBJECT &object) {
    __atomic_store_n(&object.Busy, 0, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&object.Waiters, __ATOMIC_SEQ_CST) != 0) KeSetEvent(&object.Lock, IO_NO_INCREMENT, FALSE);
}

// Sends create, cleanup or close for the file and waits for it.
NTSTATUS SendFileRequest(FileState &file, UCHAR major, const std::function<void(IO_STACK_LOCATION &)> &configure) {
    RequireIrqlAtMost(PASSIVE_LEVEL, MajorFunctionName(major));
    DEVICE_OBJECT *top = ReferenceAttachedTop(file.device);
    auto outcome = std::make_shared<SynchronousOutcome>();
    IRP *irp = AllocateIrp(top->StackSize, nullptr, std::make_unique<SynchronousPacket>(outcome), "IoCreateFile");
    if (irp == nullptr) {
        DereferenceDevice(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->RequestorMode = UserMode;
    irp->Flags = IRP_SYNCHRONOUS_API | (major == IRP_MJ_CREATE ? IRP_CREATE_OPERATION : 0) |
                 (major == IRP_MJ_CLOSE ? IRP_CLOSE_OPERATION : 0);
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = &file.object;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = &file.object;
    if (configure) configure(*stack);
    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&outcome->event, Executive, KernelMode, FALSE, nullptr);
        status = outcome->status.Status;
    } else {
        status = CheckedStatusAfterCall(status, *outcome, major);
    }
    DereferenceDevice(top);
    return status;
}

void CloseAndFree(FileState *file) {
    if (file->created) SendFileRequest(*file, IRP_MJ_CLOSE, nullptr);
    EndOpen(file->device);
    DereferenceDevice(file->device);
    delete file;
}

// A thread that ends takes its requests with it: they are cancelled, and
// the thread ends only once they have completed (bounded; see CancelIrps).
void CancelThreadIo(ULONG thread_id) {
    char who[64];
    std::snprintf(who, sizeof who, "thread %u, ending,", thread_id);
    size_t cancelled = CancelIrps([thread_id](const IoPacket &packet) { return packet.RequestingThread() == thread_id; },
                                  CancelWait::UntilCompleted, who);
    if (cancelled > 0) Log("thread %u ended with %zu request(s) in flight: cancelled", thread_id, cancelled);
}

const bool g_thread_hook_installed = (SetThreadExitHook(&CancelThreadIo), true);

NTSTATUS SendUserRequest(FileState &file, const syscall::IoRequest &request,
                         std::shared_ptr<syscall::IoCompletion> completion) {
    using syscall::IoRequest;
    UCHAR major = request.kind == IoRequest::Kind::DeviceControl ? IRP_MJ_DEVICE_CONTROL
                  : request.kind == IoRequest::Kind::Read        ? IRP_MJ_READ
                                                                 : IRP_MJ_WRITE;
    DEVICE_OBJECT *top = ReferenceAttachedTop(file.device);
    auto outcome = std::make_shared<Outcome>();
    auto owned = std::make_unique<UserPacket>(&file, std::move(completion), request.key, major, outcome);
    UserPacket *packet = owned.get();
    IRP *irp = AllocateIrp(top->StackSize, nullptr, std::move(owned), MajorFunctionName(major));
    if (irp == nullptr) {
        DereferenceDevice(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = &file.object;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = &file.object;
    NTSTATUS status;
    if (major == IRP_MJ_DEVICE_CONTROL) {
        status = SetUpControlBuffers(*irp, stack, request.control_code, request.input, request.input_length,
                                     request.output, request.output_length, &packet->plan);
    } else {
        bool read = major == IRP_MJ_READ;
        irp->Flags |= read ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
        stack->Parameters.Read.Length = request.output_length;
        stack->Parameters.Read.ByteOffset.QuadPart = request.byte_offset;
        status = SetUpTransferBuffers(*irp, *top, read, request.output, request.output_length, &packet->plan);
    }
    if (!NT_SUCCESS(status)) {
        DiscardUnsentIrp(irp);
        DereferenceDevice(top);
        return status;
    }
    AddFileReference(file);  // the IRP's
    const bool synchronous = IsSynchronousFile(file);
    if (synchronous) KeClearEvent(&file.object.Event);
    status = IoCallDriver(top, irp);
    DereferenceDevice(top);
    if (status != STATUS_PENDING) return CheckedStatusAfterCall(status, *outcome, major);
    if (!synchronous) return STATUS_PENDING;
    KeWaitForSingleObject(&file.object.Event, Executive, UserMode, FALSE, nullptr);
    return outcome->status.Status;
}

}  // namespace

namespace syscall {

struct File {
    FileState *state;
};

NTSTATUS OpenFile(const OpenRequest &request, File **file) {
    *file = nullptr;
    DEVICE_OBJECT *device = nullptr;
    std::u16string remainder;
    NTSTATUS status = ReferenceDeviceByPath(request.path, &device, &remainder);
    if (!NT_SUCCESS(status)) {
        Log("open %s: 0x%08X", tm350::text::Utf16ToUtf8(request.path).c_str(), static_cast<unsigned>(status));
        return status;
    }
    status = BeginOpen(device);
    if (!NT_SUCCESS(status)) {
        DereferenceDevice(device);
        return status;
    }
    auto *state = new FileState;
    state->device = device;
    state->file_name = remainder;
    FILE_OBJECT &object = state->object;
    object.Type = kIoTypeFile;
    object.Size = sizeof(FILE_OBJECT);
    object.DeviceObject = device;
    state->synchronous = request.synchronous;
    object.Flags = request.synchronous ? FO_SYNCHRONOUS_IO : 0;
    object.ReadAccess = (request.desired_access & (GENERIC_READ | FILE_READ_DATA)) != 0;
    object.WriteAccess = (request.desired_access & (GENERIC_WRITE | FILE_WRITE_DATA)) != 0;
    object.SharedRead = (request.share_access & FILE_SHARE_READ) != 0;
    object.SharedWrite = (request.share_access & FILE_SHARE_WRITE) != 0;
    object.SharedDelete = (request.share_access & FILE_SHARE_DELETE) != 0;
    object.FileName.Buffer = reinterpret_cast<PWSTR>(state->file_name.data());
    object.FileName.Length = static_cast<USHORT>(state->file_name.size() * sizeof(WCHAR));
    object.FileName.MaximumLength = object.FileName.Length;
    KeInitializeEvent(&object.Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&object.Event, NotificationEvent, FALSE);
    InitializeListHead(&object.IrpList);
    object.FileObjectExtension = state;

    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = request.desired_access;
    security.FullCreateOptions = request.options;
    status = SendFileRequest(*state, IRP_MJ_CREATE, [&](IO_STACK_LOCATION &stack) {
        stack.Parameters.Create.SecurityContext = &security;
        stack.Parameters.Create.Options = (request.disposition << 24) | (request.options & 0x00ffffff);
        stack.Parameters.Create.FileAttributes = static_cast<USHORT>(request.attributes);
        stack.Parameters.Create.ShareAccess = static_cast<USHORT>(request.share_access);
    });
    Log("open %s: IRP_MJ_CREATE 0x%08X", tm350::text::Utf16ToUtf8(request.path).c_str(), static_cast<unsigned>(status));
    if (!NT_SUCCESS(status)) {
        // A failed create is not closed: the driver never had the file.
        CloseAndFree(state);
        return status;
    }
    state->created = true;
    object.Flags |= FO_HANDLE_CREATED;
    *file = new File{state};
    return status;
}

void CleanupFile(File *file) {
    FileState *state = file->state;
    delete file;
    const bool synchronous = IsSynchronousFile(*state);
    if (synchronous) LockFileObject(state->object);
    SendFileRequest(*state, IRP_MJ_CLEANUP, nullptr);
    __atomic_fetch_or(&state->object.Flags, FO_CLEANUP_COMPLETE, __ATOMIC_RELEASE);
    if (synchronous) UnlockFileObject(state->object);
    DereferenceFile(state, DropContext::Caller);
}

File *ReferenceFile(File *file) {
    AddFileReference(*file->state);
    return new File{file->state};
}

void ReleaseFile(File *file) {
    FileState *state = file->state;
    delete file;
    DereferenceFile(state, DropContext::Caller);
}

NTSTATUS SubmitIo(File *handle, const IoRequest &request, std::shared_ptr<IoCompletion> completion) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "NtDeviceIoControlFile");
    if ((request.input_length > 0 && request.input == nullptr) ||
        (request.output_length > 0 && request.output == nullptr)) {
        return STATUS_ACCESS_VIOLATION;
    }
    FileState &file = *handle->state;
    const bool synchronous = IsSynchronousFile(file);
    if (synchronous) LockFileObject(file.object);
    NTSTATUS status = SendUserRequest(file, request, std::move(completion));
    if (synchronous) UnlockFileObject(file.object);
    return status;
}

size_t CancelIo(File *handle, ULONG thread_id, const void *key, CancelMode mode) {
    FileState *file = handle->state;
    return CancelIrps(
        [=](const IoPacket &packet) {
            auto *request = dynamic_cast<const UserPacket *>(&packet);
            return request != nullptr && request->file == file &&
                   (thread_id == 0 || request->RequestingThread() == thread_id) &&
                   (key == nullptr || request->key == key);
        },
        mode == CancelMode::AndWait ? CancelWait::UntilCompleted : CancelWait::No,
        mode == CancelMode::AndWait ? "CancelIo" : "CancelIoEx");
}

}  // namespace syscall

}  // namespace tm350::ntos

using namespace tm350::ntos;

extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                                    PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                                    ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                                    PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    if (!IsDeviceObject(DeviceObject)) {
        VerifierFailure("IoBuildDeviceIoControlRequest for %p, which is not a device object",
                        static_cast<void *>(DeviceObject));
    }
    auto owned = std::make_unique<ThreadedPacket>(IoStatusBlock, Event);
    ThreadedPacket *packet = owned.get();
    packet->internal = InternalDeviceIoControl != FALSE;
    IRP *irp = AllocateIrp(DeviceObject->StackSize, __builtin_return_address(0), std::move(owned),
                           "IoBuildDeviceIoControlRequest");
    if (irp == nullptr) return nullptr;
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    NTSTATUS status = SetUpControlBuffers(*irp, stack, IoControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                                          OutputBufferLength, &packet->plan);
    if (!NT_SUCCESS(status)) {
        DiscardUnsentIrp(irp);
        return nullptr;
    }
    return irp;
}
