// A small reader of extended dialog templates (DLGTEMPLATEEX and its
// items), the tests' own, to hold the compiled resources against the
// pages' tables.
#pragma once

#include <windows.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace resources_test {

struct TemplateRect {
    short x = 0, y = 0, cx = 0, cy = 0;
    bool operator==(const TemplateRect &) const = default;
};

struct TemplateItem {
    DWORD style = 0;
    DWORD ex_style = 0;
    TemplateRect rect;
    DWORD id = 0;
    WORD class_atom = 0;      // 0x80 button, 0x82 static ...; 0 when named
    std::u16string class_name;
    std::u16string text;
};

struct DialogTemplate {
    DWORD style = 0;
    DWORD ex_style = 0;
    TemplateRect rect;
    WORD point_size = 0;
    WORD weight = 0;
    BYTE italic = 0;
    BYTE charset = 0;
    std::u16string font;
    std::vector<TemplateItem> items;
};

// Nothing if `bytes` is no extended template or ends before its last item.
std::optional<DialogTemplate> ReadExtendedTemplate(std::span<const BYTE> bytes);

}  // namespace resources_test
