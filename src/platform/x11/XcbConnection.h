#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tessera {

// Frees an XCB reply or event (they are malloc'ed by libxcb).
struct XcbFree {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using XcbReply = std::unique_ptr<T, XcbFree>;

// One connection to the X server with its default screen. Move-only; closes
// the connection on destruction.
//
// Not thread-safe beyond what libxcb guarantees: each thread that talks to the
// server on its own schedule (a capture thread, the main thread) opens its own.
class XcbConnection {
  public:
    // Opens `displayName`, or $DISPLAY when none. Throws RecorderError when the
    // server cannot be reached.
    explicit XcbConnection(const std::optional<std::string>& displayName = std::nullopt);
    XcbConnection(XcbConnection&&) = default;
    XcbConnection& operator=(XcbConnection&&) = default;

    xcb_connection_t* get() const { return connection_.get(); }
    xcb_screen_t* screen() const { return screen_; }
    xcb_window_t root() const { return screen_->root; }
    // True once the connection broke (server gone, protocol error on the wire).
    bool hasError() const { return xcb_connection_has_error(get()) != 0; }

    // The atom of that name, interned on first use and cached.
    xcb_atom_t atom(const std::string& name);
    // The name of an atom; empty when unknown.
    std::string atomName(xcb_atom_t atom);

    // A 32-bit property as a list of numbers (CARDINAL, WINDOW, ATOM); empty
    // when absent.
    std::vector<std::uint32_t> cardinals(xcb_window_t window, xcb_atom_t property);
    // A text property (UTF8_STRING or STRING) as raw bytes; none when absent.
    std::optional<std::string> text(xcb_window_t window, xcb_atom_t property);

  private:
    struct Disconnect {
        void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
    };
    std::unique_ptr<xcb_connection_t, Disconnect> connection_;
    xcb_screen_t* screen_ = nullptr;
    std::unordered_map<std::string, xcb_atom_t> atoms_;
};

}  // namespace tessera
