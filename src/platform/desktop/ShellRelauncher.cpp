#include "platform/desktop/ShellRelauncher.h"

#include <spawn.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

extern char** environ;

namespace tessera {
namespace {

// Starts /bin/sh with the command; errors are ignored by design (see header).
// The child is not waited for: this process quits right after.
void spawnShell(const std::string& command) {
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) {
        return;
    }
    struct AttrGuard {
        posix_spawnattr_t* attr;
        ~AttrGuard() { posix_spawnattr_destroy(attr); }
    } guard{&attr};
#ifdef POSIX_SPAWN_SETSID
    // Its own session, so the new instance does not die with this one's
    // terminal or process group.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
#endif
    std::string shell = "/bin/sh";
    std::string flag = "-c";
    std::string script = command;
    char* argv[] = {shell.data(), flag.data(), script.data(), nullptr};
    pid_t pid = 0;
    posix_spawn(&pid, shell.c_str(), nullptr, &attr, argv, environ);
}

}  // namespace

std::string shellQuoted(std::string_view text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted.push_back(c);
        }
    }
    quoted.push_back('\'');
    return quoted;
}

std::string relaunchCommand(std::string_view executablePath) {
    return "sleep 0.5; exec " + shellQuoted(executablePath);
}

void ShellRelauncher::relaunch() {
    std::error_code ec;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec && !executable.empty()) {
        spawnShell(relaunchCommand(executable.string()));
    }
    if (quit_) {
        quit_();
    }
}

}  // namespace tessera
