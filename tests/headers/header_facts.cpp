#include "headers/header_facts.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

namespace tm350::headers {
namespace {

bool IsIdentifierCharacter(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

std::string Trim(const std::string &text) {
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

// Comments become spaces and continued lines one line, so that a macro
// definition is always one line and nothing in a comment is read as code.
std::string WithoutCommentsOrContinuations(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "//") == 0) {
            while (i < text.size() && text[i] != '\n') ++i;
            if (i < text.size()) out += '\n';
        } else if (text.compare(i, 2, "/*") == 0) {
            const size_t end = text.find("*/", i + 2);
            i = (end == std::string::npos) ? text.size() : end + 1;
            out += ' ';
        } else if (text[i] == '"') {
            const size_t start = i;
            for (++i; i < text.size() && text[i] != '"' && text[i] != '\n'; ++i) {
                if (text[i] == '\\') ++i;
            }
            out.append(text, start, i - start + 1);
        } else if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\n') {
            ++i;
            out += ' ';
        } else {
            out += text[i];
        }
    }
    return out;
}

bool OnDefineLine(const std::string &text, size_t position) {
    size_t line_start = text.rfind('\n', position);
    line_start = (line_start == std::string::npos) ? 0 : line_start + 1;
    const std::string line_head = Trim(text.substr(line_start, position - line_start));
    return line_head.rfind("#", 0) == 0;
}

// Positions where `word` stands as a whole identifier, followed by `next`
// after blanks (or by any blank when `next` is a space).
std::vector<size_t> Occurrences(const std::string &text, const std::string &word, char next) {
    std::vector<size_t> found;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        if (at > 0 && IsIdentifierCharacter(text[at - 1])) continue;
        size_t after = at + word.size();
        if (after < text.size() && IsIdentifierCharacter(text[after])) continue;
        if (next == ' ') {
            if (after < text.size() && std::isspace(static_cast<unsigned char>(text[after]))) found.push_back(at);
            continue;
        }
        while (after < text.size() && (text[after] == ' ' || text[after] == '\t')) ++after;
        if (after < text.size() && text[after] == next) found.push_back(at);
    }
    return found;
}

// The comma-separated arguments of the call whose '(' is at or after
// `from`; `end` receives the position after the closing ')'.
std::vector<std::string> Arguments(const std::string &text, size_t from, size_t *end) {
    std::vector<std::string> arguments;
    size_t open = text.find('(', from);
    if (open == std::string::npos) return arguments;
    int depth = 0;
    std::string current;
    for (size_t i = open; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '(') {
            if (depth++ > 0) current += c;
        } else if (c == ')') {
            if (--depth == 0) {
                arguments.push_back(Trim(current));
                if (end != nullptr) *end = i + 1;
                return arguments;
            }
            current += c;
        } else if (c == ',' && depth == 1) {
            arguments.push_back(Trim(current));
            current.clear();
        } else {
            current += c;
        }
    }
    return {};
}

bool ParseNumber(std::string text, unsigned long long *value) {
    while (!text.empty() && (text.back() == 'L' || text.back() == 'l' || text.back() == 'U' || text.back() == 'u')) {
        text.pop_back();
    }
    if (text.empty()) return false;
    char *end = nullptr;
    *value = std::strtoull(text.c_str(), &end, 0);
    return end != nullptr && *end == '\0';
}

bool ParseGuid(const std::vector<std::string> &parts, GuidValue *value) {
    if (parts.size() != value->size()) return false;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (!ParseNumber(parts[i], &(*value)[i])) return false;
    }
    (*value)[0] &= 0xFFFFFFFFull;
    (*value)[1] &= 0xFFFF;
    (*value)[2] &= 0xFFFF;
    for (size_t i = 3; i < value->size(); ++i) (*value)[i] &= 0xFF;
    return true;
}

std::vector<std::string> Split(const std::string &text) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, ',')) parts.push_back(Trim(part));
    return parts;
}

std::string IdentifierAt(const std::string &text, size_t *position) {
    size_t i = *position;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    const size_t start = i;
    while (i < text.size() && IsIdentifierCharacter(text[i])) ++i;
    *position = i;
    return text.substr(start, i - start);
}

