#pragma once

// Changes the geometry of a test X server's display through RandR 1.5
// monitors. Xvfb has one output with one fixed mode, so its screen cannot be
// resized; a monitor set on that output replaces the server's automatic one,
// which clients see as the display (the same output, so the same display id)
// taking a new size and position.

#include <sys/uio.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

namespace tessera::testing {

struct MonitorRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// While it lives, the first output of the server's screen is shown as a
// monitor of `rect` (root coordinates); the destructor deletes that monitor,
// and the server's automatic monitor for the output comes back.
class MonitorOverride {
  public:
    MonitorOverride(const std::string& display, MonitorRect rect)
        : connection_(xcb_connect(display.c_str(), nullptr)) {
        xcb_connection_t* c = connection_.get();
        if (xcb_connection_has_error(c) != 0) {
            throw std::runtime_error("cannot open " + display);
        }
        root_ = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        std::free(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
        auto* resources = xcb_randr_get_screen_resources_current_reply(
            c, xcb_randr_get_screen_resources_current(c, root_), nullptr);
        if (!resources || resources->num_outputs == 0) {
            std::free(resources);
            throw std::runtime_error("the server lists no RandR output");
        }
        const xcb_randr_output_t output =
            xcb_randr_get_screen_resources_current_outputs(resources)[0];
        std::free(resources);
        const char name[] = "TESSERA_TEST_MONITOR";
        auto* atom =
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof name - 1, name), nullptr);
        name_ = atom ? atom->atom : xcb_atom_t{XCB_ATOM_NONE};
        std::free(atom);
        setMonitor(output, rect);
    }
    ~MonitorOverride() {
        xcb_connection_t* c = connection_.get();
        std::free(xcb_request_check(c, xcb_randr_delete_monitor_checked(c, root_, name_)));
    }
    MonitorOverride(const MonitorOverride&) = delete;
    MonitorOverride& operator=(const MonitorOverride&) = delete;

  private:
    // libxcb-randr 1.15's xcb_randr_set_monitor sends an iovec it leaves
    // uninitialised (valgrind shows it; the server then drops the connection
    // now and then), so the request is put together here.
    void setMonitor(xcb_randr_output_t output, MonitorRect rect) {
        struct Request {
            std::uint8_t header[4];  // filled in by xcb
            xcb_window_t window;
            xcb_randr_monitor_info_t info;
            xcb_randr_output_t output;
        } request{};
        static_assert(sizeof(Request) == 36);
        request.window = root_;
        request.info.name = name_;
        request.info.primary = 1;
        request.info.nOutput = 1;
        request.info.x = static_cast<std::int16_t>(rect.x);
        request.info.y = static_cast<std::int16_t>(rect.y);
        request.info.width = static_cast<std::uint16_t>(rect.width);
        request.info.height = static_cast<std::uint16_t>(rect.height);
        // About 96 dots per inch.
        request.info.width_in_millimeters = static_cast<std::uint32_t>(rect.width * 254 / 960);
        request.info.height_in_millimeters = static_cast<std::uint32_t>(rect.height * 254 / 960);
        request.output = output;
        iovec parts[3]{};
        parts[2].iov_base = &request;
        parts[2].iov_len = sizeof request;
        xcb_protocol_request_t protocol{1, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
        xcb_connection_t* c = connection_.get();
        const xcb_void_cookie_t cookie{
            xcb_send_request(c, XCB_REQUEST_CHECKED, parts + 2, &protocol)};
        if (xcb_generic_error_t* error = xcb_request_check(c, cookie)) {
            const int code = error->error_code;
            std::free(error);
            throw std::runtime_error("RRSetMonitor failed with X error " + std::to_string(code));
        }
    }

    struct Disconnect {
        void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
    };
    std::unique_ptr<xcb_connection_t, Disconnect> connection_;
    xcb_window_t root_ = 0;
    xcb_atom_t name_ = XCB_ATOM_NONE;
};

}  // namespace tessera::testing
