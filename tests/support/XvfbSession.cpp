#include "XvfbSession.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#ifndef TESSERA_TEST_WINDOW_PATH
#define TESSERA_TEST_WINDOW_PATH "tessera_test_window"
#endif

namespace tessera::testing {

namespace {

// Reads one line from `fd`, waiting at most `timeout`.
std::string readLine(int fd, std::chrono::milliseconds timeout, const char* what) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            throw std::runtime_error(std::string("timed out waiting for ") + what);
        }
        char c;
        const auto n = read(fd, &c, 1);
        if (n <= 0) {
            throw std::runtime_error(std::string(what) + " ended early");
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
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

bool windowManagerRunning(const std::string& display) {
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    bool running = false;
    if (xcb_connection_has_error(c) == 0) {
        const auto* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        const char name[] = "_NET_SUPPORTING_WM_CHECK";
        auto* atom =
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof name - 1, name), nullptr);
        if (atom) {
            auto* prop = xcb_get_property_reply(
                c, xcb_get_property(c, 0, screen->root, atom->atom, XCB_ATOM_WINDOW, 0, 1),
                nullptr);
            running = prop && xcb_get_property_value_length(prop) == 4;
            std::free(prop);
            std::free(atom);
        }
    }
    xcb_disconnect(c);
    return running;
}

// Whether the window manager has taken over the mapping of windows: a probe
// window is mapped and must come up reparented into a frame. Openbox announces
// itself (_NET_SUPPORTING_WM_CHECK) before it has finished starting, and a map
// request made in that gap can be lost for good: the client then waits
// forever for its window to appear. So the session counts as ready only after
// a map request went through the window manager; a lost probe is mapped again.
//
// The probe's connection `c` is left open by the caller for the whole session.
// Window ids are allocated per client slot, and the server hands a closed
// connection's slot to the next client: a test window would then get the
// probe's id while the window manager, slowed down on a busy machine, still
// works through the probe's repeated map requests, and it would frame (and
// unmap) a window that asked not to be managed.
bool windowManagerManagesWindows(xcb_connection_t* c,
                                 std::chrono::steady_clock::time_point deadline) {
    if (xcb_connection_has_error(c) != 0) {
        return false;
    }
    const auto* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t probe = xcb_generate_id(c);
    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_create_window(c, XCB_COPY_FROM_PARENT, probe, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_EVENT_MASK, &mask);
    bool reparented = false;
    bool mapped = false;
    while (!(reparented && mapped) && std::chrono::steady_clock::now() < deadline &&
           xcb_connection_has_error(c) == 0) {
        xcb_map_window(c, probe);
        xcb_flush(c);
        // Wait up to 200 ms for the window manager to answer this request.
        const auto retry = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (!(reparented && mapped) && std::chrono::steady_clock::now() < retry) {
            pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
            poll(&p, 1, 20);
            while (auto* event = xcb_poll_for_event(c)) {
                const auto type = event->response_type & 0x7F;
                reparented = reparented || type == XCB_REPARENT_NOTIFY;
                mapped = mapped || type == XCB_MAP_NOTIFY;
                std::free(event);
            }
        }
    }
    xcb_destroy_window(c, probe);
    xcb_flush(c);
    return reparented && mapped;
}

}  // namespace

XvfbSession::XvfbSession(Options options) {
    int fds[2];
    if (pipe(fds) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const std::string screen =
        std::to_string(options.width) + "x" + std::to_string(options.height) + "x24";
    server_ = fork();
    if (server_ == 0) {
        close(fds[0]);
        const std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(),
               "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    try {
        display_ = ":" + readLine(fds[0], std::chrono::seconds(20), "Xvfb");
    } catch (...) {
        close(fds[0]);
        stopProcess(server_);
        throw;
    }
    close(fds[0]);
    if (!options.windowManager) {
        return;
    }
    windowManager_ = fork();
    if (windowManager_ == 0) {
        setenv("DISPLAY", display_.c_str(), 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execlp("openbox", "openbox", "--sm-disable", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Waiting on the window manager's real start-up; it announces itself with
    // the EWMH check window.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!windowManagerRunning(display_)) {
        if (std::chrono::steady_clock::now() > deadline) {
            stopProcess(windowManager_);
            stopProcess(server_);
            throw std::runtime_error("openbox did not start");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    probe_ = xcb_connect(display_.c_str(), nullptr);
    if (!windowManagerManagesWindows(probe_, deadline)) {
        xcb_disconnect(probe_);
        probe_ = nullptr;
        stopProcess(windowManager_);
        stopProcess(server_);
        throw std::runtime_error("openbox does not manage windows");
    }
}

XvfbSession::~XvfbSession() {
    if (probe_) {
        xcb_disconnect(probe_);
    }
    stopProcess(windowManager_);
    stopProcess(server_);
}

TestWindow::TestWindow(const std::string& display, Options options) {
    // No retry: XvfbSession returns only once the window manager handles map
    // requests, so the helper's window always comes up.
    try {
        launch(display, options);
    } catch (...) {
        stop();
        throw;
    }
}

void TestWindow::launch(const std::string& display, const Options& options) {
    int toChild[2];
    int fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> args{
        TESSERA_TEST_WINDOW_PATH,
        "--geometry",
        std::to_string(options.width) + "x" + std::to_string(options.height) + "+" +
            std::to_string(options.x) + "+" + std::to_string(options.y),
        "--color",
        std::to_string(options.color),
        "--class",
        options.windowClass,
    };
    if (options.pattern) {
        args.push_back("--pattern");
    }
    if (options.title) {
        args.insert(args.end(), {"--title", *options.title});
    }
    if (options.pid) {
        args.insert(args.end(), {"--pid", std::to_string(*options.pid)});
    }
    if (options.overrideRedirect) {
        args.push_back("--override-redirect");
    }
    // Everything the child needs is made before fork(): the tests' capture
    // threads may hold the allocator's or the environment's lock at that
    // moment, and the child may then call only async-signal-safe functions.
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::string displayVariable = "DISPLAY=" + display;
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "DISPLAY=", 8) != 0) {
            envp.push_back(*e);
        }
    }
    envp.push_back(displayVariable.data());
    envp.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(toChild[0], STDIN_FILENO);
        dup2(fromChild[1], STDOUT_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    input_ = toChild[1];
    output_ = fromChild[0];
    const auto ready = readLine(output_, std::chrono::seconds(5), "the test window");
    if (ready.rfind("ready ", 0) != 0) {
        throw std::runtime_error("test window: " + ready);
    }
    id_ = static_cast<std::uint32_t>(std::stoul(ready.substr(6)));
}

TestWindow::~TestWindow() {
    stop();
}

void TestWindow::stop() {
    if (pid_ <= 0) {
        return;
    }
    close(input_);  // the helper exits at the end of its input
    for (int i = 0; i < 100 && waitpid(pid_, nullptr, WNOHANG) != pid_; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (waitpid(pid_, nullptr, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close(output_);
    pid_ = -1;
}

void TestWindow::command(const std::string& line) {
    const std::string text = line + "\n";
    if (write(input_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error("test window: write failed");
    }
    if (readLine(output_, std::chrono::seconds(10), "the test window") != "ok") {
        throw std::runtime_error("test window: command failed");
    }
}

void TestWindow::fill(std::uint32_t color) {
    command("fill " + std::to_string(color));
}

void TestWindow::raise() {
    command("raise");
}

std::uint32_t patternColor(int index) {
    static const std::uint32_t colors[] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00,
                                           0x00FFFF, 0xFF00FF, 0xFFFFFF, 0x804020};
    return colors[index % 8];
}

}  // namespace tessera::testing
