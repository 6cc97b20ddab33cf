#include "dialog_template.h"

#include <cstring>

namespace resources_test {
namespace {

class Cursor {
public:
    explicit Cursor(std::span<const BYTE> bytes) : bytes_(bytes) {}

    bool ok() const { return ok_; }

    template <class T>
    T Read() {
        T value{};
        if (!ok_ || bytes_.size() - offset_ < sizeof value) {
            ok_ = false;
            return value;
        }
        std::memcpy(&value, bytes_.data() + offset_, sizeof value);
        offset_ += sizeof value;
        return value;
    }

    std::u16string ReadString() {
        std::u16string text;
        while (ok_) {
            char16_t c = Read<char16_t>();
            if (c == 0) break;
            text.push_back(c);
        }
        return text;
    }

    // A field that is empty (0), a number (0xFFFF, n) or a string.
    void ReadNameOrNumber(WORD &number, std::u16string &text) {
        WORD first = Read<WORD>();
        if (first == 0xFFFF) {
            number = Read<WORD>();
        } else if (first != 0) {
            text.push_back(static_cast<char16_t>(first));
            text += ReadString();
        }
    }

    void AlignToDword() { offset_ = (offset_ + 3) & ~size_t{3}; }
    void Skip(size_t count) {
        if (bytes_.size() - offset_ < count) ok_ = false;
        else offset_ += count;
    }

private:
    std::span<const BYTE> bytes_;
    size_t offset_ = 0;
    bool ok_ = true;
};

TemplateRect ReadRect(Cursor &cursor) {
    TemplateRect rect;
    rect.x = cursor.Read<short>();
    rect.y = cursor.Read<short>();
    rect.cx = cursor.Read<short>();
    rect.cy = cursor.Read<short>();
    return rect;
}

}  // namespace

std::optional<DialogTemplate> ReadExtendedTemplate(std::span<const BYTE> bytes) {
    Cursor cursor(bytes);
    if (cursor.Read<WORD>() != 1 || cursor.Read<WORD>() != 0xFFFF) return std::nullopt;
    DialogTemplate dialog;
    cursor.Read<DWORD>();  // help id
    dialog.ex_style = cursor.Read<DWORD>();
    dialog.style = cursor.Read<DWORD>();
    WORD count = cursor.Read<WORD>();
    dialog.rect = ReadRect(cursor);
    WORD ignored_number = 0;
    std::u16string ignored_text;
    cursor.ReadNameOrNumber(ignored_number, ignored_text);  // menu
    cursor.ReadNameOrNumber(ignored_number, ignored_text);  // window class
    cursor.ReadString();                                    // caption
    if (dialog.style & 0x40) {  // DS_SETFONT
        dialog.point_size = cursor.Read<WORD>();
        dialog.weight = cursor.Read<WORD>();
        dialog.italic = cursor.Read<BYTE>();
        dialog.charset = cursor.Read<BYTE>();
        dialog.font = cursor.ReadString();
    }
    for (WORD index = 0; index < count && cursor.ok(); ++index) {
        cursor.AlignToDword();
        TemplateItem item;
        cursor.Read<DWORD>();  // help id
        item.ex_style = cursor.Read<DWORD>();
        item.style = cursor.Read<DWORD>();
        item.rect = ReadRect(cursor);
        item.id = cursor.Read<DWORD>();
        cursor.ReadNameOrNumber(item.class_atom, item.class_name);
        WORD text_number = 0;
        cursor.ReadNameOrNumber(text_number, item.text);
        cursor.Skip(cursor.Read<WORD>());  // creation data
        dialog.items.push_back(std::move(item));
    }
    if (!cursor.ok()) return std::nullopt;
    return dialog;
}

}  // namespace resources_test
