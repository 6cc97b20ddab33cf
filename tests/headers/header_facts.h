// What a folder of Windows-style headers declares, read from their text:
// the value of every identifier defined with DEFINE_GUID and its kin, the
// identifier attached to each interface for __uuidof, and each C++
// interface's base and methods in vtable order. Enough to compare the
// platform's headers with mingw-w64's without compiling either.
#pragma once

#include <array>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tm350::headers {

// Data1, Data2, Data3 and the eight bytes of Data4, as written.
using GuidValue = std::array<unsigned long long, 11>;

std::string FormatGuid(const GuidValue &value);

struct InterfaceDeclaration {
    std::string base;  // empty for IUnknown
    std::vector<std::string> methods;
    std::string file;
};

struct HeaderFacts {
    std::map<std::string, std::vector<GuidValue>> identifiers;
    std::map<std::string, std::vector<GuidValue>> uuidof;
    std::map<std::string, std::vector<InterfaceDeclaration>> interfaces;
};

// Reads every *.h directly in `folder` (not its subfolders).
HeaderFacts ReadHeaderFolder(const std::filesystem::path &folder);

// One header's text; `file` names it in the declarations found.
HeaderFacts ReadHeaderText(const std::string &text, const std::string &file);

}  // namespace tm350::headers
