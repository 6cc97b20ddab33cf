// The platform's headers against mingw-w64's: every identifier they define
// has mingw-w64's value, every __uuidof they attach mingw-w64 attaches too,
// and every interface has mingw-w64's base and its methods in mingw-w64's
// order, since a filter built here must fill the vtables Windows calls.
#include "headers/header_facts.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

// Windows' headers leave these to programs to declare; the identifier
// library defines them, as libstrmiids does.
EXTERN_C const CLSID CLSID_SampleGrabber;
EXTERN_C const CLSID CLSID_NullRenderer;

namespace tm350::headers {
namespace {

const std::filesystem::path kPlatformHeaders = TM350_PLATFORM_INCLUDE_DIR;
const std::filesystem::path kMingwHeaders = TM350_MINGW_INCLUDE_DIR;

class HeadersAgreeWithMingw : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        ours_ = new HeaderFacts(ReadHeaderFolder(kPlatformHeaders));
        if (std::filesystem::is_directory(kMingwHeaders)) mingw_ = new HeaderFacts(ReadHeaderFolder(kMingwHeaders));
    }
    static void TearDownTestSuite() {
        delete ours_;
        delete mingw_;
        ours_ = mingw_ = nullptr;
    }
    void SetUp() override {
        if (mingw_ == nullptr) GTEST_SKIP() << "mingw-w64's headers are not installed in " << kMingwHeaders;
    }

    static HeaderFacts *ours_;
    static HeaderFacts *mingw_;
};

HeaderFacts *HeadersAgreeWithMingw::ours_ = nullptr;
HeaderFacts *HeadersAgreeWithMingw::mingw_ = nullptr;

std::string Describe(const std::vector<GuidValue> &values) {
    std::string text;
    for (const auto &value : values) text += FormatGuid(value) + " ";
    return text.empty() ? "nothing" : text;
}

// Each name must be in `theirs`, with every value of ours among theirs.
std::string Disagreements(const std::map<std::string, std::vector<GuidValue>> &ours,
                          const std::map<std::string, std::vector<GuidValue>> &theirs) {
    std::ostringstream report;
    for (const auto &[name, values] : ours) {
        const auto found = theirs.find(name);
        for (const auto &value : values) {
            if (found == theirs.end() ||
                std::find(found->second.begin(), found->second.end(), value) == found->second.end()) {
                report << name << ": ours " << FormatGuid(value) << ", mingw-w64's "
                       << (found == theirs.end() ? "nothing" : Describe(found->second)) << "\n";
            }
        }
    }
    return report.str();
}

std::string Signature(const InterfaceDeclaration &declaration) {
    std::string text = ": " + (declaration.base.empty() ? std::string("(none)") : declaration.base) + " {";
    for (const auto &method : declaration.methods) text += " " + method;
    return text + " }";
}

TEST_F(HeadersAgreeWithMingw, TheHeadersAreReadForWhatTheyDefine) {
    // What the comparisons below rest on: known values and interfaces are found.
    const GuidValue rgb24 = {0xe436eb7d, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70};
    const GuidValue pin_property_set = {0x8C134960, 0x51AD, 0x11CF, 0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00};
    for (const HeaderFacts *facts : {ours_, mingw_}) {
        ASSERT_EQ(facts->identifiers.count("MEDIASUBTYPE_RGB24"), 1u);
        EXPECT_EQ(facts->identifiers.at("MEDIASUBTYPE_RGB24").front(), rgb24);
        ASSERT_EQ(facts->identifiers.count("KSPROPSETID_Pin"), 1u);
        EXPECT_EQ(facts->identifiers.at("KSPROPSETID_Pin").front(), pin_property_set);
        ASSERT_EQ(facts->interfaces.count("IPin"), 1u);
        EXPECT_EQ(facts->interfaces.at("IPin").front().methods.size(), 15u);
        EXPECT_EQ(facts->interfaces.at("IPin").front().methods.front(), "Connect");
        ASSERT_EQ(facts->interfaces.count("IMediaEventEx"), 1u);
        EXPECT_EQ(facts->interfaces.at("IMediaEventEx").front().base, "IMediaEvent");
    }
    EXPECT_GT(ours_->identifiers.size(), 120u);
    EXPECT_GT(ours_->interfaces.size(), 40u);
}

TEST_F(HeadersAgreeWithMingw, EveryIdentifierHasMingwsValue) {
    const std::string report = Disagreements(ours_->identifiers, mingw_->identifiers);
    EXPECT_TRUE(report.empty()) << report;
}

