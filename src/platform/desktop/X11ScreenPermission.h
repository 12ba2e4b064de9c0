#pragma once

#include <optional>
#include <string>

#include "platform/ScreenPermission.h"

namespace tessera {

// Screen capture on X11 needs no grant: it is possible whenever the X display
// can be opened. There is no prompt, so request() does nothing.
class X11ScreenPermission : public ScreenPermission {
  public:
    // `displayName` as for xcb_connect; none uses $DISPLAY.
    explicit X11ScreenPermission(std::optional<std::string> displayName = std::nullopt)
        : displayName_(std::move(displayName)) {}

    // Opens and closes one connection to the display. Blocks until the server
    // answers or refuses.
    bool preflight() override;
    void request() override {}

  private:
    std::optional<std::string> displayName_;
};

}  // namespace tessera
