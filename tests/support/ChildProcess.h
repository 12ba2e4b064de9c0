#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tessera::testing {

// A program started by a test, with this process's environment plus
// `environment` (a value replaces the inherited one). Its standard output and
// error go to `logFile` when one is given, else they are inherited. Ended with
// SIGTERM (then SIGKILL after 5 s) and reaped on destruction.
class ChildProcess {
  public:
    ChildProcess(std::vector<std::string> argv, std::map<std::string, std::string> environment = {},
                 std::optional<std::string> logFile = std::nullopt);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Whether it still runs (reaps it when it has ended).
    bool running();
    // Waits until it has ended; its exit status (128 + signal when killed), or
    // none when it still runs after `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // SIGTERM, then waits; SIGKILL when it does not end in time.
    int terminate(std::chrono::milliseconds grace = std::chrono::seconds(5));

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

struct CommandResult {
    int status = -1;
    std::string output;  // standard output
};

// Runs a command to its end (killed after `timeout`) and returns its exit
// status and standard output.
CommandResult runCommand(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& environment = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace tessera::testing
