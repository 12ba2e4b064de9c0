#include "overlays/widgets/FloatingWindow.h"

#include <QtGui/qguiapplication_platform.h>
#include <xcb/shape.h>
#include <xcb/xcb.h>
#include <xcb/xinput.h>

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QShowEvent>
#include <QWindow>
#include <cstdlib>
#include <memory>
#include <optional>
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

xcb_window_t rootWindow(xcb_connection_t* connection) {
    return xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
}

// A WINDOW property of `window`; none when absent.
std::optional<xcb_window_t> windowProperty(xcb_connection_t* connection, xcb_window_t window,
                                           const std::string& name) {
    Reply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(connection,
                               xcb_get_property(connection, 0, window, internAtom(connection, name),
                                                XCB_ATOM_WINDOW, 0, 1),
                               nullptr));
    if (!reply || xcb_get_property_value_length(reply.get()) < 4) {
        return std::nullopt;
    }
    return *static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get()));
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
    windowHandle()->installEventFilter(this);
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

namespace {

// The master pointer's XI2 device id; none when the server has no XI2.
std::optional<xcb_input_device_id_t> masterPointer(xcb_connection_t* connection) {
    Reply<xcb_input_xi_query_device_reply_t> reply(xcb_input_xi_query_device_reply(
        connection, xcb_input_xi_query_device(connection, XCB_INPUT_DEVICE_ALL_MASTER), nullptr));
    if (!reply) {
        return std::nullopt;
    }
    for (auto it = xcb_input_xi_query_device_infos_iterator(reply.get()); it.rem;
         xcb_input_xi_device_info_next(&it)) {
        if (it.data->type == XCB_INPUT_DEVICE_TYPE_MASTER_POINTER) {
            return it.data->deviceid;
        }
    }
    return std::nullopt;
}

}  // namespace

bool FloatingWindow::grabPointer() {
    xcb_connection_t* connection = qtConnection();
    if (!connection) {
        return false;
    }
    // Qt reads the pointer through XInput 2 and ignores core pointer events,
    // so the grab is an XI2 grab of the master pointer.
    const auto device = masterPointer(connection);
    if (!device) {
        logging::warning(kComponent, "no XInput 2 pointer: drawing is limited to the strokes");
        return false;
    }
    const std::uint32_t mask = XCB_INPUT_XI_EVENT_MASK_BUTTON_PRESS |
                               XCB_INPUT_XI_EVENT_MASK_BUTTON_RELEASE |
                               XCB_INPUT_XI_EVENT_MASK_MOTION | XCB_INPUT_XI_EVENT_MASK_ENTER |
                               XCB_INPUT_XI_EVENT_MASK_LEAVE;
    Reply<xcb_input_xi_grab_device_reply_t> reply(xcb_input_xi_grab_device_reply(
        connection,
        xcb_input_xi_grab_device(connection, static_cast<xcb_window_t>(winId()), XCB_CURRENT_TIME,
                                 XCB_NONE, *device, XCB_INPUT_GRAB_MODE_22_ASYNC,
                                 XCB_INPUT_GRAB_MODE_22_ASYNC,
                                 /*owner_events=*/1, 1, &mask),
        nullptr));
    if (reply && reply->status == XCB_GRAB_STATUS_NOT_VIEWABLE) {
        logging::debug(kComponent, "the pointer grab waits until the window is on screen");
        return false;
    }
    if (!reply || reply->status != XCB_GRAB_STATUS_SUCCESS) {
        logging::warning(kComponent,
                         "the pointer is held by another client; drawing is limited "
                         "to the strokes already on screen");
        return false;
    }
    grabbedDevice_ = *device;
    return true;
}

void FloatingWindow::releasePointer() {
    xcb_connection_t* connection = qtConnection();
    if (!connection || !grabbedDevice_) {
        return;
    }
    xcb_input_xi_ungrab_device(connection, XCB_CURRENT_TIME,
                               static_cast<xcb_input_device_id_t>(*grabbedDevice_));
    xcb_flush(connection);
    grabbedDevice_.reset();
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
    if (xcb_connection_t* connection = qtConnection()) {
        const auto active =
            windowProperty(connection, rootWindow(connection), "_NET_ACTIVE_WINDOW");
        if (active && *active != static_cast<xcb_window_t>(winId())) {
            previousFocus_ = *active;
        }
    }
    raise();
    activateWindow();
}

void FloatingWindow::returnFocus() {
    xcb_connection_t* connection = qtConnection();
    if (!connection || !isActiveWindow()) {
        return;
    }
    const xcb_window_t root = rootWindow(connection);
    if (previousFocus_ != XCB_NONE) {
        // As a pager would (source 2), so that the window manager does not
        // refuse it as focus stealing.
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = previousFocus_;
        message.type = internAtom(connection, "_NET_ACTIVE_WINDOW");
        message.data.data32[0] = 2;
        message.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(connection, 0, root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&message));
    } else {
        xcb_set_input_focus(connection, XCB_INPUT_FOCUS_POINTER_ROOT, XCB_INPUT_FOCUS_POINTER_ROOT,
                            XCB_CURRENT_TIME);
    }
    xcb_flush(connection);
    previousFocus_ = XCB_NONE;
}

bool FloatingWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == windowHandle() && event->type() == QEvent::Expose &&
        !windowHandle()->isExposed()) {
        // Unmapped: the server has ended any grab of this window.
        grabbedDevice_.reset();
    } else if (watched == windowHandle() && event->type() == QEvent::Expose) {
        if (inputShapePending_) {
            inputShapePending_ = false;
            // The window manager has framed the window by now and follows
            // later changes of its input shape, but not one made before it
            // managed the window: set it again.
            setClickThrough(clickThrough_);
        }
        exposed();
    }
    return FloatingWindow::QWidget::eventFilter(watched, event);
}

void FloatingWindow::showEvent(QShowEvent* event) {
    applyWindowManagerHints();
    inputShapePending_ = clickThrough_;
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
