#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/CaptureOptions.h"
#include "support/Geometry.h"
#include "support/Task.h"

namespace tessera {

// One active display as the display server reports it. Frames are in global
// points (origin at the bottom-left of the main display, y upward).
struct MonitorInfo {
    std::uint32_t id = 0;
    // The display server's name for it (the RandR output name, which is also
    // what the UI toolkit calls the screen).
    std::string name;
    Rect frame;
    // The part not covered by panels and docks; the whole frame when unknown.
    Rect visibleFrame;
    bool primary = false;
};

// The application that owns a window.
struct WindowOwner {
    // 0 when the window does not tell.
    pid_t processID = 0;
    std::string applicationName;
    // The application's stable identifier (the window class on X11); may be empty.
    std::string bundleIdentifier;
};

// One on-screen window of the shareable content.
struct ContentWindow {
    std::uint32_t windowID = 0;
    std::optional<WindowOwner> owner;
    std::string title;
    // Global points.
    Rect frame;
};

// The active displays. Main thread; may block briefly on the display server.
class DisplaySource {
  public:
    virtual ~DisplaySource() = default;
    // The active displays in the server's order; empty when none or on failure.
    virtual std::vector<MonitorInfo> monitors() = 0;
    // The main display's id (the primary one, else the first); 0 when none.
    virtual std::uint32_t mainDisplayID() = 0;
};

// The on-screen windows. Main thread.
class WindowSource {
  public:
    virtual ~WindowSource() = default;
    // The on-screen windows, bottom to top; throws when they cannot be listed.
    // Resumes on the caller's executor.
    virtual Task<std::vector<ContentWindow>> shareableWindows() = 0;
};

// Cameras or microphones. Main thread; may block briefly.
class CaptureDeviceSource {
  public:
    virtual ~CaptureDeviceSource() = default;
    // The devices in the system's order; empty when none or on failure.
    virtual std::vector<CaptureDeviceOption> devices() = 0;
};

}  // namespace tessera
