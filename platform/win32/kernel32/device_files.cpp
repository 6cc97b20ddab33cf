// Files on devices: CreateFile on "\\.\NAME", DeviceIoControl, ReadFile,
// WriteFile, GetOverlappedResult, CancelIo and CancelIoEx, carried out by
// the kernel's I/O manager (kernel/system_calls.h is the crossing).
//
// A request on a handle opened without FILE_FLAG_OVERLAPPED, or made
// without an OVERLAPPED, returns only once it has completed. A request
// with an OVERLAPPED on an overlapped handle returns at once: TRUE when the
// driver completed it on the spot, FALSE with ERROR_IO_PENDING otherwise;
// its completion writes Internal (the status) and InternalHigh (the byte
// count) and then signals hEvent, or the file handle when there is none.
// A request that fails at once on an overlapped handle completes nothing:
// Internal keeps the STATUS_PENDING the call put there, InternalHigh and
// the event are left alone, and the error comes back from the call only.
#include <dlfcn.h>

#include <mutex>
#include "kernel32/kernel_objects.h"
#include "kernel32/log.h"
#include "kernel32/threads.h"

#include "common/text.h"
#include "kernel/system_calls.h"

#include <shared_mutex>
#include <utility>
#include <string>

namespace tm350::kernel {
namespace {

namespace sys = tm350::ntos::syscall;

constexpr NTSTATUS kStatusPending = 0x00000103;

bool Succeeded(NTSTATUS status) { return status >= 0; }

void SetLastNtStatus(NTSTATUS status) { SetLastError(RtlNtStatusToDosError(status)); }

// A handle's device file. Waitable like a Windows file object: reset when
// an overlapped request without an event starts, signalled when one
// completes.
class DeviceFile final : public DispatcherObject {
public:
    DeviceFile(sys::File *file, bool overlapped) : file_(file), overlapped_(overlapped) {}
    ~DeviceFile() override {
        if (file_ != nullptr) sys::CleanupFile(file_);
    }

    const char *TypeName() const override { return "File"; }
    bool IsSignalledFor(DWORD) const override { return signalled_; }

    void OnLastHandleClosed() override {
        sys::File *file;
        {
            std::unique_lock lock(mutex_);
            file = std::exchange(file_, nullptr);
        }
        if (file != nullptr) sys::CleanupFile(file);
    }

    bool Overlapped() const { return overlapped_; }

    // A reference for one operation, or null once the handle is closed.
    sys::File *Acquire() {
        std::shared_lock lock(mutex_);
        return file_ != nullptr ? sys::ReferenceFile(file_) : nullptr;
    }

    void Signal() {
        DispatcherLock lock;
        signalled_ = true;
        SignalStateChanged(lock);
    }
    void Reset() {
        DispatcherLock lock;
        signalled_ = false;
    }

private:
    std::shared_mutex mutex_;
    sys::File *file_;  // guarded by mutex_; null once the last handle is closed
    const bool overlapped_;
    bool signalled_ = false;  // guarded by the dispatcher lock
};

// Where a request's outcome goes: the caller's OVERLAPPED and event, and an
// event of its own for callers that wait for the request to finish.
class Completion final : public sys::IoCompletion {
public:
    Completion(std::shared_ptr<DeviceFile> file, LPOVERLAPPED overlapped, std::shared_ptr<EventObject> user_event)
        : file_(std::move(file)), overlapped_(overlapped), user_event_(std::move(user_event)),
          done_(EventType::ManualReset, false) {}

    void Complete(NTSTATUS status, ULONG_PTR information) override {
        status_ = status;
        information_ = information;
        if (overlapped_ != nullptr) {
            overlapped_->InternalHigh = information;
            __atomic_store_n(&overlapped_->Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(status)),
                             __ATOMIC_RELEASE);
        }
        done_.Set();
        if (user_event_ != nullptr) {
            user_event_->Set();
        } else if (overlapped_ != nullptr) {
            file_->Signal();
        }
    }

    bool Done() const { return done_.IsSet(); }
    void Wait() {
        DispatcherObject *objects[] = {&done_};
        WaitForObjects(objects, false, INFINITE);
    }
    NTSTATUS Status() const { return status_; }
    ULONG_PTR Information() const { return information_; }

private:
    std::shared_ptr<DeviceFile> file_;
    LPOVERLAPPED overlapped_;
    std::shared_ptr<EventObject> user_event_;
    EventObject done_;
    NTSTATUS status_ = kStatusPending;  // written before done_ is set, read after
    ULONG_PTR information_ = 0;
};

HANDLE EventHandleOf(const OVERLAPPED *overlapped) {
    // The low bit of hEvent only keeps completion ports out of it.
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR{1});
}

