// The vexusb driver's own state and the operations its parts share.
#pragma once

#include <ntddk.h>
extern "C" {
#include <usbdi.h>
#include <usbdlib.h>
}

#include "driver/vexusb_interface.h"

// Every allocation of the driver carries the tag "Wdm ".
#define VEXUSB_POOL_TAG ((ULONG)'W' | ((ULONG)'d' << 8) | ((ULONG)'m' << 16) | ((ULONG)' ' << 24))

// Every pipe's maximum transfer size once a configuration or interface is selected.
#define VEXUSB_MAX_TRANSFER 3584000

// The selected interface's information as the USB stack filled it in, shared
// by the device and by each handle opened while it was current. Re-configuring
// replaces the device's copy; the old one lives on until its last handle
// closes, so a handle never points into freed memory and no copy outlives
// every user.
typedef struct _INTERFACE_COPY {
    LONG References;
    ULONG Reserved;
    USBD_INTERFACE_INFORMATION Information;  // variable length: Information.Length bytes
} INTERFACE_COPY, *PINTERFACE_COPY;

// A request this driver sent to the lower device and is waiting for, listed
// in the device extension so that removal can cancel it: a camera that
// never answers must not hold a removal up for ever.
typedef struct _LOWER_REQUEST {
    LIST_ENTRY Link;
    PIRP Irp;
    LONG Cancellers;  // threads cancelling it now, guarded by RequestLock
    UCHAR Cancelled;  // guarded by RequestLock
    KEVENT Done;      // set by the completion routine; the IRP is then the waiter's to free
    KEVENT Released;  // set when the last canceller lets go of it
    KEVENT CallerCancelDone;  // set when the caller's cancel routine is done with it
} LOWER_REQUEST, *PLOWER_REQUEST;

// The state flags (Started, Stopped, Removing, SurpriseRemoved) are set by
// plug-and-play requests and read by other threads without a lock (control
// requests, the resume work item), so they are whole words changed and read
// with interlocked operations.
FORCEINLINE VOID SetFlag(LONG volatile *flag, LONG value) { InterlockedExchange(flag, value); }
FORCEINLINE BOOLEAN FlagSet(LONG volatile *flag) { return InterlockedCompareExchange(flag, 0, 0) != 0; }

typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT PhysicalDevice;
    PDEVICE_OBJECT LowerDevice;
    LONG Started;
    UCHAR LinkMade;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    // The current copy, guarded by InterfaceLock; see AcquireInterface.
    PINTERFACE_COPY Interface;
    KSPIN_LOCK InterfaceLock;
    LONG OpenCount;
    WCHAR LinkName[20];
    ULONG LastUsbStatus;
    LONG OutstandingIo;  // 1 after creation, plus one per request in progress
    KEVENT RemovalEvent;  // signalled when OutstandingIo reaches zero
    UCHAR ReadEnabled;
    LONG Removing;
    // Set by IRP_MN_SURPRISE_REMOVAL: the camera is gone, new requests fail
    // but plug-and-play requests (the remove among them) are still handled.
    LONG SurpriseRemoved;
    // Set by IRP_MN_STOP_DEVICE until the next successful start; Started
    // stays set meanwhile, so opens keep working.
    LONG Stopped;
    // The requests waiting for the lower device (LOWER_REQUEST.Link), and
    // whether they have been cancelled for good: once set, no new one is sent.
    KSPIN_LOCK RequestLock;
    LIST_ENTRY LowerRequests;
    UCHAR LowerRequestsCancelled;
    // Set by IOCTL_CAM_ISO_STREAM_STOP, cleared when a stream starts; read by
    // the stream's completions on other processors.
    LONG StreamStop;
    // The live stream's rings, both or neither; guarded by IsoLock.
    PVOID DataRing;
    PVOID RecordRing;
    // The isochronous reads and the stream whose transfers are running, and
    // whether removal has ended them for good: once set, none starts.
    KSPIN_LOCK IsoLock;
    LIST_ENTRY IsoSets;
    UCHAR IsoCancelled;
    ULONG UserValue;
    PDEVICE_OBJECT Self;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

inline PDEVICE_EXTENSION Extension(PDEVICE_OBJECT device) {
    return static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
}

// Outstanding I/O: whoever brings the count to zero signals the removal event.
void IncrementIo(PDEVICE_EXTENSION extension);
void DecrementIo(PDEVICE_EXTENSION extension);
// Counts a request in unless removal has begun or the camera is gone; false
// means refuse it (STATUS_DELETE_PENDING).
bool EnterRequest(PDEVICE_EXTENSION extension);

// Completes the request with the status and byte count and returns the status.
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);

