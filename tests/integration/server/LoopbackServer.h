#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "support/EventLoop.h"
#include "support/RunTask.h"

namespace tessera::testing {

// A small cpp-httplib server on a free loopback port, for replies the reference web
// app never gives. Register handlers on server() before start(). One request per
// connection: a kept-alive connection would hold the shutdown for its timeout.
class LoopbackServer {
  public:
    LoopbackServer() { server_.set_keep_alive_max_count(1); }
    ~LoopbackServer() {
        server_.stop();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    httplib::Server& server() { return server_; }
    void start() {
        port_ = server_.bind_to_any_port("127.0.0.1");
        ASSERT_GT(port_, 0);
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        // A stop() before the accept loop has begun is lost, and the destructor
        // would then wait for that loop forever: start() returns once it runs.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!server_.is_running() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_TRUE(server_.is_running());
    }
    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

  private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
};

}  // namespace tessera::testing
