#include "overlays/widgets/FloatingWindow.h"

#include <QtGui/qguiapplication_platform.h>
#include <xcb/shape.h>
#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QScreen>
#include <QShowEvent>
#include <QWindow>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/ScreenLookup.h"
#include "support/Log.h"

namespace tessera::overlays {

namespace {

constexpr std::string_view kComponent = "floating-window";

struct FreeReply {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeReply>;

xcb_connection_t* qtConnection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t internAtom(xcb_connection_t* connection, const std::string& name) {
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        connection,
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
        nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

// The X screen number of $DISPLAY (":1.0" → 0); Qt's xcb connection uses it.
int defaultScreenNumber() {
    const char* display = std::getenv("DISPLAY");
    if (!display) {
        return 0;
    }
    const std::string name(display);
    const auto colon = name.rfind(':');
    const auto dot = name.find('.', colon == std::string::npos ? 0 : colon);
    if (dot == std::string::npos) {
        return 0;
    }
    return std::atoi(name.c_str() + dot + 1);
}

Qt::WindowFlags flagsFor(FocusPolicy focus) {
    Qt::WindowFlags flags =
        Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::NoDropShadowWindowHint;
    if (focus == FocusPolicy::never) {
        flags |= Qt::WindowDoesNotAcceptFocus;
    }
    return flags;
}

}  // namespace

FloatingWindow::FloatingWindow(FocusPolicy focus, QWidget* parent)
    : QWidget(parent, flagsFor(focus)), focus_(focus) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_X11NetWmWindowTypeUtility);
    // The native window exists from here on, so its id can be handed out
    // (capture filters) before the first show.
    winId();
}

bool FloatingWindow::compositorRunning() {
    xcb_connection_t* connection = qtConnection();
    if (!connection) {
        return false;
    }
    const xcb_atom_t selection =
        internAtom(connection, "_NET_WM_CM_S" + std::to_string(defaultScreenNumber()));
    if (selection == XCB_ATOM_NONE) {
        return false;
    }
    Reply<xcb_get_selection_owner_reply_t> owner(xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, selection), nullptr));
    return owner && owner->owner != XCB_NONE;
}

void FloatingWindow::setClickThrough(bool on) {
    clickThrough_ = on;
    xcb_connection_t* connection = qtConnection();
    if (!connection) {
        logging::warning(kComponent, "no X connection: the window cannot pass clicks through");
        return;
    }
    const auto window = static_cast<xcb_window_t>(winId());
    if (on) {
        // No rectangles: nothing of the window takes input.
        xcb_shape_rectangles(connection, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT,
                             XCB_CLIP_ORDERING_UNSORTED, window, 0, 0, 0, nullptr);
    } else {
        // No mask: the input shape follows the window's outline again.
        xcb_shape_mask(connection, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, window, 0, 0, XCB_NONE);
    }
    xcb_flush(connection);
}

void FloatingWindow::setVisibleShape(const QRegion& region) {
    if (compositorRunning()) {
        clearMask();
    } else if (region.isEmpty()) {
        // An empty mask would mean "no shape" to Qt: one pixel outside the
        // window leaves nothing of it visible.
        setMask(QRegion(-2, -2, 1, 1));
    } else {
        setMask(region);
    }
}

bool FloatingWindow::grabPointer() {
    xcb_connection_t* connection = qtConnection();
    if (!connection) {
        return false;
    }
    const std::uint16_t events = XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                 XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_ENTER_WINDOW |
                                 XCB_EVENT_MASK_LEAVE_WINDOW;
    Reply<xcb_grab_pointer_reply_t> reply(
        xcb_grab_pointer_reply(connection,
                               xcb_grab_pointer(connection, 1, static_cast<xcb_window_t>(winId()),
                                                events, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC,
                                                XCB_NONE, XCB_NONE, XCB_CURRENT_TIME),
                               nullptr));
    if (!reply || reply->status != XCB_GRAB_STATUS_SUCCESS) {
        logging::warning(kComponent,
                         "the pointer is held by another client; drawing is limited "
                         "to the strokes already on screen");
        return false;
    }
    return true;
}

