// The user-mode end of the camera: owns the handle to the vexusb driver,
// programs the camera's registers through the driver's control request,
// reads words of the camera's memory and reads raw frames with overlapped
// reads. It knows nothing of the filter framework; its operations return
// plain success flags.
#pragma once

#include <windows.h>

#include "camera/auto_exposure.h"

// One step of the camera's init table: a register write, or a pause of
// `value` milliseconds when `reg` is INIT_PAUSE.
struct CInitStep {
    DWORD reg;
    DWORD value;
};

enum : DWORD {
    INIT_PAUSE = 0xFFFF,
    INIT_SEQUENCE_STEPS = 112,
};

// The sensor init table, played in order by WriteInitSequence. It leaves the
// register page 0 selected.
extern const CInitStep g_InitSequence[INIT_SEQUENCE_STEPS];

// Sensor registers the channel writes outside the init table.
enum : BYTE {
    SENSOR_REG_SHUTDOWN = 0x00,
    SENSOR_REG_ANALOG_GAIN = 0x01,
    SENSOR_REG_TIMING_LATCH = 0x15,
    SENSOR_REG_SPEED_SELECT = 0x30,
    SENSOR_REG_SPEED_TIMING = 0x36,
    SENSOR_REG_EXPOSURE = 0x63,
    SENSOR_REG_PAGE = 0x7F,
};

// The longest exposure the exposure register can express, in rows.
enum : WORD { MAX_EXPOSURE_ROWS = 791 };

// Bytes a read slot can land: a read chunk and some room.
enum : DWORD { READ_SLOT_BYTES = 0x80200, READ_SLOTS = 4 };

// How long ReadFrame waits for any one read before it gives the device up.
// Why this figure: read_frame.cpp.
enum : DWORD { READ_WAIT_LIMIT_MS = 1000 };

// Always created with new: the read slots make the object about 2 MB.
class CDeviceChannel final : public CExposureWriter {
public:
    explicit CDeviceChannel(int instance);
    ~CDeviceChannel();
    CDeviceChannel(const CDeviceChannel &) = delete;
    CDeviceChannel &operator=(const CDeviceChannel &) = delete;

    // The device path this channel opens, "\\.\TM350-N".
    const char *DevicePath() const { return m_devicePath; }

    BOOL OpenDevice();
    BOOL CloseDevice();
    // Opens the device; with bit 0 of `flags` also pulses the control word
    // 1, 0, 1 and enables the driver's read path.
    BOOL ConnectDevice(DWORD flags);
    void InitGeometry();
    BOOL WriteInitSequence();
    // ConnectDevice(1), InitGeometry, WriteInitSequence.
    BOOL Initialize();

    // One 16-bit word of camera memory at a byte address; FALSE unless the
    // camera answered with its success status.
    BOOL ReadWord(WORD address, WORD *word);
    // A 24-bit value into a page-0 sensor register; FALSE without sending
    // anything while not connected.
    BOOL WriteRegister(BYTE reg, DWORD value);
    BOOL SetRun(BOOL run);
    BOOL SetHold(BOOL hold);
    BOOL EnableReads(BYTE value);

    BOOL SetAnalogGain(WORD gain) override;
    // Rows above MAX_EXPOSURE_ROWS are MAX_EXPOSURE_ROWS.
    BOOL SetExposure(WORD rows) override;
    // 1: high speed; anything else: normal speed. Results are ignored.
    void SetSpeed(BYTE speed);

    void StartStreaming();
    void StopStreaming();
    // Sensor register 0x00 = 3 (while connected), then the handle is closed.
    BOOL Shutdown();

    // Reads one raw frame of m_frameBytes bytes into `destination`.
    // 1: a whole frame was copied; 0: the frame was lost, try again;
    // -1: the device failed, did not deliver within READ_WAIT_LIMIT_MS, or
    // EndReadFrame was called. No read is in flight when it returns.
    // Only one ReadFrame may run at a time.
    int ReadFrame(BYTE *destination);
    // Any thread: a ReadFrame in progress returns -1 as soon as its reads
    // are cancelled and drained, and every later one returns -1 at once.
    void EndReadFrame();
    // How long ReadFrame waits for any one read: READ_WAIT_LIMIT_MS unless
    // set otherwise; INFINITE waits until the read ends or EndReadFrame.
    void SetReadWaitLimit(DWORD milliseconds) { m_readWaitLimit = milliseconds; }

    DWORD m_readChunk = 0;   // bytes asked for by each read
    DWORD m_frameBytes = 0;  // bytes of one raw frame
    int m_width = 0;
    int m_height = 0;
    BYTE m_readBuffers[READ_SLOTS][READ_SLOT_BYTES];
    DWORD m_connected = 0;  // set once the device is open; never cleared
    HANDLE m_device = INVALID_HANDLE_VALUE;

private:
    BOOL SendControl(BYTE direction, BYTE request, WORD value, WORD index, BYTE *data, DWORD length);
    BOOL WriteControlWord(WORD value);

    char m_devicePath[16];
    // Manual-reset, set by EndReadFrame and never reset.
    HANDLE m_endReads = nullptr;
    DWORD m_readWaitLimit = READ_WAIT_LIMIT_MS;
};
