// Plays inputs of the vexusb fuzz target without the fuzzer, so that the
// checked-in corpus runs as an ordinary test in every build:
//   driver_fuzz_replay FILE|DIR...       plays each file (a directory's files in name order)
//   driver_fuzz_replay --write-seeds DIR writes the seed inputs there
// After the last input every camera comes out and the driver unloads, which
// makes the verifier check for leaks.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "driver_fuzz.h"
#include "seeds.h"

namespace {

namespace fs = std::filesystem;

bool WriteSeeds(const fs::path &directory) {
    fs::create_directories(directory);
    for (const driver_fuzz::Seed &seed : driver_fuzz::Seeds()) {
        std::ofstream out(directory / seed.name, std::ios::binary);
        out.write(reinterpret_cast<const char *>(seed.bytes.data()), static_cast<std::streamsize>(seed.bytes.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", (directory / seed.name).c_str());
            return false;
        }
    }
    return true;
}

std::vector<fs::path> InputsOf(const fs::path &path) {
    if (!fs::is_directory(path)) return {path};
    std::vector<fs::path> files;
    for (const fs::directory_entry &entry : fs::directory_iterator(path))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::string(argv[1]) == "--write-seeds") return WriteSeeds(argv[2]) ? 0 : 1;
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE|DIR... | --write-seeds DIR\n", argv[0]);
        return 2;
    }
    driver_fuzz::StartMachine();
    size_t played = 0;
    for (int i = 1; i < argc; ++i) {
        for (const fs::path &file : InputsOf(argv[i])) {
            std::ifstream in(file, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "cannot read %s\n", file.c_str());
                return 1;
            }
            const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            std::fprintf(stderr, "%s\n", file.filename().c_str());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++played;
        }
    }
    driver_fuzz::StopMachine();
    std::printf("%zu inputs played\n", played);
    return played > 0 ? 0 : 1;
}