// The methods of an interface body in declaration order: the STDMETHOD
// forms, and "virtual <type> <convention> Name(" as mingw-w64 writes them.
std::vector<std::string> Methods(const std::string &body) {
    std::vector<std::pair<size_t, std::string>> found;
    for (size_t at : Occurrences(body, "STDMETHOD", '(')) {
        size_t end = 0;
        const auto arguments = Arguments(body, at, &end);
        if (!arguments.empty()) found.emplace_back(at, arguments[0]);
    }
    for (size_t at : Occurrences(body, "STDMETHOD_", '(')) {
        size_t end = 0;
        const auto arguments = Arguments(body, at, &end);
        if (arguments.size() == 2) found.emplace_back(at, arguments[1]);
    }
    for (size_t at : Occurrences(body, "virtual", ' ')) {
        const size_t open = body.find('(', at);
        if (open == std::string::npos) continue;
        size_t name_end = open;
        while (name_end > at && std::isspace(static_cast<unsigned char>(body[name_end - 1]))) --name_end;
        size_t name_start = name_end;
        while (name_start > at && IsIdentifierCharacter(body[name_start - 1])) --name_start;
        found.emplace_back(at, body.substr(name_start, name_end - name_start));
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> methods;
    for (auto &[position, name] : found) methods.push_back(std::move(name));
    return methods;
}

class FactCollector {
  public:
    void Read(const std::string &raw_text, const std::string &file) {
        const std::string text = WithoutCommentsOrContinuations(raw_text);
        ReadStatics(text);
        ReadIdentifiers(text);
        ReadInterfaces(text, file);
    }

    HeaderFacts Finish() {
        for (const auto &[name, static_name] : by_static_name_) {
            GuidValue value;
            if (Resolve(static_name, &value)) facts_.identifiers[name].push_back(value);
        }
        return std::move(facts_);
    }

  private:
    void ReadStatics(const std::string &text) {
        std::stringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            line = Trim(line);
            if (line.rfind("#", 0) != 0) continue;
            line = Trim(line.substr(1));
            if (line.rfind("define", 0) != 0) continue;
            size_t position = 6;
            const std::string name = IdentifierAt(line, &position);
            if (name.rfind("STATIC_", 0) == 0) statics_[name] = Trim(line.substr(position));
        }
    }

    bool Resolve(const std::string &static_name, GuidValue *value, int depth = 0) const {
        const auto found = statics_.find(static_name);
        if (found == statics_.end() || depth > 8) return false;
        if (ParseGuid(Split(found->second), value)) return true;
        return Resolve(found->second, value, depth + 1);
    }

    void Record(std::map<std::string, std::vector<GuidValue>> &into, const std::vector<std::string> &arguments) {
        if (arguments.size() == 2 && arguments[1].rfind("STATIC_", 0) == 0) {
            by_static_name_.emplace_back(arguments[0], arguments[1]);
            return;
        }
        GuidValue value;
        if (arguments.size() == 12 &&
            ParseGuid(std::vector<std::string>(arguments.begin() + 1, arguments.end()), &value)) {
            into[arguments[0]].push_back(value);
        }
    }

    void ReadIdentifiers(const std::string &text) {
        for (const char *macro : {"DEFINE_GUID", "OUR_GUID_ENTRY", "__CRT_UUID_DECL", "DEFINE_OLEGUID",
                                  "DEFINE_GUIDSTRUCT"}) {
            const std::string name(macro);
            for (size_t at : Occurrences(text, name, '(')) {
                if (OnDefineLine(text, at)) continue;
                size_t end = 0;
                auto arguments = Arguments(text, at, &end);
                if (name == "__CRT_UUID_DECL") {
                    Record(facts_.uuidof, arguments);
                } else if (name == "DEFINE_OLEGUID") {
                    if (arguments.size() != 4) continue;
                    for (const char *tail : {"0xC0", "0", "0", "0", "0", "0", "0", "0x46"}) arguments.push_back(tail);
                    Record(facts_.identifiers, arguments);
                } else if (name == "DEFINE_GUIDSTRUCT") {
                    if (arguments.size() == 2) by_static_name_.emplace_back(arguments[1], "STATIC_" + arguments[1]);
                } else {
                    Record(facts_.identifiers, arguments);
                }
            }
        }
    }

    void AddInterface(const std::string &text, const std::string &file, const std::string &name,
                      const std::string &base, size_t search_from) {
        const size_t open = text.find('{', search_from);
        if (open == std::string::npos || name.empty()) return;
        int depth = 0;
        size_t close = open;
        for (; close < text.size(); ++close) {
            if (text[close] == '{') ++depth;
            if (text[close] == '}' && --depth == 0) break;
        }
        facts_.interfaces[name].push_back({base, Methods(text.substr(open, close - open)), file});
    }

    // After "NAME", an optional ": public BASE"; `position` moves past it.
    std::string BaseAfter(const std::string &text, size_t *position) {
        size_t i = *position;
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        if (i >= text.size() || text[i] != ':') return "";
        ++i;
        std::string word = IdentifierAt(text, &i);
        if (word == "public") word = IdentifierAt(text, &i);
        *position = i;
        return word;
    }

    void ReadInterfaces(const std::string &text, const std::string &file) {
        for (size_t at : Occurrences(text, "MIDL_INTERFACE", '(')) {
            if (OnDefineLine(text, at)) continue;
            size_t position = 0;
            Arguments(text, at, &position);
            const std::string name = IdentifierAt(text, &position);
            const std::string base = BaseAfter(text, &position);
            AddInterface(text, file, name, base, position);
        }
        for (size_t at : Occurrences(text, "DECLARE_INTERFACE_", '(')) {
            if (OnDefineLine(text, at)) continue;
            size_t position = 0;
            const auto arguments = Arguments(text, at, &position);
            if (arguments.size() == 2) AddInterface(text, file, arguments[0], arguments[1], position);
        }
        // Interfaces written as plain structs (mingw-w64's control.h).
        for (size_t at : Occurrences(text, "struct", ' ')) {
            if (OnDefineLine(text, at)) continue;
            size_t position = at + 6;
            const std::string name = IdentifierAt(text, &position);
            if (name.size() < 2 || name[0] != 'I' || !std::isupper(static_cast<unsigned char>(name[1]))) continue;
            const std::string base = BaseAfter(text, &position);
            if (base.empty()) continue;
            size_t brace = position;
            while (brace < text.size() && std::isspace(static_cast<unsigned char>(text[brace]))) ++brace;
            if (brace < text.size() && text[brace] == '{') AddInterface(text, file, name, base, brace);
        }
    }

    HeaderFacts facts_;
    std::map<std::string, std::string> statics_;
    std::vector<std::pair<std::string, std::string>> by_static_name_;
};

}  // namespace

std::string FormatGuid(const GuidValue &value) {
    char text[40];
    snprintf(text, sizeof(text), "{%08llX-%04llX-%04llX-%02llX%02llX-%02llX%02llX%02llX%02llX%02llX%02llX}", value[0],
             value[1], value[2], value[3], value[4], value[5], value[6], value[7], value[8], value[9], value[10]);
    return text;
}

HeaderFacts ReadHeaderText(const std::string &text, const std::string &file) {
    FactCollector collector;
    collector.Read(text, file);
    return collector.Finish();
}

HeaderFacts ReadHeaderFolder(const std::filesystem::path &folder) {
    std::vector<std::filesystem::path> headers;
    for (const auto &entry : std::filesystem::directory_iterator(folder)) {
        if (entry.is_regular_file() && entry.path().extension() == ".h") headers.push_back(entry.path());
    }
    std::sort(headers.begin(), headers.end());
    FactCollector collector;
    for (const auto &header : headers) {
        std::ifstream stream(header, std::ios::binary);
        std::stringstream text;
        text << stream.rdbuf();
        collector.Read(text.str(), header.filename().string());
    }
    return collector.Finish();
}

}  // namespace tm350::headers
