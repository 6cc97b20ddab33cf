#include "camera/device_channel.h"

#include <winioctl.h>

#include <cstring>

#include "driver/vexusb_interface.h"

namespace {

// Vendor requests the camera answers on its control pipe.
enum : BYTE {
    REQUEST_CONTROL_WORD = 0x01,
    REQUEST_READ_WORD = 0x11,
    REQUEST_WRITE_REGISTER = 0x18,
};

enum : BYTE {
    DIRECTION_TO_DEVICE = 0,
    DIRECTION_TO_HOST = 1,
    REQUEST_TYPE_VENDOR = 2,
    RECIPIENT_DEVICE = 0,
};

enum : WORD {
    CONTROL_WORD_INDEX = 0x000F,
    CONTROL_WORD_HOLD = 0,
    CONTROL_WORD_IDLE = 1,
    CONTROL_WORD_STREAM = 3,
};

// The third byte of a word read: the camera's "read done" status.
enum : BYTE { READ_WORD_OK = 0x08 };

enum : DWORD {
    RAW_WIDTH = 1176,
    RAW_HEIGHT = 772,
    SHUTDOWN_VALUE = 3,
};

// Finishes an overlapped request that may still be pending, without a limit:
// its buffers must not be given up while the driver may still write them.
BOOL FinishRequest(HANDLE device, OVERLAPPED *overlapped, BOOL started, DWORD *bytes) {
    if (!started && GetLastError() != ERROR_IO_PENDING) return FALSE;
    return GetOverlappedResult(device, overlapped, bytes, TRUE);
}

}  // namespace

CDeviceChannel::CDeviceChannel(int instance) {
    m_devicePath[0] = '\0';
    if (instance >= 0 && instance < VEXUSB_MAX_INSTANCES) {
        static const char prefix[] = "\\\\.\\TM350-";
        std::memcpy(m_devicePath, prefix, sizeof prefix - 1);
        m_devicePath[sizeof prefix - 1] = static_cast<char>('0' + instance);
        m_devicePath[sizeof prefix] = '\0';
    }
    m_endReads = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

CDeviceChannel::~CDeviceChannel() {
    Shutdown();
    if (m_endReads != nullptr) CloseHandle(m_endReads);
}

BOOL CDeviceChannel::OpenDevice() {
    m_device = INVALID_HANDLE_VALUE;
    if (m_devicePath[0] == '\0') return FALSE;
    HANDLE device = CreateFileA(m_devicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE || device == nullptr) return FALSE;
    m_device = device;
    return TRUE;
}

BOOL CDeviceChannel::CloseDevice() {
    if (m_device != INVALID_HANDLE_VALUE) CloseHandle(m_device);
    m_device = INVALID_HANDLE_VALUE;
    return TRUE;
}

BOOL CDeviceChannel::ConnectDevice(DWORD flags) {
    if (!OpenDevice()) return FALSE;
    m_connected = 1;
    if (flags & 1) {
        if (!SetRun(FALSE) || !SetHold(TRUE) || !SetHold(FALSE)) return FALSE;
        // A driver that keeps its read path closed fails the reads, which
        // ReadFrame reports; nothing to decide here.
        EnableReads(1);
    }
    return m_connected != 0;
}

void CDeviceChannel::InitGeometry() {
    m_width = RAW_WIDTH;
    m_height = RAW_HEIGHT;
    m_readChunk = m_width * 64 * 4;
    m_frameBytes = m_width * m_height;
}

BOOL CDeviceChannel::WriteInitSequence() {
    if (!m_connected) return FALSE;
    for (const CInitStep &step : g_InitSequence) {
        if (step.reg == INIT_PAUSE) {
            Sleep(step.value);
        } else if (!WriteRegister(static_cast<BYTE>(step.reg), step.value)) {
            return FALSE;
        }
    }
    return TRUE;
}

BOOL CDeviceChannel::Initialize() {
    if (!ConnectDevice(1)) return FALSE;
    InitGeometry();
    return WriteInitSequence();
}

// Every camera access but the frame data: one control request, carried to
// completion here. The request passes an OVERLAPPED and waits for it rather
// than relying on the driver finishing inside the call, which Windows does
// not promise for a handle opened for overlapped I/O.
BOOL CDeviceChannel::SendControl(BYTE direction, BYTE request, WORD value, WORD index, BYTE *data, DWORD length) {
    if (m_device == INVALID_HANDLE_VALUE) return FALSE;
    CAM_CONTROL_RECORD record{};
    record.Direction = direction;
    record.RequestType = REQUEST_TYPE_VENDOR;
    record.Recipient = RECIPIENT_DEVICE;
    record.Request = request;
    record.Value = value;
    record.Index = index;

    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) return FALSE;
    DWORD bytes = 0;
    BOOL started = DeviceIoControl(m_device, IOCTL_CAM_CONTROL_REQUEST, &record, sizeof record, data, length, &bytes,
                                   &overlapped);
    BOOL done = FinishRequest(m_device, &overlapped, started, &bytes);
    CloseHandle(overlapped.hEvent);
    return done;
}

