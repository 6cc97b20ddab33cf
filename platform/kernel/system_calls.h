// The crossing from the Win32 half of the platform into the kernel: what
// the system calls behind CreateFile, DeviceIoControl, ReadFile, WriteFile,
// CancelIo and CloseHandle are on Windows. kernel32 includes this and
// nothing else of the kernel; it carries no DDK types.
#pragma once

#include <winnt.h>

#include <memory>
#include <string_view>

EXTERN_C_START
// The Win32 error for an NTSTATUS, as GetLastError reports it.
ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status);
EXTERN_C_END

namespace tm350::ntos::syscall {

// A reference to a kernel file object. OpenFile makes the handle's
// reference, which goes back through CleanupFile when the handle's last
// close comes; an operation takes a reference of its own with ReferenceFile
// for as long as it uses the file (so a concurrent close cannot free it)
// and gives it back with ReleaseFile.
struct File;

// Receives the outcome of one request. Complete is called exactly once,
// in whichever thread completes the request and at its IRQL (possibly
// DISPATCH_LEVEL): it must not block and must not call back into the
// kernel's I/O services.
class IoCompletion {
public:
    virtual ~IoCompletion() = default;
    virtual void Complete(NTSTATUS status, ULONG_PTR information) = 0;
};

struct OpenRequest {
    std::u16string_view path;  // an object path: "\??\NAME" for the Win32 path "\\.\NAME"
    ACCESS_MASK desired_access = 0;
    ULONG share_access = 0;
    ULONG disposition = 1;     // FILE_OPEN
    ULONG options = 0;
    ULONG attributes = 0;
    bool synchronous = true;   // no FILE_FLAG_OVERLAPPED
};

// Opens the device the path names and sends it IRP_MJ_CREATE; waits for
// the create to complete. On failure *file stays null.
NTSTATUS OpenFile(const OpenRequest &request, File **file);

// The handle's last close: sends IRP_MJ_CLEANUP and waits for it, then
// releases the handle's reference. IRP_MJ_CLOSE follows once the last
// reference has gone, that is once the requests still in flight on the
// file have completed.
void CleanupFile(File *file);

File *ReferenceFile(File *file);
void ReleaseFile(File *file);

// One request on a file. The buffers belong to the caller and must stay
// valid until the request completes. `key` identifies the request for
// CancelIo (the caller's OVERLAPPED, or null).
//
// A file opened for synchronous I/O takes one request at a time: the call
// waits for the requests before it, and then for its own to complete.
//
// Returns STATUS_PENDING when the driver left the request pending; the
// completion is called later (or already was). Any other result is the
// request's final status, and the completion has been called with it
// before the return -- unless the request never reached the driver (bad
// parameters, no memory), or the driver failed it at once with an error
// on a file not opened for synchronous I/O: then it is never called, and
// the caller's status block and event stay as they were.
struct IoRequest {
    enum class Kind { DeviceControl, Read, Write } kind;
    ULONG control_code = 0;  // DeviceControl
    PVOID input = nullptr;   // DeviceControl
    ULONG input_length = 0;
    PVOID output = nullptr;  // DeviceControl's output; Read's and Write's buffer
    ULONG output_length = 0;
    LONGLONG byte_offset = 0;  // Read and Write
    const void *key = nullptr;
};
NTSTATUS SubmitIo(File *file, const IoRequest &request, std::shared_ptr<IoCompletion> completion);

// Cancels the requests in flight on the file that were issued by thread
// `thread_id` (0: any thread) and carry `key` (null: any key). AndWait
// returns once they have completed, as CancelIo does; MarkOnly returns at
// once, as CancelIoEx does. Returns how many were found.
enum class CancelMode { MarkOnly, AndWait };
size_t CancelIo(File *file, ULONG thread_id, const void *key, CancelMode mode);

}  // namespace tm350::ntos::syscall
