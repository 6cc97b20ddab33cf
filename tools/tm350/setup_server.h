// tm350 setup's HTTP server on 127.0.0.1: the web client, the desktop's
// state as JSON (long-polled), the live picture, and mouse input given back
// to the window manager. It holds no page logic: what a click means is for
// the pages' own dialog code, on their own threads.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "tools/tm350/picture_stream.h"

namespace httplib {
class Server;
}

namespace tm350::tool {

class SetupServer {
public:
    // Serves `pictures`; `camera` names the camera in the statistics.
    SetupServer(PictureStream &pictures, std::string camera);
    ~SetupServer();
    SetupServer(const SetupServer &) = delete;
    SetupServer &operator=(const SetupServer &) = delete;

    // Listens on 127.0.0.1:`port` (0: any free port) on a thread of its
    // own. False with *error when the port cannot be had.
    bool Start(int port, std::string *error);
    int Port() const { return port_; }
    // Ends every request still waiting (long polls, picture streams), lets
    // an input being handled finish, and stops listening.
    void Stop();

    // What GET /state answers: the desktop and the capture's figures.
    nlohmann::json State() const;

private:
    void Route();

    PictureStream &pictures_;
    const std::string camera_;
    std::unique_ptr<httplib::Server> server_;
    std::thread listener_;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> listening_ended_{false};
    // One input at a time, handled whole, so that two browsers never
    // interleave a drag on the same control.
    std::mutex input_;
};

}  // namespace tm350::tool
