#include "tools/tm350/setting_arguments.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "filter/settings_store.h"

namespace tm350::tool {

namespace {

const CSettingValue *FindSettingValue(const char *name) {
    for (const CSettingValue &value : g_SettingValues) {
        if (strcmp(value.name, name) == 0) return &value;
    }
    return nullptr;
}

}  // namespace

bool ApplySettingArgument(const std::string &argument, std::initializer_list<const char *> allowed,
                          CCameraSettings &settings, std::string *error) {
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
    errno = 0;
    char *end = nullptr;
    long long number = text.empty() ? -1 : strtoll(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0' || number < static_cast<long long>(value->minimum) ||
        number > static_cast<long long>(value->maximum)) {
        *error = std::string(value->name) + "=" + text + " is out of range " + std::to_string(value->minimum) +
                 " to " + std::to_string(value->maximum);
        return false;
    }
    value->set(settings, static_cast<DWORD>(number));
    return true;
}

}  // namespace tm350::tool
