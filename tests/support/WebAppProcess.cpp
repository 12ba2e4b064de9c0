#include "support/WebAppProcess.h"

#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#ifndef TESSERA_WEBAPP_PATH
#error "TESSERA_WEBAPP_PATH must name the built tessera-webapp binary"
#endif

namespace tessera::testing {
namespace fs = std::filesystem;

namespace {

fs::path makeTempDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tessera-webapp-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary data folder");
    }
    return fs::path(buf.data());
}

// Reads the child's first output line ("Listening on http://127.0.0.1:<port>").
std::string readFirstLine(int fd, std::chrono::milliseconds timeout) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        char buf[256];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        line.append(buf, static_cast<size_t>(n));
    }
    return line.substr(0, line.find('\n'));
}

}  // namespace

WebAppProcess::WebAppProcess() : WebAppProcess(Options{}) {}

WebAppProcess::WebAppProcess(Options options) : options_(options), dataDir_(makeTempDir()) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> args = {TESSERA_WEBAPP_PATH, "--port", std::to_string(options.port),
                                     "--data-dir", dataDir_.string()};
    if (options.testHooks) {
        args.push_back("--test-hooks");
    }
    for (const auto& host : options.publicHosts) {
        args.insert(args.end(), {"--public-host", host});
    }
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    outputFd_ = pipeFds[0];
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    const std::string line = readFirstLine(outputFd_, std::chrono::seconds(15));
    const auto colon = line.rfind(':');
    if (line.rfind("Listening on ", 0) != 0 || colon == std::string::npos) {
        stop();
        throw std::runtime_error("tessera-webapp did not start: \"" + line + "\"");
    }
    port_ = std::stoi(line.substr(colon + 1));
}

WebAppProcess::~WebAppProcess() {
    stop();
    if (!options_.keepData) {
        std::error_code ec;
        fs::remove_all(dataDir_, ec);
    }
}

void WebAppProcess::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    if (outputFd_ >= 0) {
        close(outputFd_);
        outputFd_ = -1;
    }
}

std::string WebAppProcess::baseUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

void WebAppProcess::addFault(const nlohmann::json& rule) const {
    httplib::Client client("127.0.0.1", port_);
    auto res = client.Post("/__test/faults", rule.dump(), "application/json");
    if (!res || res->status != 200) {
        throw std::runtime_error("cannot add a fault rule: " + (res ? res->body : "no answer"));
    }
}

void WebAppProcess::clearFaults() const {
    httplib::Client client("127.0.0.1", port_);
    auto res = client.Delete("/__test/faults");
    if (!res || res->status != 204) {
        throw std::runtime_error("cannot clear the fault rules");
    }
}

nlohmann::json WebAppProcess::recording(const std::string& id) const {
    httplib::Client client("127.0.0.1", port_);
    auto res = client.Get(("/api/recordings/" + id).c_str());
    if (!res || res->status != 200) {
        return nullptr;
    }
    return nlohmann::json::parse(res->body);
}

std::vector<nlohmann::json> WebAppProcess::recordings() const {
    httplib::Client client("127.0.0.1", port_);
    auto res = client.Get("/api/recordings");
    if (!res || res->status != 200) {
        return {};
    }
    const auto list = nlohmann::json::parse(res->body, nullptr, false);
    if (!list.is_array()) {
        return {};
    }
    return std::vector<nlohmann::json>(list.begin(), list.end());
}

std::vector<std::string> WebAppProcess::storedChunks(const std::string& id,
                                                     const std::string& kind) const {
    std::vector<std::string> chunks;
    const fs::path dir = dataDir_ / "recordings" / id / "chunks" / kind;
    for (int i = 0;; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "%06d.part", i);
        std::ifstream in(dir / name, std::ios::binary);
        if (!in) {
            return chunks;
        }
        std::ostringstream bytes;
        bytes << in.rdbuf();
        chunks.push_back(bytes.str());
    }
}

int unusedLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(fd);
    return port;
}

}  // namespace tessera::testing
