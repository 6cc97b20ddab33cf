#include "camera/device_binding.h"

#include <new>

namespace {

enum : DWORD {
    VIDEO_SIZES = 4,
    // Time the sensor is given after its init table before it is programmed
    // for the capture.
    SETTLE_AFTER_INIT_MS = 400,
};

}  // namespace

BOOL LoadDefectTable(CDeviceChannel *channel, DWORD sizeIndex, CDefectList &defects) {
    if (channel == nullptr) return FALSE;
    WORD word = 0;
    if (!channel->ReadWord(DEFECT_TABLE_MARKER_ADDRESS, &word) || word != DEFECT_TABLE_MARKER) return FALSE;

    // A camera with a table: whatever the previous camera's list held no
    // longer applies, whether or not this size's part reads back.
    defects.count = 0;
    if (sizeIndex >= VIDEO_SIZES) return FALSE;
    const WORD tagAddress = static_cast<WORD>(DEFECT_TABLE_SIZE_TAGS + 4 * sizeIndex);
    if (!channel->ReadWord(tagAddress, &word) || word != sizeIndex * 0x0101) return FALSE;
    WORD count = 0;
    if (!channel->ReadWord(static_cast<WORD>(tagAddress + 2), &count) || count > DEFECT_TABLE_MAX_COUNT) {
        return FALSE;
    }

    // Filled in place, but counted only once every entry has been read: a
    // list cut short by a failed read would patch the wrong samples.
    const WORD entries = static_cast<WORD>(DEFECT_TABLE_ENTRIES + 0x100 * sizeIndex);
    for (WORD i = 0; i < count; ++i) {
        WORD x = 0;
        WORD y = 0;
        if (!channel->ReadWord(static_cast<WORD>(entries + 4 * i), &x) ||
            !channel->ReadWord(static_cast<WORD>(entries + 4 * i + 2), &y)) {
            return FALSE;
        }
        defects.entries[i].x = static_cast<SHORT>(x);
        defects.entries[i].y = static_cast<SHORT>(y);
    }
    defects.count = count;
    return TRUE;
}

CDeviceChannel *BindCamera(int instance, const CCameraSettings &settings, CDefectList &defects) {
    CDeviceChannel *channel = new (std::nothrow) CDeviceChannel(instance);
    if (channel == nullptr) return nullptr;
    if (!channel->Initialize()) {
        delete channel;
        return nullptr;
    }
    // A camera without a table keeps the list it had: frames then go unpatched
    // or patched as before, both of which still make a picture.
    LoadDefectTable(channel, settings.eNVC480Size, defects);
    Sleep(SETTLE_AFTER_INIT_MS);
    channel->SetExposure(settings.ExposureTime);
    channel->SetAnalogGain(settings.AnalogGain);
    channel->SetSpeed(settings.Speed);
    return channel;
}
