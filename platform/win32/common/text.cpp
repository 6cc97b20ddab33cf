#include "common/text.h"

namespace tm350::text {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

}  // namespace

std::u16string Utf8ToUtf16(std::string_view input, bool *valid) {
    std::u16string output;
    output.reserve(input.size());
    if (valid != nullptr) *valid = true;
    size_t i = 0;
    while (i < input.size()) {
        auto byte = [&](size_t at) { return static_cast<unsigned char>(input[at]); };
        unsigned char lead = byte(i);
        if (lead < 0x80) {
            output.push_back(lead);
            ++i;
            continue;
        }
        // The continuation count and the allowed range of the first
        // continuation byte, which excludes overlong forms, surrogates and
        // code points past U+10FFFF.
        size_t continuations = 0;
        unsigned char low = 0x80, high = 0xBF;
        char32_t code = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            continuations = 1;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            continuations = 2;
            code = lead & 0x0F;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            continuations = 3;
            code = lead & 0x07;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        }
        size_t next = i + 1;
        bool complete = continuations > 0;
        for (size_t k = 0; k < continuations; ++k, ++next) {
            unsigned char lower_bound = k == 0 ? low : 0x80, upper_bound = k == 0 ? high : 0xBF;
            if (next >= input.size() || byte(next) < lower_bound || byte(next) > upper_bound) {
                complete = false;
                break;
            }
            code = (code << 6) | (byte(next) & 0x3F);
        }
        i = next;
        if (!complete) {
            if (valid != nullptr) *valid = false;
            output.push_back(kReplacement);
        } else if (code >= 0x10000) {
            code -= 0x10000;
            output.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            output.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            output.push_back(static_cast<char16_t>(code));
        }
    }
    return output;
}

std::string Utf16ToUtf8(std::u16string_view input, bool *valid) {
    std::string output;
    output.reserve(input.size());
    if (valid != nullptr) *valid = true;
    for (size_t i = 0; i < input.size(); ++i) {
        char32_t code = input[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < input.size() && input[i + 1] >= 0xDC00 &&
            input[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (input[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            if (valid != nullptr) *valid = false;
            code = kReplacement;
        }
        if (code < 0x80) {
            output.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            output.push_back(static_cast<char>(0xC0 | (code >> 6)));
            output.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            output.push_back(static_cast<char>(0xE0 | (code >> 12)));
            output.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            output.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            output.push_back(static_cast<char>(0xF0 | (code >> 18)));
            output.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            output.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            output.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return output;
}

size_t Length(LPCWSTR text) {
    if (text == nullptr) return 0;
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

std::u16string_view View(LPCWSTR text) {
    return {reinterpret_cast<const char16_t *>(text), Length(text)};
}

char16_t FoldCase(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - u'a' + u'A');
    // Latin-1 lower-case letters, except the division sign and y-diaeresis.
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
    return c;
}

std::u16string FoldCase(std::u16string_view text) {
    std::u16string out(text);
    for (auto &c : out) c = FoldCase(c);
    return out;
}

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldCase(a[i]) != FoldCase(b[i])) return false;
    }
    return true;
}

}  // namespace tm350::text
