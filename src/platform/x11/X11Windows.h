#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/DiscoveryPorts.h"
#include "platform/x11/X11Geometry.h"
#include "platform/x11/XcbConnection.h"

namespace tessera {

// One viewable top-level client window in X11 terms.
struct X11Window {
    xcb_window_t id = 0;
    // Root coordinates of the window's own area (without the manager's frame).
    PixelRect rect;
    // _NET_WM_PID; 0 when unset.
    std::uint32_t pid = 0;
    // The class part of WM_CLASS; empty when unset.
    std::string windowClass;
    // _NET_WM_NAME, else WM_NAME; empty when unset.
    std::string title;
};

// The on-screen client windows from the window manager's stacking list
// (_NET_CLIENT_LIST_STACKING, else the mapped children of the root), bottom
// to top. The application of a window is its WM_CLASS class, its process the
// _NET_WM_PID.
//
// Main thread; answers synchronously (the X server answers within a round trip).
class X11WindowSource final : public WindowSource {
  public:
    explicit X11WindowSource(std::optional<std::string> displayName = std::nullopt);

    // Throws RecorderError when the X server cannot be reached.
    Task<std::vector<ContentWindow>> shareableWindows() override;

    // The viewable client windows, bottom to top.
    static std::vector<X11Window> queryWindows(XcbConnection& connection);

  private:
    std::optional<std::string> displayName_;
};

}  // namespace tessera
