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
} FRAME_REQUEST_RECORD, *PFRAME_REQUEST_RECORD;

typedef struct _TRANSFER_SLOT {
    ULONG Busy;
    PIRP TransferRequest;
    PUCHAR StagingBuffer;
    ULONG ExpectedLength;
    PDEVICE_OBJECT LowerDevice;
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
} FRAME_READ_STATE;

extern FRAME_READ_STATE g_FrameRead;

NTSTATUS CreateFrameReadState();
void FreeFrameReadState();
