#include "kernel32/environment.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace tm350::kernel {

std::optional<std::string> ReadEnvironment(const char *name) {
    const char *value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::optional<unsigned long> ReadEnvironmentNumber(const char *name) {
    auto value = ReadEnvironment(name);
    if (!value || value->empty()) return std::nullopt;
    const char *text = value->c_str();
    int base = 10;
    if (value->size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    // strtoul accepts signs and leading blanks; a number here is digits only.
    if (!(base == 16 ? isxdigit(static_cast<unsigned char>(*text)) : isdigit(static_cast<unsigned char>(*text)))) {
        return std::nullopt;
    }
    errno = 0;
    char *end = nullptr;
    unsigned long number = std::strtoul(text, &end, base);
    if (errno != 0 || *end != '\0') return std::nullopt;
    return number;
}

}  // namespace tm350::kernel
