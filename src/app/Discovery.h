#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/AppState.h"
#include "app/DiscoveryPorts.h"
#include "support/Task.h"

namespace tessera {

// Fills the display, window, microphone and camera lists of AppState from the
// platform's sources, keeps the selections valid, and answers the display
// lookups the floating windows need.
//
// Main thread only. The sources and the state must outlive this object.
class DeviceDiscovery {
  public:
    struct Sources {
        DisplaySource& displays;
        WindowSource& windows;
        CaptureDeviceSource& microphones;
        CaptureDeviceSource& cameras;
    };
    struct Identity {
        // This process; its windows are never offered.
        pid_t processID = 0;
        // The application's window class; windows of that class are not
        // offered either. Empty: no such check.
        std::string bundleIdentifier;
    };

    DeviceDiscovery(AppState& state, Sources sources, Identity identity);

    // Rebuilds displays, microphones and cameras and repairs their selections.
    void refreshDevices();
    // Rebuilds the window list and repairs the window selection. A failure to
    // list the windows is silent: list and selection stay as they were.
    // Resumes on the caller's executor.
    Task<void> refreshWindows();

    // The display under the rectangle's midpoint (global points).
    std::optional<std::uint32_t> displayID(const Rect& containing);
    // The display known by that id, with its frames.
    std::optional<MonitorInfo> screen(std::uint32_t displayID);
    // The id of the display the UI toolkit calls `screenName`.
    std::optional<std::uint32_t> displayID(const std::string& screenName);
    // The floating windows' size factor on that display (the main display, else
    // the fallback frame, when it is unknown).
    double chromeScale(std::uint32_t displayID);

    // Pure rules, exposed for tests.

    // "Display <n> — <w>×<h>", with "  (Main)" for the main display; n counts
    // from 1 in list order.
    static std::string displayName(std::size_t index, const Rect& bounds, bool isMain);
    static std::vector<DisplayOption> displayOptions(const std::vector<MonitorInfo>& monitors,
                                                     std::uint32_t mainDisplayID);
    // The selection kept when listed, else the first display, else the main id.
    static std::uint32_t repairedDisplaySelection(std::uint32_t selected,
                                                  const std::vector<DisplayOption>& displays,
                                                  std::uint32_t mainDisplayID);
    // A chosen device that is gone falls back to the default (empty), never
    // to another device.
    static std::string repairedDeviceSelection(const std::string& selected,
                                               const std::vector<CaptureDeviceOption>& devices);
    // The windows worth offering (owned, not ours, at least 100 × 100 points,
    // named application), sorted by application and then title, each compared
    // case-insensitively in the user's locale.
    static std::vector<WindowOption> windowOptions(const std::vector<ContentWindow>& windows,
                                                   const Identity& own);
    // The selection kept when listed, else the first window, else none.
    static std::optional<std::uint32_t> repairedWindowSelection(
        std::optional<std::uint32_t> selected, const std::vector<WindowOption>& windows);
    // The display whose frame holds the rectangle's midpoint.
    static std::optional<std::uint32_t> displayContaining(const Rect& rect,
                                                          const std::vector<MonitorInfo>& monitors);
    // Case-insensitive, locale-aware ordering of two UTF-8 texts: < 0, 0, > 0.
    static int compareLocalizedCaseInsensitive(const std::string& a, const std::string& b);

  private:
    AppState& state_;
    Sources sources_;
    Identity identity_;
};

}  // namespace tessera
