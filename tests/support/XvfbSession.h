#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct xcb_connection_t;

namespace tessera::testing {

// A private X server for one test: Xvfb on a free display number (found with
// -displayfd) and, when asked, openbox as its window manager. Both are stopped
// and reaped on destruction.
class XvfbSession {
  public:
    struct Options {
        int width = 1280;
        int height = 800;
        bool windowManager = true;
    };
    explicit XvfbSession(Options options);
    XvfbSession() : XvfbSession(Options{}) {}
    ~XvfbSession();
    XvfbSession(const XvfbSession&) = delete;
    XvfbSession& operator=(const XvfbSession&) = delete;

    // ":<n>", for DISPLAY or for xcb_connect.
    const std::string& display() const { return display_; }
    // The X server process, for measurements.
    pid_t serverPid() const { return server_; }

  private:
    std::string display_;
    pid_t server_ = -1;
    pid_t windowManager_ = -1;
    // The connection that checked the window manager, open until the end (see
    // XvfbSession.cpp).
    xcb_connection_t* probe_ = nullptr;
};

// A plain window in its own process (the tessera_test_window helper): mapped,
// painted, with _NET_WM_PID, WM_CLASS and _NET_WM_NAME set as asked. The
// constructor returns once the window is on screen and painted.
class TestWindow {
  public:
    struct Options {
        int x = 0;
        int y = 0;
        int width = 200;
        int height = 200;
        // 0xRRGGBB fill, or a pattern of vertical bars when `pattern` is set.
        std::uint32_t color = 0x808080;
        bool pattern = false;
        std::string windowClass = "TestApp";
        std::optional<std::string> title = "Test window";
        // The _NET_WM_PID to announce; the helper's own when none; 0 sets none.
        std::optional<pid_t> pid;
        // Not managed by the window manager (placed exactly, always on top).
        bool overrideRedirect = false;
    };
    TestWindow(const std::string& display, Options options);
    ~TestWindow();
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    std::uint32_t id() const { return id_; }
    pid_t pid() const { return pid_; }
    // Repaints in one colour; returns when the server has drawn it.
    void fill(std::uint32_t color);
    // Raises the window above its siblings.
    void raise();

  private:
    void launch(const std::string& display, const Options& options);
    void stop();
    void command(const std::string& line);

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::uint32_t id_ = 0;
};

// The colour of bar `index` of the helper's pattern (bars are 16 pixels wide).
std::uint32_t patternColor(int index);

}  // namespace tessera::testing
