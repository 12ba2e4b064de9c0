#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tessera::testing {

namespace {

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const auto equals = text.find('=');
        if (equals != std::string::npos) {
            merged[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    for (const auto& [key, value] : extra) {
        merged[key] = value;
    }
    std::vector<std::string> result;
    for (const auto& [key, value] : merged) {
        result.push_back(key + "=" + value);
    }
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) {
        result.push_back(s.data());
    }
    result.push_back(nullptr);
    return result;
}

int decodeStatus(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return 128 + WTERMSIG(status);
}

// Forks and execs; the child's standard output goes to `outFd` when >= 0.
pid_t start(std::vector<std::string> argv, const std::map<std::string, std::string>& environment,
            int outFd, int errFd) {
    auto env = mergedEnvironment(environment);
    auto argp = pointers(argv);
    auto envp = pointers(env);
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        if (outFd >= 0) {
            dup2(outFd, STDOUT_FILENO);
        }
        if (errFd >= 0) {
            dup2(errFd, STDERR_FILENO);
        }
        setpgid(0, 0);
        execvpe(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv,
                           std::map<std::string, std::string> environment,
                           std::optional<std::string> logFile) {
    int fd = -1;
    if (logFile) {
        fd = open(logFile->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    pid_ = start(std::move(argv), environment, fd, fd);
    if (fd >= 0) {
        close(fd);
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        terminate();
    }
}

bool ChildProcess::running() {
    if (status_) {
        return false;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = decodeStatus(status);
        return false;
    }
    return true;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

int ChildProcess::terminate(std::chrono::milliseconds grace) {
    if (running()) {
        kill(pid_, SIGTERM);
        if (!wait(grace)) {
            kill(-pid_, SIGKILL);
            kill(pid_, SIGKILL);
            wait(std::chrono::seconds(5));
        }
    }
    return status_.value_or(-1);
}

CommandResult runCommand(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& environment,
                         std::chrono::milliseconds timeout) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t pid = start(argv, environment, fds[1], -1);
    close(fds[1]);
    CommandResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fds[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        const auto n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = decodeStatus(status);
    return result;
}

}  // namespace tessera::testing
