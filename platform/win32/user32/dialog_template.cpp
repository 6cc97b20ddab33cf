#include "user32/dialog_template.h"

#include "common/text.h"

#include <cmath>
#include <cstring>

namespace tm350::user32 {
namespace {

class TemplateReader {
public:
    TemplateReader(const BYTE *start, size_t size) : start_(start), size_(size) {}

    bool ok() const { return ok_; }
    const BYTE *here() const { return start_ + offset_; }

    template <typename T>
    T Read() {
        T value{};
        if (!Have(sizeof(T))) return value;
        memcpy(&value, start_ + offset_, sizeof(T));
        offset_ += sizeof(T);
        return value;
    }

    std::u16string ReadString() {
        std::u16string value;
        for (;;) {
            const WORD unit = Read<WORD>();
            if (!ok_ || unit == 0) return value;
            value.push_back(static_cast<char16_t>(unit));
        }
    }

    // A name field: 0x0000 for none, 0xFFFF then an ordinal, or a string.
    TemplateName ReadName() {
        TemplateName name;
        if (!Have(sizeof(WORD))) return name;
        WORD first;
        memcpy(&first, start_ + offset_, sizeof(first));
        if (first == 0) {
            offset_ += sizeof(WORD);
            return name;
        }
        name.present = true;
        if (first == 0xFFFF) {
            offset_ += sizeof(WORD);
            name.ordinal = Read<WORD>();
            return name;
        }
        name.text = ReadString();
        return name;
    }

    void Skip(size_t count) {
        if (Have(count)) offset_ += count;
    }

    // Items start on DWORD boundaries of the template.
    void AlignToDword() { Skip((4 - offset_ % 4) % 4); }

private:
    bool Have(size_t count) {
        if (!ok_ || count > size_ - offset_) ok_ = false;
        return ok_;
    }

    const BYTE *start_;
    size_t size_;
    size_t offset_ = 0;
    bool ok_ = true;
};

std::u16string ClassForOrdinal(WORD ordinal) {
    switch (ordinal) {
        case 0x80: return u"Button";
        case 0x81: return u"Edit";
        case 0x82: return u"Static";
        case 0x83: return u"ListBox";
        case 0x84: return u"ScrollBar";
        case 0x85: return u"ComboBox";
        default: return u"";
    }
}

}  // namespace

std::optional<DialogTemplate> ReadDialogTemplate(const void *data, size_t size) {
    if (data == nullptr) return std::nullopt;
    TemplateReader reader(static_cast<const BYTE *>(data), size);
    DialogTemplate dialog;
    const WORD version = reader.Read<WORD>();
    const WORD signature = reader.Read<WORD>();
    dialog.extended = version == 1 && signature == 0xFFFF;
    reader = TemplateReader(static_cast<const BYTE *>(data), size);
    WORD count;
    if (dialog.extended) {
        reader.Skip(2 * sizeof(WORD));
        reader.Read<DWORD>();  // help id
        dialog.ex_style = reader.Read<DWORD>();
        dialog.style = reader.Read<DWORD>();
    } else {
        dialog.style = reader.Read<DWORD>();
        dialog.ex_style = reader.Read<DWORD>();
    }
    count = reader.Read<WORD>();
    dialog.x = reader.Read<short>();
    dialog.y = reader.Read<short>();
    dialog.cx = reader.Read<short>();
    dialog.cy = reader.Read<short>();
    dialog.menu = reader.ReadName();
    dialog.class_name = reader.ReadName();
    dialog.title = reader.ReadString();
    if (dialog.style & DS_SETFONT) {
        dialog.has_font = true;
        dialog.point_size = reader.Read<WORD>();
        if (dialog.extended) {
            dialog.weight = reader.Read<WORD>();
            dialog.italic = reader.Read<BYTE>() != 0;
            reader.Read<BYTE>();  // character set
        }
        dialog.face = reader.ReadString();
    }
    for (WORD index = 0; index < count && reader.ok(); ++index) {
        reader.AlignToDword();
        DialogItemTemplate item;
        if (dialog.extended) {
            reader.Read<DWORD>();  // help id
            item.ex_style = reader.Read<DWORD>();
            item.style = reader.Read<DWORD>();
        } else {
            item.style = reader.Read<DWORD>();
            item.ex_style = reader.Read<DWORD>();
        }
        item.x = reader.Read<short>();
        item.y = reader.Read<short>();
        item.cx = reader.Read<short>();
        item.cy = reader.Read<short>();
        item.id = dialog.extended ? reader.Read<DWORD>() : reader.Read<WORD>();
        const TemplateName class_name = reader.ReadName();
        item.class_name = class_name.ordinal != 0 ? ClassForOrdinal(class_name.ordinal) : class_name.text;
        item.title = reader.ReadName();
        const BYTE *extra = reader.here();
        const WORD extra_size = reader.Read<WORD>();
        if (extra_size != 0) {
            item.creation_data = extra;
            // The count includes its own WORD in a DLGTEMPLATE, not in a DLGTEMPLATEEX.
            reader.Skip(dialog.extended ? extra_size : (extra_size >= sizeof(WORD) ? extra_size - sizeof(WORD) : 0));
        }
        if (item.class_name.empty()) return std::nullopt;
        dialog.items.push_back(std::move(item));
    }
    if (!reader.ok()) return std::nullopt;
    return dialog;
}

// Windows measures the font: the average width of the alphabet and the
// character height. At 96 DPI "MS Shell Dlg" (Microsoft Sans Serif), Tahoma
// and MS Sans Serif at 8 points measure 6 by 13 pixels and Segoe UI at 9
// points 7 by 15; other sizes of those faces scale from there. A template
// without a font uses the system font's 8 by 16 (GetDialogBaseUnits).
BaseUnits DialogBaseUnitsFor(const DialogTemplate &dialog) {
    if (!dialog.has_font || dialog.point_size == 0 || dialog.point_size == 0x7FFF) return {8, 16};
    const double points = dialog.point_size;
    if (text::EqualsIgnoringCase(dialog.face, u"Segoe UI")) {
        return {static_cast<int>(std::lround(7 * points / 9)), static_cast<int>(std::lround(15 * points / 9))};
    }
    return {static_cast<int>(std::lround(6 * points / 8)), static_cast<int>(std::lround(13 * points / 8))};
}

}  // namespace tm350::user32
