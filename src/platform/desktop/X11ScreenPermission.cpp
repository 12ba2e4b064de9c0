#include "platform/desktop/X11ScreenPermission.h"

#include <xcb/xcb.h>

#include <memory>

namespace tessera {

bool X11ScreenPermission::preflight() {
    const std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(
        xcb_connect(displayName_ ? displayName_->c_str() : nullptr, nullptr), &xcb_disconnect);
    // xcb_connect never returns null; failures come back as a connection in an
    // error state, which must still be disconnected.
    return connection && xcb_connection_has_error(connection.get()) == 0;
}

}  // namespace tessera
