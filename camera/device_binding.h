// Binding a camera for a capture: opening and programming it through a new
// device channel and loading the defect table it stores.
#pragma once

#include <windows.h>

#include "camera/device_channel.h"
#include "camera/raw_frame.h"
#include "filter/camera_settings.h"

// Where the camera's memory keeps its defect table.
enum : WORD {
    DEFECT_TABLE_MARKER_ADDRESS = 0x24C0,
    DEFECT_TABLE_MARKER = 0x5580,
    DEFECT_TABLE_SIZE_TAGS = 0x24C4,  // per size s: tag at +4s, count at +4s+2
    DEFECT_TABLE_ENTRIES = 0x2500,    // per size s: 0x100 bytes of (x, y) word pairs
    DEFECT_TABLE_MAX_COUNT = 49,
};

// Loads the camera's stored defect list for video size index `sizeIndex`.
// Without a marker the list is left as it was; past the marker it is
// cleared first, and refilled only when the whole table reads back sound.
// A word that cannot be read counts as a wrong one. FALSE without a channel.
BOOL LoadDefectTable(CDeviceChannel *channel, DWORD sizeIndex, CDefectList &defects);

// Opens and programs camera `instance` for a capture with these settings and
// loads its defect table into `defects`. The channel on success (the caller
// deletes it), nullptr when the camera cannot be opened or programmed.
CDeviceChannel *BindCamera(int instance, const CCameraSettings &settings, CDefectList &defects);
