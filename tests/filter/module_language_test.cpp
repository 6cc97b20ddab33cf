// The module's choice of language for its property pages, made once when it
// is loaded from the user's default language.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "capture_module_fixture.h"

namespace filter_test {
namespace {

// The user's default language for this test only, as the platform reads it.
class DefaultLanguage {
public:
    explicit DefaultLanguage(LANGID language) {
        if (const char *previous = std::getenv("TM350_LANGID")) previous_ = previous;
        char text[16];
        std::snprintf(text, sizeof text, "0x%04X", language);
        setenv("TM350_LANGID", text, 1);
    }
    ~DefaultLanguage() {
        if (previous_.empty()) {
            unsetenv("TM350_LANGID");
        } else {
            setenv("TM350_LANGID", previous_.c_str(), 1);
        }
    }

private:
    std::string previous_;
};

// The flag as a freshly loaded module sets it. Each load is of a copy of its
// own, so a module COM keeps loaded from another test cannot answer instead.
DWORD ChineseResourcesFlagAfterLoad(LANGID language, const std::filesystem::path &directory) {
    DefaultLanguage user_language(language);
    char name[32];
    std::snprintf(name, sizeof name, "TM350Mt64-%04X.ax", language);
    std::filesystem::path copy = directory / name;
    std::filesystem::copy_file(ModulePath(0), copy, std::filesystem::copy_options::overwrite_existing);
    HMODULE module = LoadLibraryA(copy.c_str());
    EXPECT_NE(module, nullptr);
    if (module == NULL) return 0xFFFFFFFF;
    // Natively the module's variable is one of its dynamic symbols.
    auto *flag = reinterpret_cast<const DWORD *>(GetProcAddress(module, "g_bChineseResources"));
    EXPECT_NE(flag, nullptr);
    DWORD value = flag != nullptr ? *flag : 0xFFFFFFFF;
    FreeLibrary(module);
    return value;
}

TEST(ModuleLanguage, OnlySimplifiedChineseChoosesTheChineseResources) {
    tm350::test::TempDirectory directory;
    EXPECT_EQ(ChineseResourcesFlagAfterLoad(0x0804, directory.path()), 1u);  // Chinese (PRC)
    EXPECT_EQ(ChineseResourcesFlagAfterLoad(0x0404, directory.path()), 0u);  // Chinese (Taiwan)
    EXPECT_EQ(ChineseResourcesFlagAfterLoad(0x0C04, directory.path()), 0u);  // Chinese (Hong Kong)
    EXPECT_EQ(ChineseResourcesFlagAfterLoad(0x1004, directory.path()), 0u);  // Chinese (Singapore)
    EXPECT_EQ(ChineseResourcesFlagAfterLoad(0x0409, directory.path()), 0u);  // English (US)
    EXPECT_EQ(ChineseResourcesFlagAfterLoad(0x0004, directory.path()), 0u);  // Chinese, no sublanguage
}

}  // namespace
}  // namespace filter_test
