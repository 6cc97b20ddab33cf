// What user mode and the vexusb driver agree on: device names, control codes
// and the records they carry. Every multi-byte field is little-endian.
#pragma once

// Kernel device "\Device\tm350-N", link "\DosDevices\tm350-N", user-mode path
// "\\.\TM350-N", for the instance digit N from 0 to 7 (names ignore case).
#define VEXUSB_MAX_INSTANCES 8

#define VEXUSB_CTL_CODE(function, method) CTL_CODE(FILE_DEVICE_UNKNOWN, (function), (method), FILE_ANY_ACCESS)

#define IOCTL_CAM_GET_INTERFACE_INFO VEXUSB_CTL_CODE(0x800, METHOD_BUFFERED)      // 0x222000
#define IOCTL_CAM_GET_DEVICE_DESCRIPTOR VEXUSB_CTL_CODE(0x801, METHOD_BUFFERED)   // 0x222004
#define IOCTL_CAM_GET_CONFIG_DESCRIPTOR VEXUSB_CTL_CODE(0x802, METHOD_BUFFERED)   // 0x222008
#define IOCTL_CAM_VENDOR_REQUEST VEXUSB_CTL_CODE(0x805, METHOD_BUFFERED)          // 0x222014
#define IOCTL_CAM_NOP VEXUSB_CTL_CODE(0x806, METHOD_BUFFERED)                     // 0x222018
#define IOCTL_CAM_LOAD_MEMORY VEXUSB_CTL_CODE(0x807, METHOD_BUFFERED)             // 0x22201C
#define IOCTL_CAM_RESET_PORT VEXUSB_CTL_CODE(0x80C, METHOD_IN_DIRECT)             // 0x222031
#define IOCTL_CAM_RESET_PIPE VEXUSB_CTL_CODE(0x80D, METHOD_IN_DIRECT)             // 0x222035
#define IOCTL_CAM_ABORT_PIPE VEXUSB_CTL_CODE(0x80F, METHOD_IN_DIRECT)             // 0x22203D
#define IOCTL_CAM_SELECT_INTERFACE VEXUSB_CTL_CODE(0x810, METHOD_BUFFERED)        // 0x222040
#define IOCTL_CAM_GET_STRING_DESCRIPTOR VEXUSB_CTL_CODE(0x811, METHOD_BUFFERED)   // 0x222044
#define IOCTL_CAM_READ_FRAME VEXUSB_CTL_CODE(0x813, METHOD_OUT_DIRECT)            // 0x22204E
#define IOCTL_CAM_PIPE_TRANSFER VEXUSB_CTL_CODE(0x814, METHOD_IN_DIRECT)          // 0x222051
#define IOCTL_CAM_GET_FRAME_NUMBER VEXUSB_CTL_CODE(0x815, METHOD_BUFFERED)        // 0x222054
#define IOCTL_CAM_CONTROL_REQUEST VEXUSB_CTL_CODE(0x816, METHOD_IN_DIRECT)        // 0x222059
#define IOCTL_CAM_GET_LAST_USB_STATUS VEXUSB_CTL_CODE(0x817, METHOD_BUFFERED)     // 0x22205C
#define IOCTL_CAM_ISO_READ VEXUSB_CTL_CODE(0x819, METHOD_OUT_DIRECT)              // 0x222066
#define IOCTL_CAM_ISO_READ2 VEXUSB_CTL_CODE(0x81A, METHOD_IN_DIRECT)              // 0x222069
#define IOCTL_CAM_WRITE_MEMORY VEXUSB_CTL_CODE(0x81B, METHOD_IN_DIRECT)           // 0x22206D
#define IOCTL_CAM_GET_DRIVER_VERSION VEXUSB_CTL_CODE(0x81D, METHOD_BUFFERED)      // 0x222074
#define IOCTL_CAM_ISO_STREAM_START VEXUSB_CTL_CODE(0x81E, METHOD_BUFFERED)        // 0x222078
#define IOCTL_CAM_ISO_STREAM_STOP VEXUSB_CTL_CODE(0x81F, METHOD_BUFFERED)         // 0x22207C
#define IOCTL_CAM_ISO_STREAM_READ VEXUSB_CTL_CODE(0x820, METHOD_OUT_DIRECT)       // 0x222082
#define IOCTL_CAM_SET_FEATURE VEXUSB_CTL_CODE(0x821, METHOD_BUFFERED)             // 0x222084
#define IOCTL_CAM_ENABLE_READ VEXUSB_CTL_CODE(0x822, METHOD_OUT_DIRECT)           // 0x22208A
#define IOCTL_CAM_SET_USER_VALUE VEXUSB_CTL_CODE(0x823, METHOD_OUT_DIRECT)        // 0x22208E
#define IOCTL_CAM_GET_USER_VALUE VEXUSB_CTL_CODE(0x825, METHOD_OUT_DIRECT)        // 0x222096

#define CAM_FRAME_REQUEST_MAGIC 0x20110523

#pragma pack(push, 1)

// Input of IOCTL_CAM_CONTROL_REQUEST, exactly 10 bytes; the output buffer is
// the data stage and its length is wLength.
typedef struct _CAM_CONTROL_RECORD {
    UCHAR Direction;    // 0 host to device, anything else device to host
    UCHAR RequestType;  // 1 class, 2 vendor
    UCHAR Recipient;    // 0 device, 1 interface, 2 endpoint, 3 other
    UCHAR Reserved1;
    UCHAR Request;
    UCHAR Reserved2;
    USHORT Value;
    USHORT Index;
} CAM_CONTROL_RECORD, *PCAM_CONTROL_RECORD;

// Input of IOCTL_CAM_VENDOR_REQUEST, at least 10 bytes.
typedef struct _CAM_VENDOR_RECORD {
    UCHAR Request;
    UCHAR Unused;
    USHORT Value;
    USHORT Index;
    USHORT Length;
    UCHAR Direction;  // 0 host to device, anything else device to host
    UCHAR Data;       // the payload of a host-to-device request of one byte
} CAM_VENDOR_RECORD, *PCAM_VENDOR_RECORD;

// The isochronous requests' record.
typedef struct _CAM_ISO_RECORD {
    ULONG PipeIndex;
    ULONG PacketSize;
    ULONG PacketCount;
    ULONG PacketsPerTransfer;
    ULONG Transfers;
} CAM_ISO_RECORD, *PCAM_ISO_RECORD;

// Written by the caller at the start of IOCTL_CAM_READ_FRAME's buffer.
typedef struct _CAM_FRAME_REQUEST_HEADER {
    ULONG Magic;        // CAM_FRAME_REQUEST_MAGIC
    ULONG Timeout;      // milliseconds to wait for the frame-read lock
    ULONG PacketSize;   // bytes per bulk transfer, not 0
} CAM_FRAME_REQUEST_HEADER, *PCAM_FRAME_REQUEST_HEADER;

typedef struct _CAM_DRIVER_VERSION {
    USHORT Major;
    USHORT Minor;
    USHORT Build;
} CAM_DRIVER_VERSION, *PCAM_DRIVER_VERSION;

#pragma pack(pop)
