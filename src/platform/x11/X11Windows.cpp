#include "platform/x11/X11Windows.h"

#include "platform/x11/X11Displays.h"

namespace tessera {

namespace {

std::vector<xcb_window_t> stackingOrder(XcbConnection& connection) {
    const auto listed =
        connection.cardinals(connection.root(), connection.atom("_NET_CLIENT_LIST_STACKING"));
    if (!listed.empty()) {
        return {listed.begin(), listed.end()};
    }
    // No EWMH window manager: the root's children are the top-level windows,
    // already bottom to top.
    XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(
        connection.get(), xcb_query_tree(connection.get(), connection.root()), nullptr));
    if (!tree) {
        return {};
    }
    const auto* children = xcb_query_tree_children(tree.get());
    return {children, children + xcb_query_tree_children_length(tree.get())};
}

// The class part of a WM_CLASS value ("instance\0class\0").
std::string windowClass(const std::optional<std::string>& wmClass) {
    if (!wmClass) {
        return {};
    }
    const auto split = wmClass->find('\0');
    if (split == std::string::npos) {
        return {};
    }
    std::string cls = wmClass->substr(split + 1);
    if (const auto end = cls.find('\0'); end != std::string::npos) {
        cls.resize(end);
    }
    return cls;
}

}  // namespace

X11WindowSource::X11WindowSource(std::optional<std::string> displayName)
    : displayName_(std::move(displayName)) {}

std::vector<X11Window> X11WindowSource::queryWindows(XcbConnection& connection) {
    auto* c = connection.get();
    const auto ids = stackingOrder(connection);
    // Send every request first and collect the replies after, so the list
    // costs one round trip rather than one per window.
    std::vector<xcb_get_window_attributes_cookie_t> attributes;
    std::vector<xcb_translate_coordinates_cookie_t> positions;
    std::vector<xcb_get_geometry_cookie_t> geometries;
    for (const auto id : ids) {
        attributes.push_back(xcb_get_window_attributes(c, id));
        positions.push_back(xcb_translate_coordinates(c, id, connection.root(), 0, 0));
        geometries.push_back(xcb_get_geometry(c, id));
    }
    std::vector<X11Window> windows;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        XcbReply<xcb_get_window_attributes_reply_t> attr(
            xcb_get_window_attributes_reply(c, attributes[i], nullptr));
        XcbReply<xcb_translate_coordinates_reply_t> pos(
            xcb_translate_coordinates_reply(c, positions[i], nullptr));
        XcbReply<xcb_get_geometry_reply_t> geo(xcb_get_geometry_reply(c, geometries[i], nullptr));
        if (!attr || !pos || !geo || attr->map_state != XCB_MAP_STATE_VIEWABLE) {
            continue;  // gone meanwhile, or not on screen
        }
        X11Window window;
        window.id = ids[i];
        window.rect = {pos->dst_x, pos->dst_y, geo->width, geo->height};
        windows.push_back(window);
    }
    for (auto& window : windows) {
        const auto pid = connection.cardinals(window.id, connection.atom("_NET_WM_PID"));
        window.pid = pid.empty() ? 0 : pid.front();
        window.windowClass = windowClass(connection.text(window.id, XCB_ATOM_WM_CLASS));
        auto title = connection.text(window.id, connection.atom("_NET_WM_NAME"));
        if (!title) {
            title = connection.text(window.id, XCB_ATOM_WM_NAME);
        }
        window.title = title.value_or("");
    }
    return windows;
}

Task<std::vector<ContentWindow>> X11WindowSource::shareableWindows() {
    XcbConnection connection(displayName_);
    const auto monitors = X11DisplaySource::queryMonitors(connection);
    const auto main = X11DisplaySource::mainMonitor(monitors);
    const PixelRect mainRect = main ? main->rect : PixelRect{};
    std::vector<ContentWindow> content;
    for (const auto& w : queryWindows(connection)) {
        ContentWindow window;
        window.windowID = w.id;
        window.title = w.title;
        window.frame = toGlobal(w.rect, mainRect);
        if (w.pid != 0 || !w.windowClass.empty()) {
            window.owner = WindowOwner{static_cast<pid_t>(w.pid), w.windowClass, w.windowClass};
        }
        content.push_back(std::move(window));
    }
    co_return content;
}

}  // namespace tessera
