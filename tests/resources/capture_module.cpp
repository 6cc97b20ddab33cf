#include "capture_module.h"

#include <cstdio>
#include <cstdlib>

namespace resources_test {

HMODULE CaptureModule() {
    static HMODULE module = LoadLibraryA(TM350_CAPTURE_MODULE);
    return module;
}

UiLanguage::UiLanguage(LANGID language) {
    if (const char *previous = std::getenv("TM350_LANGID")) previous_ = previous;
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", language);
    setenv("TM350_LANGID", text, 1);
}

UiLanguage::~UiLanguage() {
    if (previous_) {
        setenv("TM350_LANGID", previous_->c_str(), 1);
    } else {
        unsetenv("TM350_LANGID");
    }
}

}  // namespace resources_test
