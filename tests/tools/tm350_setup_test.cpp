// tm350 setup's server as a program talks to it: HTTP answers, bad input,
// two viewers at once, a viewer that goes away mid-stream, and Ctrl-C. The
// browser test drives the same server through the pages themselves.
#include <gtest/gtest.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include "support/run_tm350.h"
#include "support/temp_directory.h"

namespace {

using nlohmann::json;
using tm350::test::CommandResult;

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// The first window of the tree, depth first, that `match` accepts; null
// json when none does.
json FindWindow(const json &windows, const std::function<bool(const json &)> &match) {
    for (const json &window : windows) {
        if (match(window)) return window;
        json found = FindWindow(window["children"], match);
        if (!found.is_null()) return found;
    }
    return json();
}

// Visible only: the two pages repeat some ids, and the size page's hidden
// radio buttons are among them.
json WindowWithId(const json &state, int id, const char *className) {
    return FindWindow(state["windows"], [&](const json &window) {
        return window["id"] == id && window["class"] == className && window["visible"] == true;
    });
}

class Tm350Setup : public ::testing::Test {
protected:
    void SetUp() override {
        // The tool registers the capture module into this test's registry.
        setenv("TM350_SIM", "timing=fast", 1);
        tool_ = std::make_unique<tm350::test::RunningTm350>(std::vector<std::string>{"setup", "--lang", "en"});
        const std::regex address(R"(tm350 setup: open http://127\.0\.0\.1:(\d+)/ in a browser)");
        std::string line;
        while (tool_->ReadLine(&line)) {
            std::smatch found;
            if (std::regex_match(line, found, address)) {
                port_ = std::stoi(found[1]);
                break;
            }
        }
        ASSERT_NE(port_, 0) << tool_->Finish().output;
    }
    void TearDown() override {
        unsetenv("TM350_SIM");
        if (tool_) {
            tool_->Interrupt();
            tool_->Finish();
        }
    }
    httplib::Client Client() const {
        httplib::Client client("127.0.0.1", port_);
        client.set_read_timeout(30, 0);
        return client;
    }
    json State(const std::string &path = "/state") {
        httplib::Result answer = Client().Get(path.c_str());
        EXPECT_TRUE(answer) << path;
        if (!answer) return json();
        EXPECT_EQ(answer->status, 200) << answer->body;
        return json::parse(answer->body, nullptr, false);
    }
    // A point in the middle of a window of the state.
    static std::string ClickAt(const json &window) {
        const json &rect = window["rect"];
        const long x = (rect["left"].get<long>() + rect["right"].get<long>()) / 2;
        const long y = (rect["top"].get<long>() + rect["bottom"].get<long>()) / 2;
        return json{{"action", "click"}, {"x", x}, {"y", y}}.dump();
    }