void FloatingWindow::releasePointer() {
    if (xcb_connection_t* connection = qtConnection()) {
        xcb_ungrab_pointer(connection, XCB_CURRENT_TIME);
        xcb_flush(connection);
    }
}

void FloatingWindow::setFocusPolicyTo(FocusPolicy focus) {
    if (focus == focus_) {
        return;
    }
    focus_ = focus;
    // Through the QWindow, which rewrites WM_HINTS on the live window;
    // QWidget::setWindowFlags would destroy and re-create the native window
    // (and with it the id handed out).
    if (QWindow* window = windowHandle()) {
        window->setFlag(Qt::WindowDoesNotAcceptFocus, focus == FocusPolicy::never);
    }
}

void FloatingWindow::takeFocus() {
    if (focus_ == FocusPolicy::never) {
        return;
    }
    raise();
    activateWindow();
}

void FloatingWindow::showEvent(QShowEvent* event) {
    applyWindowManagerHints();
    QWidget::showEvent(event);
}

void FloatingWindow::applyWindowManagerHints() {
    xcb_connection_t* connection = qtConnection();
    if (!connection) {
        return;
    }
    const auto window = static_cast<xcb_window_t>(winId());
    std::vector<xcb_atom_t> states;
    for (const char* name : {"_NET_WM_STATE_STICKY", "_NET_WM_STATE_ABOVE",
                             "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"}) {
        states.push_back(internAtom(connection, name));
    }
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window,
                        internAtom(connection, "_NET_WM_STATE"), XCB_ATOM_ATOM, 32,
                        static_cast<std::uint32_t>(states.size()), states.data());
    // All desktops.
    const std::uint32_t allDesktops = 0xFFFFFFFF;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window,
                        internAtom(connection, "_NET_WM_DESKTOP"), XCB_ATOM_CARDINAL, 32, 1,
                        &allDesktops);
    xcb_flush(connection);
}

DisplayPlacement::DisplayPlacement(DisplaySource& displays) : displays_(displays) {}

Rect DisplayPlacement::frame(std::uint32_t displayID, FrameKind kind) const {
    return displayFrame(displays_.monitors(), displayID, displays_.mainDisplayID(), kind);
}

std::optional<Rect> DisplayPlacement::frameIfPresent(std::uint32_t displayID,
                                                     FrameKind kind) const {
    auto monitor = findMonitor(displays_.monitors(), displayID);
    if (!monitor) {
        return std::nullopt;
    }
    return kind == FrameKind::visible ? monitor->visibleFrame : monitor->frame;
}

QScreen* DisplayPlacement::screen(std::uint32_t displayID) const {
    if (auto monitor = findMonitor(displays_.monitors(), displayID)) {
        for (QScreen* candidate : QGuiApplication::screens()) {
            if (candidate->name().toStdString() == monitor->name) {
                return candidate;
            }
        }
    }
    return QGuiApplication::primaryScreen();
}

double DisplayPlacement::chromeScale(std::uint32_t displayID) const {
    return ScreenLookup::chromeScale(frame(displayID, FrameKind::whole).height());
}

WindowRect DisplayPlacement::mainDisplayRect() const {
    const QScreen* main = screen(displays_.mainDisplayID());
    if (!main) {
        const Rect fallback = ScreenLookup::fallbackFrame;
        return {0, 0, static_cast<int>(fallback.width()), static_cast<int>(fallback.height())};
    }
    const QRect g = main->geometry();
    return {g.x(), g.y(), g.width(), g.height()};
}

QRect DisplayPlacement::toQt(const Rect& global) const {
    const WindowRect r = toWindowRect(global, mainDisplayRect());
    return QRect(r.x, r.y, r.width, r.height);
}

Rect DisplayPlacement::toGlobal(const QRect& window) const {
    return toGlobalRect({window.x(), window.y(), window.width(), window.height()},
                        mainDisplayRect());
}

}  // namespace tessera::overlays
