#include "tools/tm350/setting_arguments.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace tm350::tool {

namespace {

// A twin reads and writes the field of another value: found by writing a
// mark through one and reading it back through the other.
bool SharesField(const CSettingValue &value, const CSettingValue &twin) {
    CCameraSettings probe{};
    value.set(probe, 1);
    return twin.get(probe) == 1;
}

}  // namespace

const CSettingValue *FindSettingValue(const char *name) {
    for (const CSettingValue &value : g_SettingValues) {
        if (strcmp(value.name, name) == 0) return &value;
    }
    return nullptr;
}

SettingRange RangeOf(const CSettingValue &value, SettingUse use) {
    SettingRange range{value.minimum, value.maximum};
    if (use != SettingUse::Saved) return range;
    bool after = false;
    for (const CSettingValue &other : g_SettingValues) {
        if (&other == &value) {
            after = true;
        } else if (after && other.isTwin && SharesField(value, other)) {
            range = {other.minimum, other.maximum};
        }
    }
    return range;
}

bool ApplySettingArgument(const std::string &argument, std::initializer_list<const char *> allowed,
                          CCameraSettings &settings, std::string *error, SettingUse use) {
    size_t equals = argument.find('=');
    if (equals == std::string::npos) {
        *error = "expected Name=value, got \"" + argument + "\"";
        return false;
    }
    std::string name = argument.substr(0, equals);
    std::string text = argument.substr(equals + 1);
    const CSettingValue *value = nullptr;
    for (const char *setting : allowed) {
        if (strcasecmp(setting, name.c_str()) == 0) value = FindSettingValue(setting);
    }
    if (value == nullptr) {
        *error = "unknown setting \"" + name + "\"";
        return false;
    }
    const SettingRange range = RangeOf(*value, use);
    errno = 0;
    char *end = nullptr;
    long long number = text.empty() ? -1 : strtoll(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0' || number < static_cast<long long>(range.minimum) ||
        number > static_cast<long long>(range.maximum)) {
        *error = std::string(value->name) + "=" + text + " is out of range " + std::to_string(range.minimum) +
                 " to " + std::to_string(range.maximum);
        return false;
    }
    value->set(settings, static_cast<DWORD>(number));
    return true;
}

}  // namespace tm350::tool
