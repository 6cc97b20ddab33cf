#include "support/temp_directory.h"

#include <cstdlib>
#include <stdexcept>

namespace tm350::test {

std::filesystem::path BinDirectory() { return std::filesystem::read_symlink("/proc/self/exe").parent_path(); }

std::filesystem::path LibDirectory() { return BinDirectory().parent_path() / "lib"; }

TempDirectory::TempDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tm350-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

TempRegistry::TempRegistry() {
    if (const char *previous = std::getenv("TM350_REGISTRY")) {
        previous_ = previous;
        had_previous_ = true;
    }
    setenv("TM350_REGISTRY", directory_.path().c_str(), 1);
}

TempRegistry::~TempRegistry() {
    if (had_previous_) {
        setenv("TM350_REGISTRY", previous_.c_str(), 1);
    } else {
        unsetenv("TM350_REGISTRY");
    }
}

}  // namespace tm350::test