// The I/O manager checked an in-direct buffer (and a write's buffer) for
// reading only, yet a device-to-host transfer writes into it. A user caller
// must therefore own the buffer writable, and it stays so (it cannot be made
// read-only or freed) until *secured is unsecured, at passive or APC level in
// the caller's process. Kernel callers are trusted (*secured stays null).
bool SecureForWriting(PIRP irp, PMDL data, HANDLE *secured);

PVOID AllocatePool(SIZE_T bytes);
void FreePool(PVOID memory);

// Dispatch routines.
extern "C" {
NTSTATUS NTAPI VexAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);
VOID NTAPI VexUnload(PDRIVER_OBJECT driver);
NTSTATUS NTAPI VexDispatchPnp(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI VexDispatchPower(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI VexCreate(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI VexClose(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI VexDeviceControl(PDEVICE_OBJECT device, PIRP irp);
// IRP_MJ_READ and IRP_MJ_WRITE, and the control requests handed over to
// it: one bulk transfer on the handle's pipe (read_path.cpp). Completes the
// request, or leaves it pending with the USB stack.
NTSTATUS NTAPI VexReadWrite(PDEVICE_OBJECT device, PIRP irp);
}

// IOCTL_CAM_READ_FRAME (frame_read.cpp); completes the request, or hands it
// to VexReadWrite.
NTSTATUS ReadFrame(PDEVICE_OBJECT device, PIRP irp);
// The camera is going: ends the frame read served for it and cancels the
// frame-read transfers sent to it (frame_read.cpp).
void EndFrameReads(PDEVICE_EXTENSION extension);

// The USB side of the device (usb_configuration.cpp). Each request is sent to
// the lower device and waited for without a time limit, at passive level.
NTSTATUS SubmitUrb(PDEVICE_EXTENSION extension, PURB urb);
// The same for a transfer that waits on the camera's data, which may never
// come: cancelling `caller` (CancelIoEx) cancels the transfer.
NTSTATUS SubmitUrbFor(PDEVICE_EXTENSION extension, PURB urb, PIRP caller);
NTSTATUS ResetPort(PDEVICE_EXTENSION extension);
NTSTATUS UsbStart(PDEVICE_EXTENSION extension);
NTSTATUS Configure(PDEVICE_EXTENSION extension);
NTSTATUS Deconfigure(PDEVICE_EXTENSION extension);
NTSTATUS SelectInterface(PDEVICE_EXTENSION extension, UCHAR interfaceNumber, UCHAR alternateSetting);
NTSTATUS ResetPipe(PDEVICE_EXTENSION extension, ULONG pipeIndex);
NTSTATUS AbortPipe(PDEVICE_EXTENSION extension, USBD_PIPE_HANDLE pipe);
// Aborts every pipe of the current interface, so that transfers in flight
// on them complete.
void AbortPipes(PDEVICE_EXTENSION extension);
// Cancels every request waiting for the lower device and refuses new ones
// (STATUS_DELETE_PENDING) from then on.
void CancelLowerRequests(PDEVICE_EXTENSION extension);
ULONG CurrentFrameNumber(PDEVICE_EXTENSION extension);
// GET_DESCRIPTOR into buffer; the bytes received, or 0 when the request failed.
ULONG ReadDescriptor(PDEVICE_EXTENSION extension, UCHAR type, UCHAR index, USHORT language, PVOID buffer,
                     ULONG length, NTSTATUS *status);

// The isochronous engines (isochronous.cpp), called by the control
// dispatcher at passive level; each returns the request's status and leaves
// its byte count in *information.
NTSTATUS IsoRead(PDEVICE_EXTENSION extension, PIRP irp, ULONG_PTR *information);
NTSTATUS IsoStreamStart(PDEVICE_EXTENSION extension, PIRP irp, ULONG_PTR *information);
NTSTATUS IsoStreamStop(PDEVICE_EXTENSION extension, PIRP irp, ULONG_PTR *information);
NTSTATUS IsoStreamRead(PDEVICE_EXTENSION extension, PIRP irp, ULONG_PTR *information);
// Stops every isochronous read and stream of the device and refuses new
// ones (STATUS_DELETE_PENDING); their transfers end soon after, and each
// frees what it holds as it ends.
void CancelIsochronous(PDEVICE_EXTENSION extension);

// The interface copy: a reference the caller releases, or null when none is held.
PINTERFACE_COPY AcquireInterface(PDEVICE_EXTENSION extension);
void ReleaseInterface(PINTERFACE_COPY copy);
// Makes copy (with its one reference) current and releases the one it replaces.
void ReplaceInterface(PDEVICE_EXTENSION extension, PINTERFACE_COPY copy);
