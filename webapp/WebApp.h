#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "FaultInjector.h"
#include "Storage.h"

namespace httplib {
class Server;
class Request;
class Response;
}  // namespace httplib

namespace tessera::webapp {

struct WebAppOptions {
    std::filesystem::path dataDir;
    std::string host = "127.0.0.1";
    int port = 3123;  // 0: any free port
    bool testHooks = false;
    // Names (optionally "name:port") besides the loopback names and the listening
    // address under which clients may reach the server.
    std::vector<std::string> publicHosts;
};

// The reference web app: the recordings API under "api/recordings", share pages under
// "v/<id>", finalized media under "media/<id>/", and the library page at "/".
// With testHooks on, "POST /__test/faults" adds a FaultInjector rule (or an array of
// them) and "DELETE /__test/faults" removes them all.
//
// Browsers must not be turned against it from other sites: a request whose Host is
// not one of the known names is refused (421), which defeats DNS rebinding, and a
// state-changing request is refused when it carries a Content-Type that a plain
// HTML form can send (415) or an Origin of another host (403).
class WebApp {
  public:
    explicit WebApp(WebAppOptions options);
    ~WebApp();
    WebApp(const WebApp&) = delete;
    WebApp& operator=(const WebApp&) = delete;

    // Binds the listening socket; returns the port, or throws std::runtime_error.
    int bind();
    // Serves until stop() is called from another thread (or a signal handler thread).
    void listen();
    void stop();

  private:
    using Handler = void (WebApp::*)(const httplib::Request&, httplib::Response&);
    // Runs before routing and before the body is read; true when it answered.
    bool screen(const httplib::Request& req, httplib::Response& res) const;
    bool isKnownHost(const std::string& hostHeader) const;
    void route(const char* method, const char* pattern, const std::string& name, Handler handler);
    // Applies a test fault; returns true when the request should still be handled.
    bool applyFault(const FaultAction& action, const httplib::Request& req, httplib::Response& res);
    std::string shareUrl(const httplib::Request& req, const std::string& id) const;
    nlohmann::json publicRecord(const httplib::Request& req, nlohmann::json meta) const;

    void list(const httplib::Request& req, httplib::Response& res);
    void create(const httplib::Request& req, httplib::Response& res);
    void get(const httplib::Request& req, httplib::Response& res);
    void chunk(const httplib::Request& req, httplib::Response& res);
    void update(const httplib::Request& req, httplib::Response& res);
    void finalize(const httplib::Request& req, httplib::Response& res);
    void remove(const httplib::Request& req, httplib::Response& res);
    void share(const httplib::Request& req, httplib::Response& res);
    void library(const httplib::Request& req, httplib::Response& res);
    void addFaults(const httplib::Request& req, httplib::Response& res);
    void clearFaults(const httplib::Request& req, httplib::Response& res);

    WebAppOptions options_;
    int port_ = 0;
    Storage storage_;
    std::unique_ptr<FaultInjector> faults_;  // null unless testHooks
    std::unique_ptr<httplib::Server> server_;
};

}  // namespace tessera::webapp
