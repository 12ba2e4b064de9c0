#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "app/DiscoveryPorts.h"
#include "support/Geometry.h"

namespace tessera::overlays {

// Which rectangle of a display a window is placed in.
enum class FrameKind { whole, visible };

// The frame of the display `displayID` among `monitors`, else of the main
// display `mainDisplayID`, else ScreenLookup::fallbackFrame. Global points.
Rect displayFrame(const std::vector<MonitorInfo>& monitors, std::uint32_t displayID,
                  std::uint32_t mainDisplayID, FrameKind kind);

// The monitor of that id; none when it is not among `monitors`.
std::optional<MonitorInfo> findMonitor(const std::vector<MonitorInfo>& monitors,
                                       std::uint32_t displayID);

// A rectangle in the window system's coordinates: origin at the top-left of
// the root window, y downward, whole pixels.
struct WindowRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    friend bool operator==(const WindowRect&, const WindowRect&) = default;
};

// Global points (origin at the bottom-left of the main display, y upward) to
// window-system coordinates and back. `mainDisplay` is where the main display
// sits in window-system coordinates. Edges are rounded to whole pixels, so a
// round trip of whole-point rectangles is exact.
WindowRect toWindowRect(const Rect& global, const WindowRect& mainDisplay);
Rect toGlobalRect(const WindowRect& window, const WindowRect& mainDisplay);

}  // namespace tessera::overlays