// Runs one request on a handle; `transferred` receives the byte count of a
// request that has completed.
BOOL Submit(HANDLE handle, sys::IoRequest request, LPOVERLAPPED overlapped, LPDWORD transferred) {
    std::shared_ptr<DeviceFile> device = ReferenceObject<DeviceFile>(handle);
    if (device == nullptr) return FALSE;
    std::shared_ptr<EventObject> user_event;
    if (overlapped != nullptr && EventHandleOf(overlapped) != nullptr) {
        user_event = ReferenceObject<EventObject>(EventHandleOf(overlapped));
        if (user_event == nullptr) return FALSE;
    }
    sys::File *file = device->Acquire();
    if (file == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const bool asynchronous = device->Overlapped() && overlapped != nullptr;
    if (overlapped != nullptr) {
        overlapped->Internal = static_cast<ULONG_PTR>(kStatusPending);
        request.key = overlapped;
        if (user_event != nullptr) user_event->Reset();
    }
    if (asynchronous && user_event == nullptr) device->Reset();

    auto completion = std::make_shared<Completion>(device, overlapped, user_event);
    NTSTATUS status = sys::SubmitIo(file, request, completion);
    sys::ReleaseFile(file);
    if (status == kStatusPending) {
        if (asynchronous) {
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        completion->Wait();
    } else if (!completion->Done()) {
        // Refused before it reached the driver, or failed by it at once.
        SetLastNtStatus(status);
        return FALSE;
    }
    status = completion->Status();
    if (transferred != nullptr) *transferred = static_cast<DWORD>(completion->Information());
    if (!Succeeded(status)) {
        SetLastNtStatus(status);
        return FALSE;
    }
    return TRUE;
}

// The directory this library was loaded from, with a trailing slash, or
// empty when it cannot be told.
std::string OwnDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void *>(&OwnDirectory), &info) == 0 || info.dli_fname == nullptr) return {};
    std::string path = info.dli_fname;
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The simulated machine (its bus, cameras and drivers) powers on before the
// first device path is opened, as a real machine has booted before any
// program runs. It lives in a library of its own, found beside this one by
// full path: a bare name would be looked up with the run path of whoever
// calls dlopen, which under a sanitizer runtime is the runtime, not us.
// Without it there are simply no devices.
void BootMachine() {
    static std::once_flag booted;
    std::call_once(booted, [] {
        const std::string path = OwnDirectory() + "libtm350machine.so";
        void *machine = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
        auto boot = machine != nullptr ? reinterpret_cast<void (*)()>(dlsym(machine, "tm350_machine_boot")) : nullptr;
        if (boot == nullptr) {
            Log("no simulated machine: %s", machine == nullptr ? dlerror() : "tm350_machine_boot missing");
            return;
        }
        boot();
    });
}

