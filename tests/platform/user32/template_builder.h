// Dialog templates laid out in memory as the resource compiler lays them out.
#pragma once

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace tm350::user32::testing {

class TemplateBuilder {
public:
    // A DLGTEMPLATE, or with `extended` a DLGTEMPLATEEX.
    TemplateBuilder(DWORD style, short x, short y, short cx, short cy, const std::u16string &title,
                    WORD point_size = 8, const std::u16string &face = u"MS Shell Dlg", bool extended = false)
        : extended_(extended) {
        if (extended_) {
            Word(1);
            Word(0xFFFF);
            Dword(0);      // help id
            Dword(0);      // extended style
            Dword(style);
        } else {
            Dword(style);
            Dword(0);
        }
        count_at_ = bytes_.size();
        Word(0);
        Short(x), Short(y), Short(cx), Short(cy);
        Word(0);  // no menu
        Word(0);  // the dialog class
        String(title);
        if (style & DS_SETFONT) {
            Word(point_size);
            if (extended_) {
                Word(400);
                bytes_.push_back(0);
                bytes_.push_back(1);
            }
            String(face);
        }
    }

    // `class_ordinal` 0x80 for "Button", 0x82 for "Static"; 0 to use `class_name`.
    TemplateBuilder &Item(DWORD style, short x, short y, short cx, short cy, DWORD id, WORD class_ordinal,
                          const std::u16string &class_name, const std::u16string &text) {
        while (bytes_.size() % 4) bytes_.push_back(0);
        if (extended_) {
            Dword(0);
            Dword(0);
            Dword(style);
        } else {
            Dword(style);
            Dword(0);
        }
        Short(x), Short(y), Short(cx), Short(cy);
        if (extended_) {
            Dword(id);
        } else {
            Word(static_cast<WORD>(id));
        }
        if (class_ordinal != 0) {
            Word(0xFFFF);
            Word(class_ordinal);
        } else {
            String(class_name);
        }
        String(text);
        Word(0);  // no creation data
        WORD count;
        memcpy(&count, bytes_.data() + count_at_, sizeof(count));
        ++count;
        memcpy(bytes_.data() + count_at_, &count, sizeof(count));
        return *this;
    }

    // DWORD-aligned, as resources are.
    const DLGTEMPLATE *Template() {
        storage_.assign((bytes_.size() + 3) / 4, 0);
        memcpy(storage_.data(), bytes_.data(), bytes_.size());
        return reinterpret_cast<const DLGTEMPLATE *>(storage_.data());
    }
    size_t size() const { return bytes_.size(); }

private:
    void Word(WORD value) { Raw(&value, sizeof(value)); }
    void Short(short value) { Raw(&value, sizeof(value)); }
    void Dword(DWORD value) { Raw(&value, sizeof(value)); }
    void String(const std::u16string &text) { Raw(text.c_str(), (text.size() + 1) * sizeof(char16_t)); }
    void Raw(const void *data, size_t size) {
        const auto *bytes = static_cast<const BYTE *>(data);
        bytes_.insert(bytes_.end(), bytes, bytes + size);
    }

    bool extended_;
    size_t count_at_ = 0;
    std::vector<BYTE> bytes_;
    std::vector<DWORD> storage_;
};

}  // namespace tm350::user32::testing
