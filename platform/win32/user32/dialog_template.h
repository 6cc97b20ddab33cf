// Dialog templates as the resource compiler writes them: DLGTEMPLATE with
// DLGITEMTEMPLATEs, or the extended DLGTEMPLATEEX form, read with bounds.
#pragma once

#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace tm350::user32 {

// A name field: absent, an ordinal, or a string.
struct TemplateName {
    bool present = false;
    WORD ordinal = 0;  // when nonzero, the field held 0xFFFF and this
    std::u16string text;
};

struct DialogItemTemplate {
    DWORD style = 0;
    DWORD ex_style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    DWORD id = 0;
    std::u16string class_name;  // ordinals already mapped to "Button", "Static" ...
    TemplateName title;
    const BYTE *creation_data = nullptr;  // its leading WORD is the size, as controls receive it
};

struct DialogTemplate {
    bool extended = false;
    DWORD style = 0;
    DWORD ex_style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    TemplateName menu;
    TemplateName class_name;
    std::u16string title;
    bool has_font = false;
    WORD point_size = 0;
    WORD weight = 0;
    bool italic = false;
    std::u16string face;
    std::vector<DialogItemTemplate> items;
};

// Reads `size` bytes at `data` (the resource's size; SIZE_MAX when the
// caller does not know it). Nothing when the template runs past its end.
std::optional<DialogTemplate> ReadDialogTemplate(const void *data, size_t size);

// The dialog base units of a template's font at 96 DPI.
struct BaseUnits {
    int x;
    int y;
};
BaseUnits DialogBaseUnitsFor(const DialogTemplate &dialog);

}  // namespace tm350::user32
