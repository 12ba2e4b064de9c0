// tessera_test_window: one plain X window for the integration tests, painted
// with known colours. Prints "ready <window id>" once the window is mapped and
// painted; then reads commands from standard input ("fill <rgb>", "raise"),
// answering "ok" after each, and exits at the end of its input.

#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "XvfbSession.h"

namespace {

struct Config {
    int x = 0, y = 0, width = 200, height = 200;
    std::uint32_t color = 0x808080;
    bool pattern = false;
    std::string windowClass = "TestApp";
    const char* title = nullptr;
    long pid = -1;
    bool overrideRedirect = false;
};

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    auto* reply = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::strlen(name), name), nullptr);
    const xcb_atom_t a = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return a;
}

void sync(xcb_connection_t* c) {
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

void paint(xcb_connection_t* c, xcb_window_t w, xcb_gcontext_t gc, const Config& cfg) {
    const int bars = cfg.pattern ? (cfg.width + 15) / 16 : 1;
    for (int i = 0; i < bars; ++i) {
        const std::uint32_t pixel = cfg.pattern ? tessera::testing::patternColor(i) : cfg.color;
        xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &pixel);
        const xcb_rectangle_t r{static_cast<int16_t>(cfg.pattern ? i * 16 : 0), 0,
                                static_cast<uint16_t>(cfg.pattern ? 16 : cfg.width),
                                static_cast<uint16_t>(cfg.height)};
        xcb_poly_fill_rectangle(c, w, gc, 1, &r);
    }
    sync(c);
}

}  // namespace

int main(int argc, char** argv) {
    Config cfg;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--geometry") {
            std::sscanf(next, "%dx%d+%d+%d", &cfg.width, &cfg.height, &cfg.x, &cfg.y);
            ++i;
        } else if (arg == "--color") {
            cfg.color = static_cast<std::uint32_t>(std::stoul(next));
            ++i;
        } else if (arg == "--class") {
            cfg.windowClass = next;
            ++i;
        } else if (arg == "--title") {
            cfg.title = next;
            ++i;
        } else if (arg == "--pid") {
            cfg.pid = std::stol(next);
            ++i;
        } else if (arg == "--pattern") {
            cfg.pattern = true;
        } else if (arg == "--override-redirect") {
            cfg.overrideRedirect = true;
        }
    }
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::printf("error no display\n");
        return 1;
    }
    auto* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t w = xcb_generate_id(c);
    const std::uint32_t values[] = {cfg.color, static_cast<std::uint32_t>(cfg.overrideRedirect),
                                    XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, cfg.x, cfg.y, cfg.width, cfg.height,
                      0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    const std::string wmClass = cfg.windowClass + std::string(1, '\0') + cfg.windowClass + '\0';
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                        wmClass.size(), wmClass.data());
    if (cfg.title) {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom(c, "_NET_WM_NAME"),
                            atom(c, "UTF8_STRING"), 8, std::strlen(cfg.title), cfg.title);
    }
    const std::uint32_t pid = cfg.pid >= 0 ? static_cast<std::uint32_t>(cfg.pid) : getpid();
    if (pid != 0) {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom(c, "_NET_WM_PID"), XCB_ATOM_CARDINAL,
                            32, 1, &pid);
    }
    // Ask the window manager to place it where asked.
    struct {
        std::uint32_t flags, pad[4], minW, minH, maxW, maxH, incW, incH, minA[2], maxA[2], baseW,
            baseH, gravity;
    } hints{};
    hints.flags = 1 | 2 | 4 | 8;  // USPosition, USSize, PPosition, PSize
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NORMAL_HINTS,
                        XCB_ATOM_WM_SIZE_HINTS, 32, sizeof hints / 4, &hints);
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, w, 0, nullptr);
    xcb_map_window(c, w);
    xcb_flush(c);
    bool mapped = false;
    while (!mapped) {
        auto* event = xcb_wait_for_event(c);
        if (!event) {
            return 1;
        }
        mapped = (event->response_type & 0x7F) == XCB_MAP_NOTIFY;
        std::free(event);
    }
    // The window manager may still move it into place; ask once more.
    const std::uint32_t position[] = {static_cast<std::uint32_t>(cfg.x),
                                      static_cast<std::uint32_t>(cfg.y)};
    xcb_configure_window(c, w, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, position);
    paint(c, w, gc, cfg);
    std::printf("ready %u\n", w);
    std::fflush(stdout);

    std::string line;
    while (true) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {xcb_get_file_descriptor(c), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            return 1;
        }
        while (auto* event = xcb_poll_for_event(c)) {
            if ((event->response_type & 0x7F) == XCB_EXPOSE) {
                paint(c, w, gc, cfg);
            }
            std::free(event);
        }
        if (xcb_connection_has_error(c)) {
            return 1;
        }
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            char ch;
            if (read(STDIN_FILENO, &ch, 1) <= 0) {
                return 0;
            }
            if (ch != '\n') {
                line.push_back(ch);
                continue;
            }
            if (line.rfind("fill ", 0) == 0) {
                cfg.pattern = false;
                cfg.color = static_cast<std::uint32_t>(std::stoul(line.substr(5)));
                paint(c, w, gc, cfg);
            } else if (line == "raise") {
                const std::uint32_t above = XCB_STACK_MODE_ABOVE;
                xcb_configure_window(c, w, XCB_CONFIG_WINDOW_STACK_MODE, &above);
                sync(c);
            }
            line.clear();
            std::printf("ok\n");
            std::fflush(stdout);
        }
    }
}
