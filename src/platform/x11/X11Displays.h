#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/DiscoveryPorts.h"
#include "platform/x11/X11Geometry.h"
#include "platform/x11/XcbConnection.h"

namespace tessera {

// One active RandR monitor in X11 pixels.
struct X11Monitor {
    std::uint32_t id = 0;
    std::string name;
    PixelRect rect;
    bool primary = false;
};

// The active RandR monitors of one X screen, as display options. A display's
// id is the XID of its monitor's first output (stable while the output is
// connected), or the monitor's name atom for a monitor without outputs.
//
// Main thread. Failures are silent: an unreachable server lists no display.
class X11DisplaySource final : public DisplaySource {
  public:
    explicit X11DisplaySource(std::optional<std::string> displayName = std::nullopt);

    std::vector<MonitorInfo> monitors() override;
    std::uint32_t mainDisplayID() override;

    // The monitors in X11 pixels, in the server's order; the primary one (or
    // else the first) is the main display. Throws RecorderError when the
    // server cannot be reached.
    static std::vector<X11Monitor> queryMonitors(XcbConnection& connection);
    // The work area of the current desktop (_NET_WORKAREA); none without one.
    static std::optional<PixelRect> queryWorkArea(XcbConnection& connection);
    // The main one of `monitors`: the primary, else the first; none when empty.
    static std::optional<X11Monitor> mainMonitor(const std::vector<X11Monitor>& monitors);

  private:
    XcbConnection* connection();

    std::optional<std::string> displayName_;
    std::optional<XcbConnection> connection_;
};

}  // namespace tessera
