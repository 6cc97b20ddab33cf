// The Win32 file calls on device paths, end to end through the I/O manager
// into testecho.so: opening by link name, the transfer methods, synchronous
// and overlapped completion, errors, cancellation, close, and the verifier
// catching a driver that breaks the rules.
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include "drivers/testecho_ioctl.h"
#include "kernel/echo_driver.h"
#include "platform/kernel32/kernel32_test_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace tm350::test {
namespace {

constexpr DWORD kStatusCancelled = 0xC0000120;
constexpr DWORD kStatusPending = 0x00000103;
constexpr DWORD kStatusDeviceNotConnected = 0xC000009D;

class Win32DeviceIo : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(driver_.Loaded()); }

    static Handle Open(const char *path, DWORD flags = 0) {
        return Handle(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr));
    }

    static TEST_COUNTS Counts(HANDLE handle) {
        TEST_COUNTS counts{};
        DWORD bytes = 0;
        EXPECT_TRUE(DeviceIoControl(handle, IOCTL_GET_COUNTS, nullptr, 0, &counts, sizeof counts, &bytes, nullptr));
        return counts;
    }

    static void CompleteLater(HANDLE handle, unsigned delay_ms, int status, unsigned information, void *output,
                              DWORD output_length, OVERLAPPED *overlapped, BOOL *result, DWORD *bytes) {
        TEST_COMPLETION request{delay_ms, status, information};
        *result = DeviceIoControl(handle, IOCTL_COMPLETE_LATER, &request, sizeof request, output, output_length, bytes,
                                  overlapped);
    }

    // A request that the driver completes (with success) when the test
    // releases it.
    static BOOL HeldRequest(HANDLE handle, OVERLAPPED *overlapped = nullptr) {
        TEST_COMPLETION request{TEST_COMPLETE_ON_RELEASE, 0, 0};
        DWORD bytes;
        return DeviceIoControl(handle, IOCTL_COMPLETE_LATER, &request, sizeof request, nullptr, 0, &bytes, overlapped);
    }
    // Through another handle: the driver holds `count` requests.
    static bool WaitHeld(HANDLE control, ULONG count) {
        return DeviceIoControl(control, IOCTL_WAIT_HELD, &count, sizeof count, nullptr, 0, nullptr, nullptr) != FALSE;
    }
    // Through another handle: `count` threads wait for the file of the
    // first held request.
    static bool WaitFileWaiters(HANDLE control, ULONG count) {
        return DeviceIoControl(control, IOCTL_WAIT_FILE_WAITERS, &count, sizeof count, nullptr, 0, nullptr,
                               nullptr) != FALSE;
    }
    static ULONG Release(HANDLE control) {
        ULONG released = 0;
        EXPECT_TRUE(DeviceIoControl(control, IOCTL_RELEASE_HELD, nullptr, 0, &released, sizeof released, nullptr,
                                    nullptr));
        return released;
    }

    EchoDriver driver_;
};

