// The queued frame read's driver-wide state: created when the driver loads,
// shared by every camera, freed when it unloads.
#pragma once

#include "driver/vexusb.h"

#define FRAME_REQUEST_RECORDS 8
#define TRANSFER_SLOTS 4
#define STAGING_BUFFER_BYTES 1500000

typedef struct _FRAME_REQUEST_RECORD {
    ULONG Active;
    ULONG Restarts;
    ULONG FrameBytes;
    ULONG Received;
    ULONG PacketSize;
    ULONG TailBytes;
    PIRP Request;
    PUCHAR Buffer;
    PDEVICE_OBJECT LowerDevice;
    PDEVICE_OBJECT Device;
    ULONG Done;
    ULONG Spare;
    struct _FRAME_REQUEST_RECORD *Next;
    // What every transfer made for the request carries, taken from the
    // request when the record is filled: completions must not reach into a
    // request that another thread may complete meanwhile.
    USBD_PIPE_HANDLE PipeHandle;
    PFILE_OBJECT FileObject;
    PETHREAD Thread;
} FRAME_REQUEST_RECORD, *PFRAME_REQUEST_RECORD;

// One submission of a slot: the request block, and the transfer request
// that carries it to the lower device.
typedef struct _SLOT_TRANSFER {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER Urb;
    ULONG Slot;
    PIRP TransferRequest;
    PDEVICE_OBJECT Device;       // the driver's device; the transfer counts as its outstanding I/O
    PDEVICE_OBJECT LowerDevice;  // where the transfer went
    ULONG Length;                // bytes asked for
    // One for the transfer until its completion is through, plus one for
    // each thread cancelling it; the last one frees it.
    LONG References;
} SLOT_TRANSFER, *PSLOT_TRANSFER;

// Busy from the moment a submission is made for the slot until a completion
// leaves it idle: a completion that resubmits keeps it busy throughout, so a
// slot never has two transfers.
typedef struct _TRANSFER_SLOT {
    ULONG Busy;
    PIRP TransferRequest;
    PUCHAR StagingBuffer;
    ULONG ExpectedLength;
    PDEVICE_OBJECT LowerDevice;
    PSLOT_TRANSFER Current;  // the submission at the USB stack, for cancelling it; null otherwise
} TRANSFER_SLOT, *PTRANSFER_SLOT;

typedef struct _FRAME_READ_STATE {
    PFRAME_REQUEST_RECORD Records;  // one block of FRAME_REQUEST_RECORDS, linked in a ring
    PFRAME_REQUEST_RECORD NextFree;
    PFRAME_REQUEST_RECORD Head;
    PFRAME_REQUEST_RECORD Tail;
    ULONG QueuedCount;
    KSEMAPHORE Lock;     // count 1, limit 4
    KEVENT FrameDone;    // notification
    TRANSFER_SLOT Slots[TRANSFER_SLOTS];
    // Head, tail, the queued count, the records and the slots change under
    // it: slot completions may run on several processors at once, and a
    // waiter that times out ends the head from yet another thread.
    KSPIN_LOCK SpinLock;
    KEVENT SlotIdle;     // synchronization; set whenever a slot goes idle
    KEVENT CancelDone;   // notification; set when the frame read's cancel routine has finished
} FRAME_READ_STATE;

extern FRAME_READ_STATE g_FrameRead;

NTSTATUS CreateFrameReadState();
// Waits until no slot has a transfer in flight, then frees the records and
// the staging buffers.
void FreeFrameReadState();
void WaitForIdleSlots();
