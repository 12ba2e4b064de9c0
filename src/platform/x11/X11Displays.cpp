#include "platform/x11/X11Displays.h"

#include <xcb/randr.h>

#include <stdexcept>

#include "support/Log.h"

namespace tessera {

X11DisplaySource::X11DisplaySource(std::optional<std::string> displayName)
    : displayName_(std::move(displayName)) {}

XcbConnection* X11DisplaySource::connection() {
    if (connection_ && connection_->hasError()) {
        connection_.reset();
    }
    if (!connection_) {
        try {
            connection_.emplace(displayName_);
        } catch (const std::exception&) {
            // Discovery shows no message: no server means no displays.
            logging::handled("x11-discovery", "no displays listed", std::current_exception(),
                             logging::Level::info);
            return nullptr;
        }
    }
    return &*connection_;
}

std::vector<X11Monitor> X11DisplaySource::queryMonitors(XcbConnection& connection) {
    auto* c = connection.get();
    XcbReply<xcb_randr_get_monitors_reply_t> reply(
        xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, connection.root(), 1), nullptr));
    std::vector<X11Monitor> monitors;
    if (!reply) {
        // No RandR 1.5: the whole screen is one display.
        const auto* screen = connection.screen();
        monitors.push_back({connection.root(),
                            "screen",
                            {0, 0, screen->width_in_pixels, screen->height_in_pixels},
                            true});
        return monitors;
    }
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
         xcb_randr_monitor_info_next(&it)) {
        const auto* info = it.data;
        X11Monitor monitor;
        const auto* outputs = xcb_randr_monitor_info_outputs(info);
        monitor.id = xcb_randr_monitor_info_outputs_length(info) > 0 ? outputs[0] : info->name;
        monitor.name = connection.atomName(info->name);
        monitor.rect = {info->x, info->y, info->width, info->height};
        monitor.primary = info->primary != 0;
        monitors.push_back(std::move(monitor));
    }
    return monitors;
}

std::optional<PixelRect> X11DisplaySource::queryWorkArea(XcbConnection& connection) {
    const auto root = connection.root();
    const auto area = connection.cardinals(root, connection.atom("_NET_WORKAREA"));
    const auto current = connection.cardinals(root, connection.atom("_NET_CURRENT_DESKTOP"));
    const std::size_t desktop = current.empty() ? 0 : current.front();
    if (area.size() < 4 * (desktop + 1)) {
        return std::nullopt;
    }
    const auto* a = &area[4 * desktop];
    return PixelRect{static_cast<int>(a[0]), static_cast<int>(a[1]), static_cast<int>(a[2]),
                     static_cast<int>(a[3])};
}

std::optional<X11Monitor> X11DisplaySource::mainMonitor(const std::vector<X11Monitor>& monitors) {
    for (const auto& m : monitors) {
        if (m.primary) {
            return m;
        }
    }
    if (monitors.empty()) {
        return std::nullopt;
    }
    return monitors.front();
}

std::vector<MonitorInfo> X11DisplaySource::monitors() {
    auto* c = connection();
    if (!c) {
        return {};
    }
    const auto monitors = queryMonitors(*c);
    const auto main = mainMonitor(monitors);
    const auto workArea = queryWorkArea(*c);
    std::vector<MonitorInfo> out;
    for (const auto& m : monitors) {
        PixelRect visible = m.rect;
        if (workArea) {
            // The work area spans all monitors; each keeps its own part of it.
            const auto part = m.rect.intersected(*workArea);
            if (!part.isEmpty()) {
                visible = part;
            }
        }
        out.push_back({m.id, m.name, toGlobal(m.rect, main->rect), toGlobal(visible, main->rect),
                       main && main->id == m.id});
    }
    return out;
}

std::uint32_t X11DisplaySource::mainDisplayID() {
    auto* c = connection();
    if (!c) {
        return 0;
    }
    const auto main = mainMonitor(queryMonitors(*c));
    return main ? main->id : 0;
}

}  // namespace tessera
