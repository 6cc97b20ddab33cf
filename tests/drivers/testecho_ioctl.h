// The control codes and records of the test driver testecho.so, shared by
// the driver and the tests that drive it through DeviceIoControl.
#pragma once

#include <devioctl.h>

// Devices: "\Device\TestEcho0" (direct I/O, link "\DosDevices\TESTECHO0"),
// "\Device\TestEchoBuffered0" (buffered I/O, link "\DosDevices\TESTECHOB0"),
// and a stack: "\Device\TestLower0" with an unnamed device attached on top
// (link "\DosDevices\TESTSTACK0").

// Copies the input to the output; Information = min(in, out).
#define IOCTL_ECHO_BUFFERED CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_ECHO_IN_DIRECT CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_IN_DIRECT, FILE_ANY_ACCESS)
#define IOCTL_ECHO_OUT_DIRECT CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
#define IOCTL_ECHO_NEITHER CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_NEITHER, FILE_ANY_ACCESS)
// Input: a TEST_COMPLETION record. Marks the request pending and completes
// it from the driver's own thread at DISPATCH_LEVEL after delay_ms, with
// status and information (output bytes filled with 0x5A).
#define IOCTL_COMPLETE_LATER CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS)
// With delay_ms TEST_COMPLETE_ON_RELEASE, the request is held until
// IOCTL_RELEASE_HELD.
#define TEST_COMPLETE_ON_RELEASE 0xFFFFFFFFu
// Queues the request with a cancel routine until IOCTL_COMPLETE_QUEUED or
// a cancel ends it.
#define IOCTL_QUEUE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x805, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Like IOCTL_QUEUE, but a cancel only holds the request: it completes with
// STATUS_CANCELLED at IOCTL_RELEASE_HELD.
#define IOCTL_QUEUE_HOLD_CANCEL CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80B, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Completes every held request; output: ULONG count released.
#define IOCTL_RELEASE_HELD CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80C, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Input: ULONG n. Succeeds once n requests are held, STATUS_TIMEOUT after 10 s.
#define IOCTL_WAIT_HELD CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80D, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Input: ULONG n. Succeeds once n threads wait for the file object of the
// first held request (FILE_OBJECT.Waiters), STATUS_TIMEOUT after 10 s.
#define IOCTL_WAIT_FILE_WAITERS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80E, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Completes every queued request (reads included) with STATUS_SUCCESS;
// output: ULONG count completed.
#define IOCTL_COMPLETE_QUEUED CTL_CODE(FILE_DEVICE_UNKNOWN, 0x806, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Output: TEST_COUNTS of the device.
#define IOCTL_GET_COUNTS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x807, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Input: NTSTATUS; completes at once with it and 0 bytes.
#define IOCTL_FAIL_WITH CTL_CODE(FILE_DEVICE_UNKNOWN, 0x808, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Input: ULONG 1 to queue reads (IRP_MJ_READ) like IOCTL_QUEUE, 0 to serve them at once.
#define IOCTL_SET_READ_QUEUEING CTL_CODE(FILE_DEVICE_UNKNOWN, 0x809, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Allocates 64 bytes tagged "Leak" and forgets them.
#define IOCTL_LEAK_POOL CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80A, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Rule breakers, for the verifier's tests.
#define IOCTL_BAD_PENDING_UNMARKED CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_BAD_COMPLETE_TWICE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x811, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_BAD_COMPLETE_WITH_PENDING CTL_CODE(FILE_DEVICE_UNKNOWN, 0x812, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_BAD_TOO_MUCH_INFORMATION CTL_CODE(FILE_DEVICE_UNKNOWN, 0x813, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_BAD_NOT_COMPLETED CTL_CODE(FILE_DEVICE_UNKNOWN, 0x814, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_BAD_RETURN_AT_DISPATCH CTL_CODE(FILE_DEVICE_UNKNOWN, 0x815, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Queued; a cancel forgets the request instead of completing it.
#define IOCTL_BAD_FORGET_CANCELLED CTL_CODE(FILE_DEVICE_UNKNOWN, 0x816, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Keeps the system address of the output buffer's MDL; the next request
// writes there, after the first has completed.
#define IOCTL_BAD_KEEP_MAPPING CTL_CODE(FILE_DEVICE_UNKNOWN, 0x818, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
#define IOCTL_BAD_WRITE_KEPT CTL_CODE(FILE_DEVICE_UNKNOWN, 0x819, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Completes with STATUS_SUCCESS and returns STATUS_UNSUCCESSFUL.
#define IOCTL_BAD_RETURN_OTHER_STATUS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x817, METHOD_BUFFERED, FILE_ANY_ACCESS)

// The stack: the upper device reaches the lower one in different ways;
// the lower echoes (input to output), pending and completing from its
// thread when the first input byte is 'P'. The upper adds 1 to the first
// output byte on the paths where it finishes the request itself.
#define IOCTL_STACK_SKIP CTL_CODE(FILE_DEVICE_UNKNOWN, 0x820, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_STACK_COPY_AND_WAIT CTL_CODE(FILE_DEVICE_UNKNOWN, 0x821, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_STACK_COPY_AND_PROPAGATE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x822, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_STACK_OWN_IRP CTL_CODE(FILE_DEVICE_UNKNOWN, 0x823, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_STACK_BUILT_REQUEST CTL_CODE(FILE_DEVICE_UNKNOWN, 0x824, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_LOWER_ECHO CTL_CODE(FILE_DEVICE_UNKNOWN, 0x830, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef struct _TEST_COMPLETION {
    unsigned int delay_ms;
    int status;
    unsigned int information;
} TEST_COMPLETION;

typedef struct _TEST_COUNTS {
    int creates;
    int cleanups;
    int closes;
    int reads;
    int writes;
    int cancels;
} TEST_COUNTS;
