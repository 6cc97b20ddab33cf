#include "tools/tm350/setup_server.h"

#include <httplib.h>

#include <chrono>
#include <climits>
#include <cmath>

#include "platform/win32/user32/headless_desktop.h"
#include "tools/tm350/desktop_json.h"
#include "tools/tm350/web_files.h"

namespace tm350::tool {

namespace {

// A long poll answers at the latest after this, changed or not, so proxies
// and browsers never give up on it first.
constexpr auto kLongPollLimit = std::chrono::seconds(20);
// How often waits look whether the server is stopping.
constexpr DWORD kStopCheckMs = 250;
// Input is waited for this long; a page that takes longer (One Push WB
// without frames polls for about two seconds) is answered as still busy.
constexpr DWORD kInputHandledMs = 5000;
// A single picture is waited for this long before the answer says none came.
constexpr auto kPictureWait = std::chrono::seconds(5);

const char kBoundary[] = "tm350picture";

void AnswerJson(httplib::Response &response, int status, const nlohmann::json &body) {
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    response.set_content(body.dump(), "application/json; charset=utf-8");
}

void AnswerError(httplib::Response &response, int status, const std::string &message) {
    AnswerJson(response, status, {{"error", message}});
}

const char *ContentType(const std::string &name) {
    auto endsWith = [&](const char *suffix) {
        const size_t length = strlen(suffix);
        return name.size() >= length && name.compare(name.size() - length, length, suffix) == 0;
    };
    if (endsWith(".html")) return "text/html; charset=utf-8";
    if (endsWith(".js")) return "text/javascript; charset=utf-8";
    if (endsWith(".css")) return "text/css; charset=utf-8";
    return "application/octet-stream";
}

struct MouseInput {
    user32::MouseAction action = user32::MouseAction::Down;
    bool click = false;
    POINT point = {};
};

// A screen coordinate: a finite number, rounded, that a LONG holds.
bool ReadCoordinate(const nlohmann::json &body, const char *name, LONG *value, std::string *error) {
    auto found = body.find(name);
    if (found == body.end() || !found->is_number()) {
        *error = std::string("\"") + name + "\" must be a number";
        return false;
    }
    const double number = found->get<double>();
    if (!std::isfinite(number) || number < LONG_MIN || number > LONG_MAX) {
        *error = std::string("\"") + name + "\" is out of range";
        return false;
    }
    *value = static_cast<LONG>(std::lround(number));
    return true;
}

bool ParseInput(const std::string &text, MouseInput *input, std::string *error) {
    nlohmann::json body = nlohmann::json::parse(text, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        *error = "the body must be a JSON object";
        return false;
    }
    auto action = body.find("action");
    if (action == body.end() || !action->is_string()) {
        *error = "\"action\" must be one of down, move, up, click";
        return false;
    }
    const std::string name = action->get<std::string>();
    if (name == "down") {
        input->action = user32::MouseAction::Down;
    } else if (name == "move") {
        input->action = user32::MouseAction::Move;
    } else if (name == "up") {
        input->action = user32::MouseAction::Up;
    } else if (name == "click") {
        input->click = true;
    } else {
        *error = "\"action\" must be one of down, move, up, click";
        return false;
    }
    return ReadCoordinate(body, "x", &input->point.x, error) && ReadCoordinate(body, "y", &input->point.y, error);
}

}  // namespace

SetupServer::SetupServer(PictureStream &pictures, std::string camera)
    : pictures_(pictures), camera_(std::move(camera)), server_(std::make_unique<httplib::Server>()) {
    // Every picture stream and long poll holds a worker for its whole
    // length, so there are enough for a few browsers at once.
    server_->new_task_queue = [] { return new httplib::ThreadPool(32); };
    server_->set_keep_alive_timeout(2);
    Route();
}

SetupServer::~SetupServer() { Stop(); }

nlohmann::json SetupServer::State() const {
    nlohmann::json state = DesktopJson();
    const CaptureFigures figures = pictures_.Figures();
    state["capture"] = {{"camera", camera_},
                        {"samples", figures.samples},
                        {"rate", figures.frames_per_second},
                        {"frames_lost", figures.frames_lost}};
    return state;
}

void SetupServer::Route() {
    server_->Get("/", [](const httplib::Request &, httplib::Response &response) {
        const EmbeddedFile *file = FindWebFile("index.html");
        if (file == nullptr) return AnswerError(response, 404, "no web client in this build");
        response.set_content(reinterpret_cast<const char *>(file->bytes), file->size, ContentType(file->name));
    });
    server_->Get(R"(/([A-Za-z0-9_-]+\.(js|css)))", [](const httplib::Request &request, httplib::Response &response) {
        const EmbeddedFile *file = FindWebFile(request.matches[1].str());
        if (file == nullptr) return AnswerError(response, 404, "no such file");
        response.set_content(reinterpret_cast<const char *>(file->bytes), file->size, ContentType(file->name));
    });

    server_->Get("/state", [this](const httplib::Request &request, httplib::Response &response) {
        if (request.has_param("after")) {
            const std::string after = request.get_param_value("after");
            if (after.empty() || after.size() > 19 || after.find_first_not_of("0123456789") != std::string::npos)
                return AnswerError(response, 400, "\"after\" must be a generation number");
            const uint64_t seen = std::stoull(after);
            const auto until = std::chrono::steady_clock::now() + kLongPollLimit;
            while (!stopping_ && user32::DesktopGeneration() <= seen && std::chrono::steady_clock::now() < until)
                user32::WaitForDesktopChange(seen, kStopCheckMs);
        }
        AnswerJson(response, 200, State());
    });

    server_->Get("/picture.jpg", [this](const httplib::Request &, httplib::Response &response) {
        std::shared_ptr<const EncodedPicture> picture = pictures_.NextPicture(0, kPictureWait);
        if (!picture) return AnswerError(response, 503, "no picture has come from the camera");
        response.set_header("Cache-Control", "no-store");
        response.set_content(picture->jpeg, "image/jpeg");
    });

    server_->Get("/picture.mjpg", [this](const httplib::Request &, httplib::Response &response) {
        response.set_header("Cache-Control", "no-store");
        auto last = std::make_shared<uint64_t>(0);
        response.set_chunked_content_provider(
            std::string("multipart/x-mixed-replace; boundary=") + kBoundary,
            [this, last](size_t, httplib::DataSink &sink) {
                // Each call sends the next picture; a viewer that went away
                // shows as a failed write, and its worker is free again.
                for (;;) {
                    if (stopping_ || pictures_.Closed()) return false;
                    std::shared_ptr<const EncodedPicture> picture =
                        pictures_.NextPicture(*last, std::chrono::milliseconds(kStopCheckMs));
                    if (!picture) {
                        if (!sink.is_writable()) return false;
                        continue;
                    }
                    *last = picture->number;
                    const std::string head = std::string("--") + kBoundary +
                                             "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                             std::to_string(picture->jpeg.size()) + "\r\n\r\n";
                    return sink.write(head.data(), head.size()) &&
                           sink.write(picture->jpeg.data(), picture->jpeg.size()) && sink.write("\r\n", 2);
                }
            });
    });

    server_->Post("/input", [this](const httplib::Request &request, httplib::Response &response) {
        MouseInput input;
        std::string error;
        if (!ParseInput(request.body, &input, &error)) return AnswerError(response, 400, error);
        std::lock_guard<std::mutex> lock(input_);
        if (stopping_) return AnswerError(response, 503, "tm350 setup is ending");
        const BOOL delivered = input.click ? user32::ClickAt(input.point)
                                           : user32::SendMouseInput(input.action, input.point);
        const BOOL handled = delivered ? user32::WaitForInputHandled(kInputHandledMs) : TRUE;
        nlohmann::json state = State();
        state["input"] = {{"delivered", delivered != FALSE}, {"handled", handled != FALSE}};
        AnswerJson(response, 200, state);
    });

    server_->set_error_handler([](const httplib::Request &, httplib::Response &response) {
        if (response.body.empty())
            AnswerError(response, response.status, response.status == 404 ? "no such resource" : "request failed");
    });
}

bool SetupServer::Start(int port, std::string *error) {
    if (port == 0) {
        port_ = server_->bind_to_any_port("127.0.0.1");
        if (port_ <= 0) {
            *error = "no free port on 127.0.0.1";
            return false;
        }
    } else {
        if (!server_->bind_to_port("127.0.0.1", port)) {
            *error = "port " + std::to_string(port) + " on 127.0.0.1 is taken or not allowed";
            return false;
        }
        port_ = port;
    }
    listener_ = std::thread([this] {
        server_->listen_after_bind();
        listening_ended_ = true;
    });
    return true;
}

void SetupServer::Stop() {
    stopping_ = true;
    pictures_.Close();
    if (listener_.joinable()) {
        // The server's stop does nothing until its loop has begun, so a stop
        // right after the start waits for the loop (or for its failure).
        while (!listening_ended_ && !server_->is_running()) std::this_thread::yield();
        server_->stop();
        listener_.join();
    }
}

}  // namespace tm350::tool
