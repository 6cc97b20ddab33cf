// The capture module the build made, loaded for the tests that read its
// resources, and the UI language as the platform reads it.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace resources_test {

// Loaded once per test program and never freed: its resources stay mapped.
HMODULE CaptureModule();

// TM350_LANGID for one scope; the platform reads it on every lookup.
class UiLanguage {
public:
    explicit UiLanguage(LANGID language);
    ~UiLanguage();
    UiLanguage(const UiLanguage &) = delete;
    UiLanguage &operator=(const UiLanguage &) = delete;

private:
    std::optional<std::string> previous_;
};

}  // namespace resources_test
