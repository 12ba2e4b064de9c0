#include "DbusSession.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace tessera::testing {

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(20);

std::string readAddress(int fd) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            throw std::runtime_error("timed out waiting for dbus-daemon's address");
        }
        char c;
        if (read(fd, &c, 1) <= 0) {
            throw std::runtime_error("dbus-daemon ended before printing its address");
        }
        if (c == '\n') {
            return line;
        }
        line.push_back(c);
    }
}

void stopProcess(pid_t pid) {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

void writeConfig(const std::filesystem::path& file, const std::filesystem::path& socketFolder) {
    std::ofstream out(file);
    out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>session</type>\n"
           "  <listen>unix:dir="
        << socketFolder.string()
        << "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
    if (!out) {
        throw std::runtime_error("couldn't write the bus configuration");
    }
}

}  // namespace

DbusSession::DbusSession() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessera-dbus-XXXXXX");
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    folder_ = pattern;
    const auto config = folder_ / "session.conf";
    writeConfig(config, folder_);

    int fds[2];
    if (pipe(fds) != 0) {
        throw std::runtime_error("pipe failed");
    }
    daemon_ = fork();
    if (daemon_ == 0) {
        close(fds[0]);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        const std::string configArg = "--config-file=" + config.string();
        const std::string addressArg = "--print-address=" + std::to_string(fds[1]);
        execlp("dbus-daemon", "dbus-daemon", configArg.c_str(), "--nofork", "--nopidfile",
               addressArg.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    try {
        // The daemon prints its address once it listens.
        address_ = readAddress(fds[0]);
    } catch (...) {
        close(fds[0]);
        stopProcess(daemon_);
        std::filesystem::remove_all(folder_);
        throw;
    }
    close(fds[0]);
    if (const char* previous = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
        previousAddress_ = previous;
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
}

DbusSession::~DbusSession() {
    if (previousAddress_) {
        setenv("DBUS_SESSION_BUS_ADDRESS", previousAddress_->c_str(), 1);
    } else {
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    stopProcess(daemon_);
    std::error_code ignored;  // a leftover temporary folder harms nothing
    std::filesystem::remove_all(folder_, ignored);
}

DbusSession& DbusSession::sharedInstance() {
    static DbusSession session;
    return session;
}

}  // namespace tessera::testing
