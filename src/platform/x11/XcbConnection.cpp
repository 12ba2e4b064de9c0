#include "platform/x11/XcbConnection.h"

#include <vector>

#include "support/RecorderError.h"

namespace tessera {

XcbConnection::XcbConnection(const std::optional<std::string>& displayName) {
    int screenNumber = 0;
    connection_.reset(xcb_connect(displayName ? displayName->c_str() : nullptr, &screenNumber));
    // xcb_connect never returns null; a failure is a connection in an error
    // state, which must still be disconnected (the unique_ptr does that).
    if (!connection_ || xcb_connection_has_error(connection_.get()) != 0) {
        throw RecorderError("Can't connect to the X display" +
                            (displayName ? " " + *displayName : std::string()));
    }
    auto it = xcb_setup_roots_iterator(xcb_get_setup(connection_.get()));
    for (int i = 0; i < screenNumber && it.rem > 0; ++i) {
        xcb_screen_next(&it);
    }
    if (it.rem == 0 || it.data == nullptr) {
        throw RecorderError("The X display has no screen");
    }
    screen_ = it.data;
}

xcb_atom_t XcbConnection::atom(const std::string& name) {
    if (auto it = atoms_.find(name); it != atoms_.end()) {
        return it->second;
    }
    const auto cookie =
        xcb_intern_atom(get(), 0, static_cast<std::uint16_t>(name.size()), name.c_str());
    XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(get(), cookie, nullptr));
    const xcb_atom_t value = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    if (value != XCB_ATOM_NONE) {
        atoms_.emplace(name, value);
    }
    return value;
}

std::string XcbConnection::atomName(xcb_atom_t atom) {
    XcbReply<xcb_get_atom_name_reply_t> reply(
        xcb_get_atom_name_reply(get(), xcb_get_atom_name(get(), atom), nullptr));
    if (!reply) {
        return {};
    }
    return std::string(xcb_get_atom_name_name(reply.get()),
                       static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get())));
}

std::vector<std::uint32_t> XcbConnection::cardinals(xcb_window_t window, xcb_atom_t property) {
    XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        get(), xcb_get_property(get(), 0, window, property, XCB_ATOM_ANY, 0, 1 << 16), nullptr));
    if (!reply || reply->format != 32) {
        return {};
    }
    const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    const int count = xcb_get_property_value_length(reply.get()) / 4;
    return std::vector<std::uint32_t>(values, values + count);
}

std::optional<std::string> XcbConnection::text(xcb_window_t window, xcb_atom_t property) {
    XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        get(), xcb_get_property(get(), 0, window, property, XCB_ATOM_ANY, 0, 1 << 16), nullptr));
    if (!reply || reply->format != 8 || reply->type == XCB_ATOM_NONE) {
        return std::nullopt;
    }
    return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                       static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
}

}  // namespace tessera
