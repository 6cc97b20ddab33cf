// A fresh directory for one test, removed with everything in it at the end.
#pragma once

#include <filesystem>
#include <string>

namespace tm350::test {

// The build tree's bin and lib folders, found from the test program itself
// (it lives in bin), so tests need no environment to find tools and modules.
std::filesystem::path BinDirectory();
std::filesystem::path LibDirectory();

class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory &) = delete;
    TempDirectory &operator=(const TempDirectory &) = delete;

    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Points the registry at a directory of its own for the lifetime of the
// object, and restores the previous directory afterwards.
class TempRegistry {
public:
    TempRegistry();
    ~TempRegistry();

    const std::filesystem::path &path() const { return directory_.path(); }

private:
    TempDirectory directory_;
    std::string previous_;
    bool had_previous_ = false;
};

}  // namespace tm350::test