TEST_F(HeadersAgreeWithMingw, EveryUuidofIsMingwsAndMatchesTheInterfaceIdentifier) {
    const std::string report = Disagreements(ours_->uuidof, mingw_->uuidof);
    EXPECT_TRUE(report.empty()) << "__uuidof that mingw-w64 does not give or gives otherwise:\n" << report;
    for (const auto &[name, values] : ours_->uuidof) {
        const auto identifier = ours_->identifiers.find("IID_" + name);
        if (identifier == ours_->identifiers.end()) continue;  // IUnknown's are defined by ole32
        for (const auto &value : identifier->second) EXPECT_EQ(value, values.front()) << name;
    }
}

TEST_F(HeadersAgreeWithMingw, EveryInterfaceHasMingwsBaseAndMethodOrder) {
    std::ostringstream report;
    for (const auto &[name, declarations] : ours_->interfaces) {
        const auto found = mingw_->interfaces.find(name);
        for (const auto &declaration : declarations) {
            const bool agrees = found != mingw_->interfaces.end() &&
                                std::any_of(found->second.begin(), found->second.end(), [&](const auto &theirs) {
                                    return theirs.base == declaration.base && theirs.methods == declaration.methods;
                                });
            if (!agrees) {
                report << name << " (" << declaration.file << ") " << Signature(declaration) << "\n";
                if (found != mingw_->interfaces.end()) {
                    for (const auto &theirs : found->second) {
                        report << "  mingw-w64 " << theirs.file << " " << Signature(theirs) << "\n";
                    }
                }
            }
        }
    }
    EXPECT_TRUE(report.str().empty()) << report.str();
}

// The identifier library against the headers' text: every identifier a
// header declares is defined (the test program exports what it links, so
// dlsym finds them) with the value the header gives. This one needs no
// mingw-w64.
TEST(IdentifierLibrary, DefinesEveryIdentifierTheHeadersDeclareWithTheirValue) {
    const HeaderFacts ours = ReadHeaderFolder(kPlatformHeaders);
    ASSERT_GT(ours.identifiers.size(), 120u);
    std::ostringstream report;
    for (const auto &[name, values] : ours.identifiers) {
        const auto *defined = static_cast<const GUID *>(dlsym(RTLD_DEFAULT, name.c_str()));
        if (defined == nullptr) {
            report << name << ": not defined\n";
            continue;
        }
        const GuidValue linked = {defined->Data1,    defined->Data2,    defined->Data3,    defined->Data4[0],
                                  defined->Data4[1], defined->Data4[2], defined->Data4[3], defined->Data4[4],
                                  defined->Data4[5], defined->Data4[6], defined->Data4[7]};
        if (linked != values.front()) {
            report << name << ": defined " << FormatGuid(linked) << ", declared " << FormatGuid(values.front()) << "\n";
        }
    }
    EXPECT_TRUE(report.str().empty()) << report.str();
}

// The 16 bytes mingw-w64's libstrmiids stores for `name`, read with its
// objdump; false when the tools or the symbol are missing.
bool LibraryIdentifier(const std::string &name, GUID *value) {
    const std::string command = "x86_64-w64-mingw32-objdump -s -j '.rdata$" + name + "' " TM350_MINGW_STRMIIDS
                                " 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    unsigned char bytes[16];
    int found = 0;
    char line[256];
    while (fgets(line, sizeof(line), pipe) != nullptr) {
        unsigned offset, words[4];
        if (found == 0 && sscanf(line, " %x %8x %8x %8x %8x", &offset, &words[0], &words[1], &words[2], &words[3]) == 5 &&
            offset == 0) {
            // objdump prints the bytes in file order, four to a group.
            for (int word = 0; word < 4; ++word) {
                for (int byte = 0; byte < 4; ++byte) bytes[word * 4 + byte] = (words[word] >> (24 - 8 * byte)) & 0xFF;
            }
            found = 1;
        }
    }
    pclose(pipe);
    if (found) memcpy(value, bytes, sizeof(bytes));
    return found;
}

TEST(IdentifierLibrary, ClassesNoHeaderDeclaresHaveTheValuesOfWindowsLibrary) {
    GUID grabber, renderer;
    if (!LibraryIdentifier("CLSID_SampleGrabber", &grabber) || !LibraryIdentifier("CLSID_NullRenderer", &renderer)) {
        GTEST_SKIP() << "mingw-w64's objdump or " TM350_MINGW_STRMIIDS " is not installed";
    }
    EXPECT_TRUE(IsEqualGUID(CLSID_SampleGrabber, grabber));
    EXPECT_TRUE(IsEqualGUID(CLSID_NullRenderer, renderer));
    EXPECT_FALSE(IsEqualGUID(CLSID_SampleGrabber, CLSID_NullRenderer));
}

}  // namespace
}  // namespace tm350::headers