HANDLE OpenDevice(std::u16string_view path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    constexpr std::u16string_view kDevicePrefix = u"\\\\.\\";
    if (path.substr(0, kDevicePrefix.size()) != kDevicePrefix) {
        Log("CreateFile(%s): only device paths (\\\\.\\NAME) are supported",
            tm350::text::Utf16ToUtf8(path).c_str());
        SetLastError(path.empty() ? ERROR_PATH_NOT_FOUND : ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    // CREATE_NEW .. TRUNCATE_EXISTING become the kernel's dispositions.
    static constexpr ULONG kDispositions[] = {0, 2 /*FILE_CREATE*/, 5 /*FILE_OVERWRITE_IF*/, 1 /*FILE_OPEN*/,
                                              3 /*FILE_OPEN_IF*/, 4 /*FILE_OVERWRITE*/};
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    BootMachine();
    const bool overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
    std::u16string nt_path = u"\\??\\" + std::u16string(path.substr(kDevicePrefix.size()));
    sys::OpenRequest request;
    request.path = nt_path;
    request.desired_access = access;
    request.share_access = share;
    request.disposition = kDispositions[disposition];
    request.options = 0x40 /*FILE_NON_DIRECTORY_FILE*/ | (overlapped ? 0 : 0x20 /*FILE_SYNCHRONOUS_IO_NONALERT*/) |
                      ((flags & FILE_FLAG_WRITE_THROUGH) != 0 ? 0x2 /*FILE_WRITE_THROUGH*/ : 0);
    request.attributes = flags & 0xffff;
    request.synchronous = !overlapped;
    sys::File *file = nullptr;
    NTSTATUS status = sys::OpenFile(request, &file);
    if (!Succeeded(status)) {
        SetLastNtStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = InsertObject(std::make_shared<DeviceFile>(file, overlapped));
    if (handle == nullptr) return INVALID_HANDLE_VALUE;  // the object's destructor cleaned the file up
    Log("CreateFile(%s) = %p%s", tm350::text::Utf16ToUtf8(path).c_str(), handle, overlapped ? " (overlapped)" : "");
    SetLastError(ERROR_SUCCESS);
    return handle;
}

// ReadFile and WriteFile: a byte count or an OVERLAPPED is required, and
// the OVERLAPPED carries the file offset.
BOOL Transfer(sys::IoRequest::Kind kind, HANDLE file, LPVOID buffer, DWORD length, LPDWORD transferred,
              LPOVERLAPPED overlapped) {
    if (transferred != nullptr) *transferred = 0;
    if (transferred == nullptr && overlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    sys::IoRequest request{kind};
    request.output = buffer;
    request.output_length = length;
    if (overlapped != nullptr)
        request.byte_offset = static_cast<LONGLONG>(overlapped->Offset) | static_cast<LONGLONG>(overlapped->OffsetHigh) << 32;
    return Submit(file, request, overlapped, transferred);
}

}  // namespace
}  // namespace tm350::kernel

using namespace tm350::kernel;

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (lpFileName == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return OpenDevice(tm350::text::View(lpFileName), dwDesiredAccess, dwShareMode, dwCreationDisposition,
                      dwFlagsAndAttributes);
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (lpFileName == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // The ANSI code page is UTF-8 on this platform.
    std::u16string name = tm350::text::Utf8ToUtf16(lpFileName);
    return OpenDevice(name, dwDesiredAccess, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
    if (lpBytesReturned != nullptr) *lpBytesReturned = 0;
    tm350::ntos::syscall::IoRequest request{tm350::ntos::syscall::IoRequest::Kind::DeviceControl};
    request.control_code = dwIoControlCode;
    request.input = lpInBuffer;
    request.input_length = nInBufferSize;
    request.output = lpOutBuffer;
    request.output_length = nOutBufferSize;
    return Submit(hDevice, request, lpOverlapped, lpBytesReturned);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    return Transfer(tm350::ntos::syscall::IoRequest::Kind::Read, hFile, lpBuffer, nNumberOfBytesToRead,
                    lpNumberOfBytesRead, lpOverlapped);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    return Transfer(tm350::ntos::syscall::IoRequest::Kind::Write, hFile, const_cast<LPVOID>(lpBuffer),
                    nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped);
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
    if (lpOverlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto status = static_cast<NTSTATUS>(__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE));
    if (status == kStatusPending) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        HANDLE target = EventHandleOf(lpOverlapped) != nullptr ? EventHandleOf(lpOverlapped) : hFile;
        if (WaitForSingleObject(target, INFINITE) == WAIT_FAILED) return FALSE;
        status = static_cast<NTSTATUS>(__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE));
        if (status == kStatusPending) {
            // The handle or event was signalled for another request.
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
    }
    if (lpNumberOfBytesTransferred != nullptr) {
        *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    }
    if (!Succeeded(status)) {
        SetLastNtStatus(status);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CancelIo(HANDLE hFile) {
    std::shared_ptr<DeviceFile> device = ReferenceObject<DeviceFile>(hFile);
    if (device == nullptr) return FALSE;
    tm350::ntos::syscall::File *file = device->Acquire();
    if (file == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Returns once the thread's requests have completed (NtCancelIoFile waits).
    tm350::ntos::syscall::CancelIo(file, CurrentThreadId(), nullptr, tm350::ntos::syscall::CancelMode::AndWait);
    tm350::ntos::syscall::ReleaseFile(file);
    return TRUE;
}

BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
    std::shared_ptr<DeviceFile> device = ReferenceObject<DeviceFile>(hFile);
    if (device == nullptr) return FALSE;
    tm350::ntos::syscall::File *file = device->Acquire();
    if (file == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Only marks the requests: CancelIoEx does not wait for them to complete.
    size_t found = tm350::ntos::syscall::CancelIo(file, 0, lpOverlapped, tm350::ntos::syscall::CancelMode::MarkOnly);
    tm350::ntos::syscall::ReleaseFile(file);
    if (found == 0) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
