#pragma once

#include <sys/types.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace tessera::testing {

// Runs the built reference web app (tessera-webapp) as a child process on a free
// loopback port, with its data in a fresh temporary folder and its test hooks on.
// The constructor returns once the server listens; the destructor stops it and
// removes the folder. Throws std::runtime_error when the server does not start.
class WebAppProcess {
  public:
    struct Options {
        bool testHooks = true;
        bool keepData = false;                 // leave the data folder in place (for debugging)
        int port = 0;                          // 0: any free port
        std::vector<std::string> publicHosts;  // each passed as --public-host
    };

    WebAppProcess();
    explicit WebAppProcess(Options options);
    ~WebAppProcess();
    WebAppProcess(const WebAppProcess&) = delete;
    WebAppProcess& operator=(const WebAppProcess&) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    // "http://127.0.0.1:<port>", without a trailing slash.
    std::string baseUrl() const;
    const std::filesystem::path& dataDir() const { return dataDir_; }

    // Adds a fault rule (see webapp/FaultInjector.h) or an array of them.
    void addFault(const nlohmann::json& rule) const;
    void clearFaults() const;

    // The server's record of a recording (GET api/recordings/<id>); null if unknown.
    nlohmann::json recording(const std::string& id) const;
    // The server's records of every recording, newest first; empty when it
    // does not answer.
    std::vector<nlohmann::json> recordings() const;
    // The stored chunks of one kind of a recording, in order of arrival.
    std::vector<std::string> storedChunks(const std::string& id, const std::string& kind) const;

    // Stops the server now (SIGTERM, then wait). Idempotent.
    void stop();

  private:
    Options options_;
    std::filesystem::path dataDir_;
    pid_t pid_ = -1;
    int outputFd_ = -1;
    int port_ = 0;
};

// A port on the loopback address that nothing listens on at the moment of the call.
int unusedLoopbackPort();

}  // namespace tessera::testing