    tm350::test::TempRegistry registry_;
    std::unique_ptr<tm350::test::RunningTm350> tool_;
    int port_ = 0;
};

// The client, the state with both frames and the statistics, one picture,
// and what comes of asking for something that is not there.
TEST_F(Tm350Setup, ServesTheClientTheFramesAndAPicture) {
    httplib::Client client = Client();
    httplib::Result page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_TRUE(Contains(page->get_header_value("Content-Type"), "text/html"));
    EXPECT_TRUE(Contains(page->body, "setup.js"));
    for (const char *file : {"/setup.js", "/setup.css"}) {
        httplib::Result answer = client.Get(file);
        ASSERT_TRUE(answer) << file;
        EXPECT_EQ(answer->status, 200) << file;
        EXPECT_FALSE(answer->body.empty()) << file;
    }
    for (const char *missing : {"/nothing", "/setup.jsx", "/index.html/"}) {
        httplib::Result answer = client.Get(missing);
        ASSERT_TRUE(answer) << missing;
        EXPECT_EQ(answer->status, 404) << missing;
    }
    httplib::Result outside = client.Get("/../CMakeLists.txt");
    ASSERT_TRUE(outside);
    EXPECT_GE(outside->status, 400);

    json state = State();
    ASSERT_TRUE(state.is_object());
    EXPECT_TRUE(state["generation"].is_number_unsigned());
    EXPECT_EQ(state["capture"]["camera"], "TM350Mt CCD USB2.0 Camera");
    // Both frames are up: the setup page's labels from the stored defaults,
    // the size page's check, each frame on its own thread.
    json gamma = WindowWithId(state, 1042, "Static");
    ASSERT_FALSE(gamma.is_null()) << state.dump(1);
    EXPECT_EQ(gamma["text"], "1.00");
    EXPECT_EQ(WindowWithId(state, 1026, "Static")["text"], "13.86 dB");
    json slider = WindowWithId(state, 1011, "msctls_trackbar32");
    ASSERT_FALSE(slider.is_null());
    EXPECT_EQ(slider["range"], json::array({10, 250}));
    EXPECT_EQ(slider["position"], 100);
    json large = WindowWithId(state, 1001, "Button");
    ASSERT_FALSE(large.is_null()) << state.dump(1);
    EXPECT_EQ(large["check"], 1);
    std::set<unsigned long> threads;
    for (const json &window : state["windows"])
        if (window["visible"] == true) threads.insert(window["thread"].get<unsigned long>());
    EXPECT_GE(threads.size(), 2u);

    httplib::Result picture = client.Get("/picture.jpg");
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->status, 200);
    EXPECT_EQ(picture->get_header_value("Content-Type"), "image/jpeg");
    ASSERT_GT(picture->body.size(), 1000u);
    EXPECT_EQ(picture->body.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(picture->body.substr(picture->body.size() - 2), "\xFF\xD9");
}

// Malformed input is refused with a reason and changes nothing; a click on
// no window is answered and dropped; a click on a control is handled by the
// page before the answer, which carries the new state.
TEST_F(Tm350Setup, InputIsCheckedAndAnsweredWithTheNewState) {
    httplib::Client client = Client();
    const json before = State();
    for (const char *bad : {"", "{", "[]", "{\"action\":\"click\"}", "{\"action\":\"jump\",\"x\":1,\"y\":1}",
                            "{\"action\":\"down\",\"x\":\"10\",\"y\":1}", "{\"action\":\"up\",\"x\":1e300,\"y\":1}"}) {
        httplib::Result answer = client.Post("/input", bad, "application/json");
        ASSERT_TRUE(answer) << bad;
        EXPECT_EQ(answer->status, 400) << bad;
        json error = json::parse(answer->body, nullptr, false);
        EXPECT_TRUE(error["error"].is_string()) << bad << ": " << answer->body;
    }
    httplib::Result nowhere = client.Post("/input", R"({"action":"click","x":-50000,"y":-50000})", "application/json");
    ASSERT_TRUE(nowhere);
    EXPECT_EQ(nowhere->status, 200);
    EXPECT_EQ(json::parse(nowhere->body)["input"]["delivered"], false);
    httplib::Result badAfter = client.Get("/state?after=soon");
    ASSERT_TRUE(badAfter);
    EXPECT_EQ(badAfter->status, 400);

    // Color Enhancement clicked: the answer already shows it cleared.
    json enhancement = WindowWithId(before, 1002, "Button");
    ASSERT_FALSE(enhancement.is_null());
    EXPECT_EQ(enhancement["check"], 1);
    httplib::Result clicked = client.Post("/input", ClickAt(enhancement), "application/json");
    ASSERT_TRUE(clicked);
    ASSERT_EQ(clicked->status, 200) << clicked->body;
    json after = json::parse(clicked->body);
    EXPECT_EQ(after["input"]["delivered"], true);
    EXPECT_EQ(after["input"]["handled"], true);
    EXPECT_EQ(WindowWithId(after, 1002, "Button")["check"], 0);
    EXPECT_GT(after["generation"].get<uint64_t>(), before["generation"].get<uint64_t>());
}

// A long poll returns once the desktop changes, here by another client's click.
TEST_F(Tm350Setup, LongPollAnswersWhenTheDesktopChanges) {
    const json before = State();
    const uint64_t generation = before["generation"];
    json highSpeed = WindowWithId(before, 1029, "Button");
    ASSERT_FALSE(highSpeed.is_null());
    int polledStatus = 0;
    std::string polledBody;
    std::thread poller([&] {
        httplib::Result polled = Client().Get(("/state?after=" + std::to_string(generation)).c_str());
        if (polled) {
            polledStatus = polled->status;
            polledBody = polled->body;
        }
    });
    httplib::Result clicked = Client().Post("/input", ClickAt(highSpeed), "application/json");
    poller.join();
    ASSERT_TRUE(clicked);
    ASSERT_EQ(polledStatus, 200);
    EXPECT_GT(json::parse(polledBody)["generation"].get<uint64_t>(), generation);
}

// Two viewers of the live picture at once; one goes away mid-stream and the
// other keeps getting pictures; Ctrl-C then ends the tool as interrupted.
TEST_F(Tm350Setup, TwoViewersOneLeavingThenCtrlC) {
    const std::string boundary = "--tm350picture\r\nContent-Type: image/jpeg\r\n";
    auto parts = [&](const std::string &stream) {
        size_t count = 0;
        for (size_t at = stream.find(boundary); at != std::string::npos; at = stream.find(boundary, at + 1)) ++count;
        return count;
    };
    std::string leaving, staying;
    httplib::Result left = Client().Get("/picture.mjpg", [&](const char *data, size_t length) {
        leaving.append(data, length);
        return parts(leaving) < 2;  // gone after its second picture has begun
    });
    EXPECT_FALSE(left);  // the client cancelled
    EXPECT_GE(parts(leaving), 2u);
    httplib::Result stayed = Client().Get("/picture.mjpg", [&](const char *data, size_t length) {
        staying.append(data, length);
        return parts(staying) < 4;
    });
    EXPECT_GE(parts(staying), 4u);

    tool_->Interrupt();
    CommandResult run = tool_->Finish();
    tool_.reset();
    EXPECT_EQ(run.exit_code, 130) << run.output;
    EXPECT_TRUE(Contains(run.output, "tm350 setup: interrupted\n")) << run.output;
}

TEST(Tm350SetupArguments, AreCheckedBeforeAnythingStarts) {
    for (const char *arguments : {"setup --lang fr", "setup --port 70000", "setup --port", "setup -x"}) {
        CommandResult run = tm350::test::RunTm350(arguments);
        EXPECT_EQ(run.exit_code, 2) << arguments << ": " << run.output;
        EXPECT_TRUE(Contains(run.output, "tm350 setup: ")) << run.output;
    }
}

}  // namespace