TEST_F(Win32DeviceIo, OpensADeviceByItsLinkWithoutRegardToCase) {
    Handle first = Open("\\\\.\\testecho0");
    ASSERT_NE(first.get(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    Handle second = Open("\\\\.\\TestEcho0");
    ASSERT_NE(second.get(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Counts(first).creates, 2);

    SetLastError(0);
    EXPECT_EQ(CreateFileA("\\\\.\\NOSUCHDEVICE", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileW(L"\\\\.\\Device", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileA("\\\\.\\", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_INVALID_NAME);
    EXPECT_EQ(CreateFileA("/tmp/plain-file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_NOT_SUPPORTED);
}

TEST_F(Win32DeviceIo, TheLastCloseSendsCleanupAndClose) {
    Handle observer = Open("\\\\.\\TESTECHO0");
    HANDLE handle = CreateFileA("\\\\.\\TESTECHO0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE duplicate = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &duplicate, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    CloseHandle(handle);
    EXPECT_EQ(Counts(observer).cleanups, 0);  // the duplicate still names the file
    CloseHandle(duplicate);
    TEST_COUNTS counts = Counts(observer);
    EXPECT_EQ(counts.cleanups, 1);
    EXPECT_EQ(counts.closes, 1);
    EXPECT_FALSE(DeviceIoControl(duplicate, IOCTL_GET_COUNTS, nullptr, 0, &counts, sizeof counts, nullptr, nullptr));
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
}

TEST_F(Win32DeviceIo, EveryTransferMethodEchoesTheInput) {
    Handle device = Open("\\\\.\\TESTECHO0");
    for (DWORD code : {IOCTL_ECHO_BUFFERED, IOCTL_ECHO_IN_DIRECT, IOCTL_ECHO_OUT_DIRECT, IOCTL_ECHO_NEITHER}) {
        char input[] = "camera register";
        char output[32];
        std::memset(output, '-', sizeof output);
        DWORD bytes = 0;
        ASSERT_TRUE(DeviceIoControl(device, code, input, 6, output, 10, &bytes, nullptr)) << std::hex << code;
        EXPECT_EQ(bytes, 6u);
        EXPECT_EQ(std::string(output, 7), "camera-");  // nothing written past what the driver reported
        ASSERT_TRUE(DeviceIoControl(device, code, input, sizeof input, output, 4, &bytes, nullptr));
        EXPECT_EQ(bytes, 4u);
        EXPECT_EQ(std::string(output, 4), "came");
        ASSERT_TRUE(DeviceIoControl(device, code, nullptr, 0, nullptr, 0, &bytes, nullptr));
        EXPECT_EQ(bytes, 0u);
    }
    DWORD bytes;
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_ECHO_BUFFERED, nullptr, 8, nullptr, 0, &bytes, nullptr));
    EXPECT_LAST_ERROR(ERROR_NOACCESS);
}

// A buffer the caller cannot read, or cannot write where the request
// returns data, fails the call with ERROR_NOACCESS before the driver sees it.
TEST_F(Win32DeviceIo, BuffersTheCallerCannotAccessFailTheCall) {
    Handle device = Open("\\\\.\\TESTECHO0");
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    auto *pages = static_cast<char *>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    char *read_only = pages;
    char *no_access = pages + page;
    ASSERT_EQ(mprotect(read_only, page, PROT_READ), 0);
    ASSERT_EQ(mprotect(no_access, page, PROT_NONE), 0);
    char input[] = "camera";
    char output[8];
    DWORD bytes;
    for (DWORD code : {IOCTL_ECHO_BUFFERED, IOCTL_ECHO_OUT_DIRECT}) {
        EXPECT_FALSE(DeviceIoControl(device, code, input, 6, read_only, 6, &bytes, nullptr)) << std::hex << code;
        EXPECT_LAST_ERROR(ERROR_NOACCESS);
    }
    for (DWORD code : {IOCTL_ECHO_BUFFERED, IOCTL_ECHO_IN_DIRECT, IOCTL_ECHO_OUT_DIRECT}) {
        EXPECT_FALSE(DeviceIoControl(device, code, no_access, 6, output, 6, &bytes, nullptr)) << std::hex << code;
        EXPECT_LAST_ERROR(ERROR_NOACCESS);
    }
    // Every page a buffer spans is probed, not only its first.
    for (DWORD code : {IOCTL_ECHO_BUFFERED, IOCTL_ECHO_IN_DIRECT}) {
        EXPECT_FALSE(DeviceIoControl(device, code, no_access - 3, 6, output, 6, &bytes, nullptr)) << std::hex << code;
        EXPECT_LAST_ERROR(ERROR_NOACCESS);
    }
    EXPECT_FALSE(ReadFile(device, read_only, 6, &bytes, nullptr));
    EXPECT_LAST_ERROR(ERROR_NOACCESS);
    EXPECT_TRUE(WriteFile(device, read_only, 6, &bytes, nullptr));
    munmap(pages, 2 * page);
}

TEST_F(Win32DeviceIo, DriverStatusesBecomeWin32Errors) {
    Handle device = Open("\\\\.\\TESTECHO0");
    struct {
        DWORD status;
        DWORD error;
    } const cases[] = {
        {0xC0000120, ERROR_OPERATION_ABORTED},   {0xC000000D, ERROR_INVALID_PARAMETER},
        {0xC0000010, ERROR_INVALID_FUNCTION},    {0xC0000023, ERROR_INSUFFICIENT_BUFFER},
        {0xC000009D, ERROR_DEVICE_NOT_CONNECTED}, {0xC0000056, ERROR_ACCESS_DENIED},
        {0xC0000001, ERROR_GEN_FAILURE},         {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},
        {0xC00000B5, ERROR_SEM_TIMEOUT},         {0xC000009C, ERROR_CRC},
    };
    for (const auto &entry : cases) {
        DWORD bytes = 99;
        EXPECT_FALSE(DeviceIoControl(device, IOCTL_FAIL_WITH, const_cast<DWORD *>(&entry.status), sizeof entry.status,
                                     nullptr, 0, &bytes, nullptr));
        EXPECT_LAST_ERROR(entry.error);
        EXPECT_EQ(bytes, 0u);
    }
    EXPECT_FALSE(DeviceIoControl(device, 0x00229999, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_LAST_ERROR(ERROR_INVALID_FUNCTION);
}

TEST_F(Win32DeviceIo, ASynchronousHandleWaitsForAPendingRequest) {
    Handle device = Open("\\\\.\\TESTECHO0");
    unsigned char output[8] = {};
    BOOL result;
    DWORD bytes = 0;
    CompleteLater(device, 30, 0, 4, output, sizeof output, nullptr, &result, &bytes);
    EXPECT_TRUE(result);
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(output[0], 0x5A);
    EXPECT_EQ(output[4], 0);
}

TEST_F(Win32DeviceIo, AnOverlappedRequestReportsPendingAndCompletesThroughItsEvent) {
    Handle device = Open("\\\\.\\TESTECHO0", FILE_FLAG_OVERLAPPED);
    Handle event(CreateEventA(nullptr, TRUE, TRUE, nullptr));  // signalled: the call must reset it
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    Handle control = Open("\\\\.\\TESTECHO0");
    unsigned char output[8] = {};
    BOOL result;
    DWORD bytes = 0;
    CompleteLater(device, TEST_COMPLETE_ON_RELEASE, 0, 3, output, sizeof output, &overlapped, &result, &bytes);
    EXPECT_FALSE(result);
    EXPECT_LAST_ERROR(ERROR_IO_PENDING);
    EXPECT_FALSE(HasOverlappedIoCompleted(&overlapped));
    EXPECT_FALSE(GetOverlappedResult(device, &overlapped, &bytes, FALSE));
    EXPECT_LAST_ERROR(ERROR_IO_INCOMPLETE);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(Release(control), 1u);
    ASSERT_EQ(WaitForSingleObject(event, kPromptly), WAIT_OBJECT_0);
    EXPECT_TRUE(HasOverlappedIoCompleted(&overlapped));
    EXPECT_EQ(overlapped.Internal, 0u);
    EXPECT_EQ(overlapped.InternalHigh, 3u);
    EXPECT_TRUE(GetOverlappedResult(device, &overlapped, &bytes, FALSE));
    EXPECT_EQ(bytes, 3u);
    EXPECT_EQ(output[2], 0x5A);
}

TEST_F(Win32DeviceIo, AnOverlappedRequestTheDriverCompletesAtOnceReturnsTrue) {
    Handle device = Open("\\\\.\\TESTECHO0", FILE_FLAG_OVERLAPPED);
    Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    char output[4];
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(device, IOCTL_ECHO_BUFFERED, const_cast<char *>("abc"), 3, output, 4, &bytes,
                                &overlapped));
    EXPECT_EQ(bytes, 3u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    // Without an OVERLAPPED, an overlapped handle's request still finishes before the call returns.
    TEST_COMPLETION request{30, 0, 2};
    EXPECT_TRUE(DeviceIoControl(device, IOCTL_COMPLETE_LATER, &request, sizeof request, output, 4, &bytes, nullptr));
    EXPECT_EQ(bytes, 2u);
}

TEST_F(Win32DeviceIo, WithoutAnEventTheFileHandleIsSignalledAndFailuresArriveThere) {
    Handle device = Open("\\\\.\\TESTECHO0", FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped{};
    BOOL result;
    DWORD bytes;
    CompleteLater(device, 20, static_cast<int>(0xC000009D), 0, nullptr, 0, &overlapped, &result, &bytes);
    ASSERT_FALSE(result);
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(GetOverlappedResult(device, &overlapped, &bytes, TRUE));
    EXPECT_LAST_ERROR(ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(overlapped.Internal, 0xC000009Du);
    EXPECT_EQ(WaitForSingleObject(device, 0), WAIT_OBJECT_0);
}

TEST_F(Win32DeviceIo, CancelIoExCancelsOneRequestAndCancelIoThoseOfTheCallingThread) {
    Handle device = Open("\\\\.\\TESTECHO0", FILE_FLAG_OVERLAPPED);
    Handle first_event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Handle second_event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED first{}, second{};
    first.hEvent = first_event;
    second.hEvent = second_event;
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_QUEUE, nullptr, 0, nullptr, 0, nullptr, &first));
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_QUEUE, nullptr, 0, nullptr, 0, nullptr, &second));
    EXPECT_TRUE(CancelIoEx(device, &first));
    ASSERT_EQ(WaitForSingleObject(first_event, kPromptly), WAIT_OBJECT_0);
    DWORD bytes;
    EXPECT_FALSE(GetOverlappedResult(device, &first, &bytes, FALSE));
    EXPECT_LAST_ERROR(ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(CancelIoEx(device, &first));
    EXPECT_LAST_ERROR(ERROR_NOT_FOUND);

    // Another thread's CancelIo leaves this thread's request alone.
    Handle other(StartThread([&] { return CancelIo(device) ? 0u : 1u; }));
    ASSERT_EQ(WaitForSingleObject(other, kPromptly), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(second_event, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(CancelIo(device));
    ASSERT_EQ(WaitForSingleObject(second_event, kPromptly), WAIT_OBJECT_0);
    EXPECT_EQ(second.Internal, kStatusCancelled);
    EXPECT_EQ(Counts(device).cancels, 2);
}

TEST_F(Win32DeviceIo, AThreadThatEndsHasItsRequestsCancelled) {
    Handle device = Open("\\\\.\\TESTECHO0", FILE_FLAG_OVERLAPPED);
    Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    Handle issuer(StartThread([&] {
        return DeviceIoControl(device, IOCTL_QUEUE, nullptr, 0, nullptr, 0, nullptr, &overlapped) ? 1u : 0u;
    }));
    ASSERT_EQ(WaitForSingleObject(issuer, kPromptly), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(event, kPromptly), WAIT_OBJECT_0);
    EXPECT_EQ(overlapped.Internal, kStatusCancelled);
}

TEST_F(Win32DeviceIo, CancelIoReturnsOnlyOnceTheCancelledRequestsHaveCompleted) {
    Handle device = Open("\\\\.\\TESTECHO0", FILE_FLAG_OVERLAPPED);
    Handle control = Open("\\\\.\\TESTECHO0");
    Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    std::atomic<ULONG_PTR> status_after_cancel{0};
    Handle canceller(StartThread([&] {
        if (DeviceIoControl(device, IOCTL_QUEUE_HOLD_CANCEL, nullptr, 0, nullptr, 0, nullptr, &overlapped)) return 1u;
        if (!CancelIo(device)) return 2u;
        status_after_cancel = overlapped.Internal;
        return 0u;
    }));
    ASSERT_TRUE(WaitHeld(control, 1));  // cancelled; the driver completes it when told
    EXPECT_EQ(WaitForSingleObject(canceller, 200), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(Release(control), 1u);
    ASSERT_EQ(WaitForSingleObject(canceller, kPromptly), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeThread(canceller, &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(status_after_cancel.load(), kStatusCancelled);
}

TEST_F(Win32DeviceIo, CancelIoExReturnsWithoutWaitingForTheRequest) {
    Handle device = Open("\\\\.\\TESTECHO0", FILE_FLAG_OVERLAPPED);
    Handle control = Open("\\\\.\\TESTECHO0");
    Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_QUEUE_HOLD_CANCEL, nullptr, 0, nullptr, 0, nullptr, &overlapped));
    Handle canceller(StartThread([&] { return CancelIoEx(device, &overlapped) ? 0u : 1u; }));
    EXPECT_EQ(WaitForSingleObject(canceller, kPromptly), WAIT_OBJECT_0);
    ASSERT_TRUE(WaitHeld(control, 1));
    EXPECT_FALSE(HasOverlappedIoCompleted(&overlapped));
    EXPECT_EQ(Release(control), 1u);
    ASSERT_EQ(WaitForSingleObject(event, kPromptly), WAIT_OBJECT_0);
    EXPECT_EQ(overlapped.Internal, kStatusCancelled);
}

TEST_F(Win32DeviceIo, AThreadEndsOnlyOnceItsCancelledRequestsHaveCompleted) {
    Handle device = Open("\\\\.\\TESTECHO0", FILE_FLAG_OVERLAPPED);
    Handle control = Open("\\\\.\\TESTECHO0");
    Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    Handle issuer(StartThread([&] {
        return DeviceIoControl(device, IOCTL_QUEUE_HOLD_CANCEL, nullptr, 0, nullptr, 0, nullptr, &overlapped) ? 1u : 0u;
    }));
    ASSERT_TRUE(WaitHeld(control, 1));  // the thread ended and cancelled its request
    EXPECT_EQ(WaitForSingleObject(issuer, 200), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(Release(control), 1u);
    ASSERT_EQ(WaitForSingleObject(issuer, kPromptly), WAIT_OBJECT_0);
    EXPECT_EQ(overlapped.Internal, kStatusCancelled);
}

TEST_F(Win32DeviceIo, ASynchronousHandleTakesOneRequestAtATime) {
    Handle device = Open("\\\\.\\TESTECHO0");
    Handle control = Open("\\\\.\\TESTECHO0");
    Handle first(StartThread([&] { return HeldRequest(device) ? 0u : 1u; }));
    ASSERT_TRUE(WaitHeld(control, 1));
    std::atomic<int> reads_seen{-1};
    Handle second(StartThread([&] {
        char byte;
        DWORD bytes;
        if (!ReadFile(device, &byte, 1, &bytes, nullptr)) return 1u;
        reads_seen = Counts(control).reads;
        return 0u;
    }));
    ASSERT_TRUE(WaitFileWaiters(control, 1));  // the read waits its turn
    EXPECT_EQ(Counts(control).reads, 0);
    EXPECT_EQ(Release(control), 1u);
    ASSERT_EQ(WaitForSingleObject(first, kPromptly), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(second, kPromptly), WAIT_OBJECT_0);
    EXPECT_EQ(reads_seen.load(), 1);
    // An overlapped handle does not queue its requests.
    Handle overlapped_device = Open("\\\\.\\TESTECHO0", FILE_FLAG_OVERLAPPED);
    Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    EXPECT_FALSE(HeldRequest(overlapped_device, &overlapped));
    EXPECT_LAST_ERROR(ERROR_IO_PENDING);
    char byte;
    DWORD bytes;
    OVERLAPPED read{};
    read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(ReadFile(overlapped_device, &byte, 1, &bytes, &read));
    CloseHandle(read.hEvent);
    EXPECT_EQ(Release(control), 1u);
    ASSERT_EQ(WaitForSingleObject(event, kPromptly), WAIT_OBJECT_0);
}

TEST_F(Win32DeviceIo, ClosingASynchronousHandleWaitsForTheRequestInProgress) {
    HANDLE device = CreateFileA("\\\\.\\TESTECHO0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    Handle control = Open("\\\\.\\TESTECHO0");
    Handle first(StartThread([&] { return HeldRequest(device) ? 0u : 1u; }));
    ASSERT_TRUE(WaitHeld(control, 1));
    Handle closer(StartThread([&] { return CloseHandle(device) ? 0u : 1u; }));
    ASSERT_TRUE(WaitFileWaiters(control, 1));
    EXPECT_EQ(Counts(control).cleanups, 0);
    EXPECT_EQ(Release(control), 1u);
    ASSERT_EQ(WaitForSingleObject(closer, kPromptly), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(first, kPromptly), WAIT_OBJECT_0);
    EXPECT_EQ(Counts(control).cleanups, 1);
}

TEST_F(Win32DeviceIo, AnErrorAtOnceLeavesTheOverlappedAndItsEventAlone) {
    Handle device = Open("\\\\.\\TESTECHO0", FILE_FLAG_OVERLAPPED);
    Handle event(CreateEventA(nullptr, TRUE, TRUE, nullptr));  // signalled: the call resets it
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    overlapped.InternalHigh = 1234;
    DWORD failure = kStatusDeviceNotConnected;
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_FAIL_WITH, &failure, sizeof failure, nullptr, 0, nullptr, &overlapped));
    EXPECT_LAST_ERROR(ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(overlapped.Internal, kStatusPending);
    EXPECT_EQ(overlapped.InternalHigh, 1234u);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // Without an event, the file handle is not signalled either.
    OVERLAPPED plain{};
    SetEvent(event);
    ASSERT_TRUE(DeviceIoControl(device, IOCTL_ECHO_BUFFERED, nullptr, 0, nullptr, 0, nullptr, &plain));
    ASSERT_EQ(WaitForSingleObject(device, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_FAIL_WITH, &failure, sizeof failure, nullptr, 0, nullptr, &plain));
    EXPECT_EQ(WaitForSingleObject(device, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // A warning is reported as a success is.
    DWORD warning = 0x80000005;  // STATUS_BUFFER_OVERFLOW
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_FAIL_WITH, &warning, sizeof warning, nullptr, 0, nullptr, &overlapped));
    EXPECT_LAST_ERROR(ERROR_MORE_DATA);
    EXPECT_EQ(overlapped.Internal, warning);
    EXPECT_EQ(overlapped.InternalHigh, 0u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    // On a synchronous handle the error reaches the OVERLAPPED and its event.
    Handle synchronous = Open("\\\\.\\TESTECHO0");
    ResetEvent(event);
    EXPECT_FALSE(DeviceIoControl(synchronous, IOCTL_FAIL_WITH, &failure, sizeof failure, nullptr, 0, nullptr,
                                 &overlapped));
    EXPECT_LAST_ERROR(ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(overlapped.Internal, kStatusDeviceNotConnected);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
}

TEST_F(Win32DeviceIo, ReadsAndWritesUseTheDevicesIoMethod) {
    Handle direct = Open("\\\\.\\TESTECHO0");
    unsigned char data[300];
    OVERLAPPED at{};
    at.Offset = 1000;  // a synchronous handle still takes the offset from the OVERLAPPED
    DWORD bytes = 0;
    ASSERT_TRUE(ReadFile(direct, data, 300, &bytes, &at));
    EXPECT_EQ(bytes, 300u);
    EXPECT_EQ(data[0], static_cast<unsigned char>(1000 & 0xff));
    EXPECT_EQ(data[299], static_cast<unsigned char>((1000 + 299) & 0xff));
    EXPECT_TRUE(ReadFile(direct, data, 0, &bytes, nullptr));
    EXPECT_EQ(bytes, 0u);
    EXPECT_FALSE(ReadFile(direct, data, 1, nullptr, nullptr));
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);

    Handle buffered = Open("\\\\.\\TESTECHOB0");
    ASSERT_TRUE(WriteFile(buffered, "hello", 5, &bytes, nullptr));
    EXPECT_EQ(bytes, 5u);
    char text[16] = {};
    ASSERT_TRUE(ReadFile(buffered, text, sizeof text, &bytes, nullptr));
    EXPECT_EQ(bytes, 5u);
    EXPECT_STREQ(text, "hello");
    TEST_COUNTS counts = Counts(buffered);
    EXPECT_EQ(counts.reads, 1);
    EXPECT_EQ(counts.writes, 1);
}

TEST_F(Win32DeviceIo, OverlappedReadsStayPendingAcrossCloseAndTheFileClosesAfterTheLast) {
    Handle control = Open("\\\\.\\TESTECHO0");
    ULONG on = 1;
    ASSERT_TRUE(DeviceIoControl(control, IOCTL_SET_READ_QUEUEING, &on, sizeof on, nullptr, 0, nullptr, nullptr));
    HANDLE reader = CreateFileA("\\\\.\\TESTECHO0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                                nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    std::vector<Handle> events;
    OVERLAPPED overlapped[3] = {};
    unsigned char buffers[3][64] = {};
    for (int i = 0; i < 3; ++i) {
        events.emplace_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        overlapped[i].hEvent = events.back();
        EXPECT_FALSE(ReadFile(reader, buffers[i], 64, nullptr, &overlapped[i]));
        EXPECT_LAST_ERROR(ERROR_IO_PENDING);
    }
    CloseHandle(reader);  // cleanup now; the reads go on
    TEST_COUNTS counts = Counts(control);
    EXPECT_EQ(counts.cleanups, 1);
    EXPECT_EQ(counts.closes, 0);
    ULONG completed = 0;
    ASSERT_TRUE(DeviceIoControl(control, IOCTL_COMPLETE_QUEUED, nullptr, 0, &completed, sizeof completed, nullptr,
                                nullptr));
    EXPECT_EQ(completed, 3u);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(WaitForSingleObject(events[i], kPromptly), WAIT_OBJECT_0);
        EXPECT_EQ(overlapped[i].InternalHigh, 64u);
        EXPECT_EQ(buffers[i][63], 0x77);
    }
    EchoDriver::FlushSystemWorker();
    EXPECT_EQ(Counts(control).closes, 1);
}

TEST_F(Win32DeviceIo, RequestsReachTheTopOfTheStackAndComeBackThroughIt) {
    Handle stack = Open("\\\\.\\TESTSTACK0");
    ASSERT_NE(stack.get(), INVALID_HANDLE_VALUE);
    struct {
        DWORD code;
        bool upper_adds_one;
    } const paths[] = {
        {IOCTL_STACK_SKIP, false},      {IOCTL_STACK_COPY_AND_WAIT, true}, {IOCTL_STACK_COPY_AND_PROPAGATE, true},
        {IOCTL_STACK_OWN_IRP, true},    {IOCTL_STACK_BUILT_REQUEST, true},
    };
    for (const auto &path : paths) {
        for (char mode : {'S', 'P'}) {
            char input[4] = {mode, 'x', 'y', 'z'};
            char output[4] = {};
            DWORD bytes = 0;
            ASSERT_TRUE(DeviceIoControl(stack, path.code, input, 4, output, 4, &bytes, nullptr))
                << std::hex << path.code << " " << mode;
            EXPECT_EQ(bytes, 4u);
            EXPECT_EQ(output[0], static_cast<char>(mode + (path.upper_adds_one ? 1 : 0))) << std::hex << path.code;
            EXPECT_EQ(std::string(output + 1, 3), "xyz");
        }
    }
}

class Win32DeviceIoRules : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

    // Sends the codes in turn, with the driver loaded once.
    static void Send(std::initializer_list<DWORD> codes) {
        EchoDriver driver;
        HANDLE device = CreateFileA("\\\\.\\TESTECHO0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        for (DWORD code : codes) {
            char buffer[8];
            DWORD bytes;
            DeviceIoControl(device, code, buffer, sizeof buffer, buffer, sizeof buffer, &bytes, nullptr);
        }
        CloseHandle(device);
    }
    static void Send(DWORD code) { Send({code}); }
};

TEST_F(Win32DeviceIoRules, DriverFaultsOnUserRequestsAreFatal) {
    EXPECT_DEATH(Send(IOCTL_BAD_PENDING_UNMARKED), "tm350 verifier: a dispatch routine returned STATUS_PENDING");
    // The address sanitizer already stops the driver's write to the freed IRP.
    EXPECT_DEATH(Send(IOCTL_BAD_COMPLETE_TWICE),
                 "tm350 verifier: IRP 0x[0-9a-f]+ completed twice|AddressSanitizer: use-after-poison");
    EXPECT_DEATH(Send(IOCTL_BAD_COMPLETE_WITH_PENDING), "with IoStatus.Status STATUS_PENDING");
    EXPECT_DEATH(Send(IOCTL_BAD_TOO_MUCH_INFORMATION),
                 "IRP_MJ_DEVICE_CONTROL completed with Information 9, more than the 8 bytes of the caller's buffer");
    EXPECT_DEATH(Send(IOCTL_BAD_NOT_COMPLETED),
                 "the dispatch routine for IRP_MJ_DEVICE_CONTROL returned 0x00000000 without completing the IRP");
    EXPECT_DEATH(Send(IOCTL_BAD_RETURN_AT_DISPATCH), "returned at IRQL 2; it was called at IRQL 0");
    EXPECT_DEATH(
        Send({IOCTL_BAD_KEEP_MAPPING, IOCTL_BAD_WRITE_KEPT}),
        "tm350 verifier: access to 0x[0-9a-f]+, in the system mapping of MDL 0x[0-9a-f]+, after its pages were "
        "unlocked");
    EXPECT_DEATH(Send(IOCTL_BAD_RETURN_OTHER_STATUS),
                 "the dispatch routine for IRP_MJ_DEVICE_CONTROL returned 0xC0000001 but completed the IRP with "
                 "status 0x00000000");
}

// A cancelled request that its driver never completes: the canceller
// waits as long as the I/O manager waits (shortened here), then the
// verifier names the request.
TEST_F(Win32DeviceIoRules, ACancelledRequestThatNeverCompletesIsReported) {
    auto forget = [](bool cancel_io) {
        setenv("TM350_CANCEL_WAIT_MS", "100", 1);
        EchoDriver driver;
        HANDLE device = CreateFileA("\\\\.\\TESTECHO0", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
        OVERLAPPED overlapped{};
        HANDLE thread = StartThread([&] {
            DeviceIoControl(device, IOCTL_BAD_FORGET_CANCELLED, nullptr, 0, nullptr, 0, nullptr, &overlapped);
            if (cancel_io) CancelIo(device);
            return 0u;
        });
        WaitForSingleObject(thread, INFINITE);
    };
    EXPECT_DEATH(forget(true),
                 "tm350 verifier: CancelIo cancelled IRP 0x[0-9a-f]+ \\(IRP_MJ_DEVICE_CONTROL, held by "
                 "\\\\Driver\\\\testecho\\) and waited 100 ms for it to complete; the driver never completed it");
    EXPECT_DEATH(forget(false), "tm350 verifier: thread [0-9]+, ending, cancelled IRP 0x[0-9a-f]+ "
                                "\\(IRP_MJ_DEVICE_CONTROL, held by \\\\Driver\\\\testecho\\) and waited 100 ms");
}

TEST_F(Win32DeviceIoRules, UnloadingWithLeakedPoolOrOpenFilesIsFatal) {
    EXPECT_DEATH(
        {
            EchoDriver driver;
            HANDLE device = CreateFileA("\\\\.\\TESTECHO0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            DeviceIoControl(device, IOCTL_LEAK_POOL, nullptr, 0, nullptr, 0, nullptr, nullptr);
            CloseHandle(device);
        },
        "tm350 verifier: driver \\\\Driver\\\\testecho unloaded without freeing its pool: 'Leak' 1 block\\(s\\) 64 bytes");
    EXPECT_DEATH(
        {
            EchoDriver driver;
            CreateFileA("\\\\.\\TESTECHO0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        },
        "driver \\\\Driver\\\\testecho unloaded while its deleted device object\\(s\\) are still referenced");
}

}  // namespace
}  // namespace tm350::test