BOOL CDeviceChannel::ReadWord(WORD address, WORD *word) {
    if (word == nullptr) return FALSE;
    // A reply cut short leaves the status byte 0, which is not success.
    BYTE reply[3] = {0, 0, 0};
    if (!SendControl(DIRECTION_TO_HOST, REQUEST_READ_WORD, 0, address, reply, sizeof reply)) return FALSE;
    if (reply[2] != READ_WORD_OK) return FALSE;
    *word = static_cast<WORD>(reply[0] << 8 | reply[1]);
    return TRUE;
}

BOOL CDeviceChannel::WriteRegister(BYTE reg, DWORD value) {
    if (!m_connected) return FALSE;
    WORD high = static_cast<WORD>((value >> 8) & 0xFFFF);
    WORD index = static_cast<WORD>(reg << 8 | (value & 0xFF));
    return SendControl(DIRECTION_TO_DEVICE, REQUEST_WRITE_REGISTER, high, index, nullptr, 0);
}

BOOL CDeviceChannel::WriteControlWord(WORD value) {
    return SendControl(DIRECTION_TO_DEVICE, REQUEST_CONTROL_WORD, value, CONTROL_WORD_INDEX, nullptr, 0);
}

BOOL CDeviceChannel::SetRun(BOOL run) { return WriteControlWord(run ? CONTROL_WORD_STREAM : CONTROL_WORD_IDLE); }

BOOL CDeviceChannel::SetHold(BOOL hold) { return WriteControlWord(hold ? CONTROL_WORD_HOLD : CONTROL_WORD_IDLE); }

BOOL CDeviceChannel::EnableReads(BYTE value) {
    if (m_device == INVALID_HANDLE_VALUE) return FALSE;
    BYTE input[2] = {value, 0x00};
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) return FALSE;
    DWORD bytes = 0;
    BOOL started =
        DeviceIoControl(m_device, IOCTL_CAM_ENABLE_READ, input, sizeof input, nullptr, 0, &bytes, &overlapped);
    BOOL done = FinishRequest(m_device, &overlapped, started, &bytes);
    CloseHandle(overlapped.hEvent);
    return done;
}

BOOL CDeviceChannel::SetAnalogGain(WORD gain) { return WriteRegister(SENSOR_REG_ANALOG_GAIN, gain); }

BOOL CDeviceChannel::SetExposure(WORD rows) {
    WORD limited = rows < MAX_EXPOSURE_ROWS ? rows : static_cast<WORD>(MAX_EXPOSURE_ROWS);
    return WriteRegister(SENSOR_REG_EXPOSURE, static_cast<DWORD>(MAX_EXPOSURE_ROWS + 1 - limited) << 12);
}

void CDeviceChannel::SetSpeed(BYTE speed) {
    if (speed == 1) {
        WriteRegister(SENSOR_REG_SPEED_SELECT, 0);
        WriteRegister(SENSOR_REG_SPEED_TIMING, 0x26B);
    } else {
        WriteRegister(SENSOR_REG_SPEED_SELECT, 1);
        WriteRegister(SENSOR_REG_SPEED_TIMING, 0x21);
    }
    WriteRegister(SENSOR_REG_TIMING_LATCH, 1);
}

void CDeviceChannel::StartStreaming() {
    if (m_connected) SetRun(TRUE);
}

void CDeviceChannel::StopStreaming() {
    if (m_connected && SetRun(FALSE)) SetHold(TRUE);
}

BOOL CDeviceChannel::Shutdown() {
    if (m_connected && m_device != INVALID_HANDLE_VALUE) WriteRegister(SENSOR_REG_SHUTDOWN, SHUTDOWN_VALUE);
    return CloseDevice();
}

void CDeviceChannel::EndReadFrame() {
    if (m_endReads != nullptr) SetEvent(m_endReads);
}
