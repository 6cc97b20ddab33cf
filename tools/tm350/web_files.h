// The web client of tm350 setup, embedded into the program when it is built
// (tools/tm350/web), so the tool serves it without files beside it.
#pragma once

#include <cstddef>
#include <string_view>

namespace tm350::tool {

struct EmbeddedFile {
    const char *name;  // file name, as the client refers to it: "setup.js"
    const unsigned char *bytes;
    size_t size;
};

extern const EmbeddedFile kWebFiles[];
extern const size_t kWebFileCount;

// The file of that name, or nullptr.
inline const EmbeddedFile *FindWebFile(std::string_view name) {
    for (size_t i = 0; i < kWebFileCount; ++i)
        if (name == kWebFiles[i].name) return &kWebFiles[i];
    return nullptr;
}

}  // namespace tm350::tool
