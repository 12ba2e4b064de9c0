#include "overlays/DisplayFrames.h"

#include <cmath>

#include "app/ScreenLookup.h"

namespace tessera::overlays {

std::optional<MonitorInfo> findMonitor(const std::vector<MonitorInfo>& monitors,
                                       std::uint32_t displayID) {
    for (const MonitorInfo& monitor : monitors) {
        if (monitor.id == displayID) {
            return monitor;
        }
    }
    return std::nullopt;
}

Rect displayFrame(const std::vector<MonitorInfo>& monitors, std::uint32_t displayID,
                  std::uint32_t mainDisplayID, FrameKind kind) {
    auto monitor = findMonitor(monitors, displayID);
    if (!monitor) {
        monitor = findMonitor(monitors, mainDisplayID);
    }
    if (!monitor) {
        return ScreenLookup::fallbackFrame;
    }
    return kind == FrameKind::visible ? monitor->visibleFrame : monitor->frame;
}

WindowRect toWindowRect(const Rect& global, const WindowRect& mainDisplay) {
    const double mainBottom = mainDisplay.y + mainDisplay.height;
    const long left = std::lround(global.minX() + mainDisplay.x);
    const long right = std::lround(global.maxX() + mainDisplay.x);
    const long top = std::lround(mainBottom - global.maxY());
    const long bottom = std::lround(mainBottom - global.minY());
    return {static_cast<int>(left), static_cast<int>(top), static_cast<int>(right - left),
            static_cast<int>(bottom - top)};
}

Rect toGlobalRect(const WindowRect& window, const WindowRect& mainDisplay) {
    const double mainBottom = mainDisplay.y + mainDisplay.height;
    return Rect(window.x - mainDisplay.x, mainBottom - (window.y + window.height), window.width,
                window.height);
}

}  // namespace tessera::overlays
