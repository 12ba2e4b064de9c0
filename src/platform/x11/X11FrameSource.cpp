#include "platform/x11/X11FrameSource.h"

#include <poll.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shape.h>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/x11/X11Displays.h"
#include "support/Log.h"
#include "support/RecorderError.h"

namespace tessera {

namespace {

// How long a click stays highlighted.
const MediaTime kClickHighlightDuration(3, 10);
constexpr int kClickHighlightRadius = 18;
// How long the first frame waits for the windows below the excluded ones to
// repaint what redirecting them cleared. A client that never repaints (hung,
// or one that keeps its own backing store) delays the start by this much.
constexpr std::chrono::milliseconds kRepaintWait(500);
constexpr const char* kComponent = "x11-capture";

std::size_t poolSize(int queueDepth) {
    return static_cast<std::size_t>(std::max(1, queueDepth));
}

bool contains(const std::vector<std::uint32_t>& list, std::uint32_t value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

// A pixmap naming a redirected window's content; freed on destruction.
class WindowPixmap {
  public:
    WindowPixmap(xcb_connection_t* c, xcb_window_t window) : connection_(c) {
        const auto id = xcb_generate_id(c);
        XcbReply<xcb_generic_error_t> error(
            xcb_request_check(c, xcb_composite_name_window_pixmap_checked(c, window, id)));
        if (!error) {
            pixmap_ = id;
        }
    }
    ~WindowPixmap() {
        if (pixmap_ != 0) {
            xcb_free_pixmap(connection_, pixmap_);
        }
    }
    WindowPixmap(const WindowPixmap&) = delete;
    WindowPixmap& operator=(const WindowPixmap&) = delete;
    xcb_pixmap_t get() const { return pixmap_; }

  private:
    xcb_connection_t* connection_;
    xcb_pixmap_t pixmap_ = 0;
};

// The parts of `area` (root coordinates) that a top-level window at
// `windowRect` shows through its bounding shape: all of it for an unshaped
// window. A shaped window's off-screen copy still holds, outside its shape,
// whatever the screen showed there when it was redirected.
std::vector<PixelRect> shownParts(xcb_connection_t* c, xcb_window_t window,
                                  const PixelRect& windowRect, const PixelRect& area) {
    XcbReply<xcb_shape_get_rectangles_reply_t> shape(xcb_shape_get_rectangles_reply(
        c, xcb_shape_get_rectangles(c, window, XCB_SHAPE_SK_BOUNDING), nullptr));
    if (!shape) {
        return {area};
    }
    std::vector<PixelRect> parts;
    const auto* rectangles = xcb_shape_get_rectangles_rectangles(shape.get());
    const int count = xcb_shape_get_rectangles_rectangles_length(shape.get());
    for (int i = 0; i < count; ++i) {
        const PixelRect shown{windowRect.x + rectangles[i].x, windowRect.y + rectangles[i].y,
                              rectangles[i].width, rectangles[i].height};
        if (const auto part = shown.intersected(area); !part.isEmpty()) {
            parts.push_back(part);
        }
    }
    return parts;
}

}  // namespace

X11FrameSource::X11FrameSource(const std::optional<std::string>& displayName,
                               X11CaptureTarget target, X11CaptureSettings settings,
                               const HostClock& clock)
    : connection_(displayName),
      target_(std::move(target)),
      settings_(settings),
      clock_(clock),
      pool_(poolSize(settings.queueDepth)),
      framePool_(poolSize(settings.queueDepth)) {
    if (settings_.width <= 0 || settings_.height <= 0 || settings_.frameRate <= 0) {
        throw RecorderError("The screen capture was configured with an empty frame size");
    }
    auto* c = connection_.get();
    XcbReply<xcb_damage_query_version_reply_t> damage(
        xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
    XcbReply<xcb_composite_query_version_reply_t> composite(
        xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
    XcbReply<xcb_xfixes_query_version_reply_t> xfixes(
        xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
    if (!damage || !composite || !xfixes) {
        throw RecorderError(
            "The X server lacks an extension screen capture needs (DAMAGE, Composite, XFIXES)");
    }
    damageEvent_ = xcb_get_extension_data(c, &xcb_damage_id)->first_event;
    if (target_.kind == X11CaptureTarget::Kind::display) {
        setUpDisplay();
    } else {
        setUpWindow();
    }
    if (settings_.showMouseClicks) {
        const auto* input = xcb_get_extension_data(c, &xcb_input_id);
        XcbReply<xcb_input_xi_query_version_reply_t> version(
            xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr));
        if (input && input->present && version) {
            // Raw events reach the root window whichever client has the grab.
            inputOpcode_ = input->major_opcode;
            struct {
                xcb_input_event_mask_t head;
                std::uint32_t mask;
            } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS};
            xcb_input_xi_select_events(c, connection_.root(), 1, &mask.head);
        }
    }
    xcb_flush(c);
}

X11FrameSource::~X11FrameSource() {
    if (connection_.hasError()) {
        return;
    }
    if (damage_ != 0) {
        xcb_damage_destroy(connection_.get(), damage_);
    }
    for (const auto& [window, damage] : windowDamage_) {
        xcb_damage_destroy(connection_.get(), damage);
    }
    xcb_flush(connection_.get());
}

void X11FrameSource::setUpDisplay() {
    auto* c = connection_.get();
    const auto monitors = X11DisplaySource::queryMonitors(connection_);
    const auto it =
        std::ranges::find_if(monitors, [&](const auto& m) { return m.id == target_.id; });
    if (it == monitors.end()) {
        throw RecorderError("No display found to record");
    }
    source_ = it->rect;
    randrEvent_ = xcb_get_extension_data(c, &xcb_randr_id)->first_event;
    xcb_randr_select_input(c, connection_.root(), XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE);
    damage_ = xcb_generate_id(c);
    xcb_damage_create(c, damage_, connection_.root(), XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    image_ =
        std::make_unique<ShmImage>(c, static_cast<std::size_t>(source_.width) * source_.height);
    if (!target_.excludedWindows.empty()) {
        scratch_ =
            std::make_unique<ShmImage>(c, static_cast<std::size_t>(source_.width) * source_.height);
        // Every top-level window keeps its own off-screen copy, which the
        // server still draws onto the screen itself (automatic redirection);
        // the repair reads the windows below an excluded one from there.
        // Redirecting clears the covered parts of those windows and sends
        // them Expose. With the server grabbed, no client can repaint before
        // the damage objects that must see that repaint exist.
        xcb_grab_server(c);
        xcb_composite_redirect_subwindows(c, connection_.root(), XCB_COMPOSITE_REDIRECT_AUTOMATIC);
        const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(c, connection_.root(), XCB_CW_EVENT_MASK, &mask);
        refreshLayout();
        xcb_ungrab_server(c);
        // The windows below an excluded one had that part covered, so their
        // clients were asked to repaint it.
        for (std::size_t i = 0; i < stacking_.size(); ++i) {
            if (!stacking_[i].excluded) {
                continue;
            }
            const auto area = stacking_[i].rect.intersected(source_);
            for (std::size_t below = 0; below < i; ++below) {
                const auto& window = stacking_[below];
                if (!window.excluded && !window.rect.intersected(area).isEmpty() &&
                    !contains(awaitingRepaint_, window.id)) {
                    awaitingRepaint_.push_back(window.id);
                }
            }
        }
    }
}

void X11FrameSource::setUpWindow() {
    auto* c = connection_.get();
    XcbReply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(c, xcb_get_geometry(c, target_.id), nullptr));
    if (!geometry) {
        throw RecorderError(
            "The selected window is no longer available — reopen the menu to refresh the window "
            "list.");
    }
    source_ = {0, 0, geometry->width, geometry->height};
    // The window's own off-screen copy keeps its content also where other
    // windows cover it.
    xcb_composite_redirect_window(c, target_.id, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    damage_ = xcb_generate_id(c);
    xcb_damage_create(c, damage_, target_.id, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, target_.id, XCB_CW_EVENT_MASK, &mask);
    XcbReply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, target_.id), nullptr));
    windowUnmapped_ = !attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE;
    const auto* screen = connection_.screen();
    image_ = std::make_unique<ShmImage>(
        c, std::max<std::size_t>(
               static_cast<std::size_t>(screen->width_in_pixels) * screen->height_in_pixels,
               static_cast<std::size_t>(source_.width) * source_.height));
}

void X11FrameSource::fail(const std::string& message) {
    throw RecorderError(message);
}

void X11FrameSource::handleError(const xcb_generic_error_t& error) {
    // Requests without a reply fail here, after the fact: a damage object or
    // window that went away with its window between two frames. The next
    // layout refresh forgets them, so the error needs no more than a note.
    logging::debug(kComponent, "X error " + std::to_string(error.error_code) + " of request " +
                                   std::to_string(error.major_code) + "." +
                                   std::to_string(error.minor_code) + " ignored");
}

void X11FrameSource::drainEvents() {
    auto* c = connection_.get();
    while (XcbReply<xcb_generic_event_t> event{xcb_poll_for_event(c)}) {
        const std::uint8_t type = event->response_type & 0x7F;
        if (type == 0) {
            handleError(*reinterpret_cast<const xcb_generic_error_t*>(event.get()));
            continue;
        }
        if (type == damageEvent_ + XCB_DAMAGE_NOTIFY) {
            const auto* e = reinterpret_cast<const xcb_damage_notify_event_t*>(event.get());
            std::erase(awaitingRepaint_, e->drawable);
            dirty_ = true;
        } else if (randrEvent_ != 0 && type == randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY) {
            monitorsChanged_ = true;
        } else if (type == XCB_GE_GENERIC) {
            const auto* generic = reinterpret_cast<xcb_ge_generic_event_t*>(event.get());
            if (inputOpcode_ != 0 && generic->extension == inputOpcode_ &&
                generic->event_type == XCB_INPUT_RAW_BUTTON_PRESS) {
                const auto* press =
                    reinterpret_cast<const xcb_input_raw_button_press_event_t*>(generic);
                if (press->detail >= 1 && press->detail <= 3) {  // not the wheel
                    lastClick_ = clock_.now();
                }
            }
        } else if (type == XCB_DESTROY_NOTIFY) {
            const auto* e = reinterpret_cast<xcb_destroy_notify_event_t*>(event.get());
            if (target_.kind == X11CaptureTarget::Kind::window && e->window == target_.id) {
                windowGone_ = true;
            }
            // The server frees a window's damage object with the window.
            windowDamage_.erase(e->window);
            std::erase(awaitingRepaint_, e->window);
            layoutDirty_ = true;
        } else if (type == XCB_UNMAP_NOTIFY) {
            const auto* e = reinterpret_cast<xcb_unmap_notify_event_t*>(event.get());
            if (target_.kind == X11CaptureTarget::Kind::window && e->window == target_.id) {
                windowUnmapped_ = true;
            }
            layoutDirty_ = dirty_ = true;
        } else if (type == XCB_MAP_NOTIFY) {
            const auto* e = reinterpret_cast<xcb_map_notify_event_t*>(event.get());
            if (target_.kind == X11CaptureTarget::Kind::window && e->window == target_.id) {
                windowUnmapped_ = false;
            }
            layoutDirty_ = dirty_ = true;
        } else if (type == XCB_CONFIGURE_NOTIFY || type == XCB_CIRCULATE_NOTIFY ||
                   type == XCB_REPARENT_NOTIFY) {
            layoutDirty_ = dirty_ = true;
        }
    }
    if (connection_.hasError()) {
        fail("The connection to the X display was lost");
    }
}

xcb_window_t X11FrameSource::topLevelOf(xcb_window_t window) {
    auto* c = connection_.get();
    for (int depth = 0; depth < 64; ++depth) {
        XcbReply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr));
        if (!tree) {
            return XCB_WINDOW_NONE;
        }
        if (tree->parent == tree->root || tree->parent == XCB_WINDOW_NONE) {
            return window;
        }
        window = tree->parent;
    }
    return XCB_WINDOW_NONE;
}

void X11FrameSource::refreshLayout() {
    auto* c = connection_.get();
    layoutDirty_ = false;
    stacking_.clear();
    XcbReply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(c, xcb_query_tree(c, connection_.root()), nullptr));
    if (!tree) {
        return;
    }
    const auto* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    std::vector<xcb_get_window_attributes_cookie_t> attributes;
    std::vector<xcb_get_geometry_cookie_t> geometries;
    for (int i = 0; i < count; ++i) {
        attributes.push_back(xcb_get_window_attributes(c, children[i]));
        geometries.push_back(xcb_get_geometry(c, children[i]));
    }
    for (int i = 0; i < count; ++i) {
        XcbReply<xcb_get_window_attributes_reply_t> attr(
            xcb_get_window_attributes_reply(c, attributes[i], nullptr));
        XcbReply<xcb_get_geometry_reply_t> geo(xcb_get_geometry_reply(c, geometries[i], nullptr));
        if (!attr || !geo || attr->map_state != XCB_MAP_STATE_VIEWABLE ||
            attr->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT) {
            continue;
        }
        const int border = geo->border_width;
        stacking_.push_back(
            {children[i], {geo->x, geo->y, geo->width + 2 * border, geo->height + 2 * border}});
    }
    std::vector<std::uint32_t> keptTops;
    for (const auto id : target_.excludedWindows) {
        const auto top = topLevelOf(id);
        if (top != XCB_WINDOW_NONE && !contains(excludedTops_, top)) {
            excludedTops_.push_back(top);
        }
    }
    for (const auto id : target_.keptWindows) {
        keptTops.push_back(topLevelOf(id));
    }
    for (auto& top : stacking_) {
        top.excluded = contains(excludedTops_, top.id) && !contains(keptTops, top.id);
    }
    if (scratch_) {
        watchKeptWindows();
    }
}

void X11FrameSource::watchKeptWindows() {
    auto* c = connection_.get();
    std::unordered_map<xcb_window_t, std::uint32_t> watched;
    for (const auto& top : stacking_) {
        if (top.excluded) {
            continue;
        }
        if (const auto it = windowDamage_.find(top.id); it != windowDamage_.end()) {
            watched.insert(*it);
            windowDamage_.erase(it);
            continue;
        }
        const auto damage = xcb_generate_id(c);
        xcb_damage_create(c, damage, top.id, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
        watched.emplace(top.id, damage);
    }
    // Unmapped or newly excluded windows.
    for (const auto& [window, damage] : windowDamage_) {
        xcb_damage_destroy(c, damage);
    }
    windowDamage_ = std::move(watched);
}

void X11FrameSource::awaitRepaints() {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + kRepaintWait;
    while (true) {
        drainEvents();
        if (awaitingRepaint_.empty()) {
            return;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            logging::info(kComponent, std::to_string(awaitingRepaint_.size()) +
                                          " window(s) below the recorder's own did not repaint "
                                          "in time; the first frames may show their background");
            awaitingRepaint_.clear();
            return;
        }
        pollfd events{xcb_get_file_descriptor(connection_.get()), POLLIN, 0};
        poll(&events, 1, static_cast<int>(left));
    }
}

void X11FrameSource::clearDamage() {
    // Cleared before reading, so drawing during the read raises a new
    // notification for the next frame.
    auto* c = connection_.get();
    xcb_damage_subtract(c, damage_, XCB_NONE, XCB_NONE);
    for (const auto& [window, damage] : windowDamage_) {
        xcb_damage_subtract(c, damage, XCB_NONE, XCB_NONE);
    }
}

bool X11FrameSource::grabInto(ShmImage& image, xcb_drawable_t drawable, const PixelRect& area) {
    grabTime_ = clock_.now();
    const bool grabbed = image.grab(drawable, area);
    if (grabObserver_) {
        grabObserver_();
    }
    return grabbed;
}

void X11FrameSource::countDrop() {
    droppedFrames_.fetch_add(1, std::memory_order_relaxed);
}

bool X11FrameSource::grabSource() {
    auto* c = connection_.get();
    if (target_.kind == X11CaptureTarget::Kind::display) {
        return grabInto(*image_, connection_.root(), source_);
    }
    XcbReply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(c, xcb_get_geometry(c, target_.id), nullptr));
    if (!geometry) {
        windowGone_ = true;
        return false;
    }
    const int border = geometry->border_width;
    const PixelRect content{border, border, geometry->width, geometry->height};
    if (static_cast<std::size_t>(content.width) * content.height > image_->capacityPixels()) {
        image_ =
            std::make_unique<ShmImage>(c, static_cast<std::size_t>(content.width) * content.height);
        imageHoldsPicture_ = false;
    }
    // A new pixmap each time: the server replaces it whenever the window is
    // resized or mapped again.
    WindowPixmap pixmap(c, target_.id);
    if (pixmap.get() == 0 || !grabInto(*image_, pixmap.get(), content)) {
        return false;
    }
    source_ = {0, 0, content.width, content.height};
    return true;
}

void X11FrameSource::paintFromDrawable(xcb_drawable_t drawable, const PixelRect& drawableRect,
                                       const PixelRect& area, std::uint8_t* canvas) {
    const PixelRect local{area.x - drawableRect.x, area.y - drawableRect.y, area.width,
                          area.height};
    if (!scratch_->grab(drawable, local)) {
        return;
    }
    auto* target = canvas + (static_cast<std::ptrdiff_t>(area.y - source_.y) * source_.width +
                             (area.x - source_.x)) *
                                4;
    copyBlock(scratch_->data(), area.width * 4, target, source_.width * 4, area.width, area.height);
}

void X11FrameSource::repairExcludedWindows(std::uint8_t* canvas) {
    if (layoutDirty_) {
        refreshLayout();
    }
    auto* c = connection_.get();
    const auto rootPixmap =
        connection_.cardinals(connection_.root(), connection_.atom("_XROOTPMAP_ID"));
    const auto* screen = connection_.screen();
    const PixelRect screenRect{0, 0, screen->width_in_pixels, screen->height_in_pixels};
    for (const auto& hidden : stacking_) {
        if (!hidden.excluded) {
            continue;
        }
        const auto area = hidden.rect.intersected(source_);
        if (area.isEmpty()) {
            continue;
        }
        // The desktop background first: the root's background pixmap when a
        // desktop tool set one, else black.
        for (int y = 0; y < area.height; ++y) {
            auto* row =
                canvas + (static_cast<std::ptrdiff_t>(area.y - source_.y + y) * source_.width +
                          (area.x - source_.x)) *
                             4;
            std::memset(row, 0, static_cast<std::size_t>(area.width) * 4);
        }
        if (!rootPixmap.empty() && rootPixmap.front() != 0) {
            paintFromDrawable(rootPixmap.front(), screenRect, area, canvas);
        }
        // Then every window that is kept, bottom to top, each from its own
        // off-screen copy: the picture the screen would show without the
        // excluded windows.
        for (const auto& shown : stacking_) {
            if (shown.excluded) {
                continue;
            }
            const auto part = shown.rect.intersected(area);
            if (part.isEmpty()) {
                continue;
            }
            WindowPixmap pixmap(c, shown.id);
            if (pixmap.get() == 0) {
                continue;
            }
            for (const auto& visible : shownParts(c, shown.id, shown.rect, part)) {
                paintFromDrawable(pixmap.get(), shown.rect, visible, canvas);
            }
        }
    }
}

bool X11FrameSource::readCursor() {
    auto* c = connection_.get();
    XcbReply<xcb_xfixes_get_cursor_image_reply_t> cursor(
        xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
    if (!cursor) {
        return false;
    }
    int originX = source_.x;
    int originY = source_.y;
    if (target_.kind == X11CaptureTarget::Kind::window) {
        XcbReply<xcb_translate_coordinates_reply_t> position(xcb_translate_coordinates_reply(
            c, xcb_translate_coordinates(c, target_.id, connection_.root(), 0, 0), nullptr));
        if (position) {
            originX = position->dst_x;
            originY = position->dst_y;
        }
    }
    const bool wasInside = cursorInside_;
    const int x = cursor->x - originX;
    const int y = cursor->y - originY;
    const int left = x - cursor->xhot;
    const int top = y - cursor->yhot;
    const bool inside = !PixelRect{left, top, cursor->width, cursor->height}
                             .intersected({0, 0, source_.width, source_.height})
                             .isEmpty();
    const bool changed = x != cursorX_ || y != cursorY_ || cursor->cursor_serial != cursorSerial_ ||
                         inside != cursorInside_;
    if (cursor->cursor_serial != cursorSerial_ || cursorPixels_.empty()) {
        const auto* pixels = xcb_xfixes_get_cursor_image_cursor_image(cursor.get());
        cursorPixels_.assign(pixels, pixels + cursor->width * cursor->height);
        cursorWidth_ = cursor->width;
        cursorHeight_ = cursor->height;
    }
    cursorX_ = x;
    cursorY_ = y;
    cursorSerial_ = cursor->cursor_serial;
    cursorInside_ = inside;
    hotX_ = cursor->xhot;
    hotY_ = cursor->yhot;
    // Moving outside the captured area changes nothing in the picture.
    return changed && (inside || wasInside);
}

bool X11FrameSource::grabsStraightIntoFrames() const {
    return target_.kind == X11CaptureTarget::Kind::display && source_.width == settings_.width &&
           source_.height == settings_.height;
}

std::shared_ptr<PixelBuffer> X11FrameSource::grabFrame() {
    auto* slot =
        framePool_.take(connection_.get(), settings_.width, settings_.height, lastFrame_.get());
    if (!slot) {
        countDrop();
        return nullptr;
    }
    dirty_ = false;
    clearDamage();
    if (!grabInto(*slot->image, connection_.root(), source_)) {
        // The change is still to be shown: the next frame interval tries again.
        dirty_ = true;
        return nullptr;
    }
    if (scratch_) {
        repairExcludedWindows(slot->image->data());
    }
    drawOverlays(*slot->frame);
    return slot->frame;
}

std::shared_ptr<PixelBuffer> X11FrameSource::grabAndCompose(bool grab, bool overlayChanged) {
    auto frame = pool_.take(settings_.width, settings_.height, lastFrame_.get());
    if (!frame) {
        countDrop();
        return nullptr;
    }
    // Without a new grab the picture is the last one with the cursor or the
    // click highlight as they are now.
    grabTime_ = clock_.now();
    bool grabbed = false;
    if (grab) {
        dirty_ = false;
        clearDamage();
        grabbed = grabSource();
        if (!grabbed && windowGone_) {
            fail("The window being recorded was closed");
        }
        if (grabbed && scratch_) {
            repairExcludedWindows(image_->data());
        }
        // A failed grab leaves the change to be shown at the next frame.
        dirty_ = !grabbed;
        imageHoldsPicture_ = imageHoldsPicture_ || grabbed;
    }
    // A new cursor over the last picture needs a picture: the grab buffer is
    // blank until a grab succeeded, and that blank is no frame of the screen.
    if (!grabbed && (!overlayChanged || !imageHoldsPicture_)) {
        return nullptr;
    }
    return composeOutput(std::move(frame));
}

void X11FrameSource::drawOverlays(PixelBuffer& frame) {
    const auto placed =
        fittedRect(source_.width, source_.height, settings_.width, settings_.height);
    const auto toFrame = [&](int x, int y) {
        return std::pair{placed.x + x * placed.width / std::max(1, source_.width),
                         placed.y + y * placed.height / std::max(1, source_.height)};
    };
    if (highlightShown_) {
        const auto [x, y] = toFrame(cursorX_, cursorY_);
        drawClickHighlight(frame, x, y, kClickHighlightRadius);
    }
    if (settings_.showsCursor && cursorInside_ && !cursorPixels_.empty()) {
        const auto [x, y] = toFrame(cursorX_, cursorY_);
        drawCursor(frame, cursorPixels_.data(), cursorWidth_, cursorHeight_, x - hotX_, y - hotY_);
    }
}

std::shared_ptr<PixelBuffer> X11FrameSource::composeOutput(std::shared_ptr<PixelBuffer> frame) {
    const int stride = source_.width * 4;
    if (source_.width == settings_.width && source_.height == settings_.height) {
        copyOpaque(image_->data(), stride, frame->data(), frame->bytesPerRow, source_.width,
                   source_.height);
    } else {
        scaler_.scale(image_->data(), stride, source_.width, source_.height, *frame);
    }
    drawOverlays(*frame);
    return frame;
}

VideoSample X11FrameSource::nextFrame() {
    auto* c = connection_.get();
    drainEvents();
    if (firstFrame_) {
        firstFrame_ = false;
        awaitRepaints();
    }
    if (windowGone_) {
        fail("The window being recorded was closed");
    }
    if (monitorsChanged_) {
        monitorsChanged_ = false;
        const auto monitors = X11DisplaySource::queryMonitors(connection_);
        const auto it =
            std::ranges::find_if(monitors, [&](const auto& m) { return m.id == target_.id; });
        if (it == monitors.end()) {
            fail("The display being recorded is no longer available");
        }
        if (!(it->rect == source_)) {
            source_ = it->rect;
            const auto pixels = static_cast<std::size_t>(source_.width) * source_.height;
            image_ = std::make_unique<ShmImage>(c, pixels);
            imageHoldsPicture_ = false;
            if (scratch_) {
                scratch_ = std::make_unique<ShmImage>(c, pixels);
            }
            framePool_.clear();
            dirty_ = true;
        }
    }
    const bool canGrab = !(target_.kind == X11CaptureTarget::Kind::window && windowUnmapped_);
    bool overlayChanged = settings_.showsCursor && readCursor();
    if (settings_.showMouseClicks) {
        const bool highlight =
            lastClick_.isValid() && clock_.now() - lastClick_ < kClickHighlightDuration;
        if (highlight || highlight != highlightShown_) {
            overlayChanged = true;
        }
        highlightShown_ = highlight;
    }
    const bool changed = !lastFrame_ || overlayChanged;
    std::shared_ptr<PixelBuffer> frame;
    if (grabsStraightIntoFrames()) {
        // Every new frame is a fresh grab into its own buffer: the previous
        // one has the old cursor drawn into it and may still be encoding.
        if (dirty_ || changed) {
            frame = grabFrame();
        }
    } else if ((dirty_ && canGrab) || changed) {
        frame = grabAndCompose(dirty_ && canGrab, changed);
    }
    if (!frame && changed) {
        // Not grabbed (all frames out, or the server refused): the next frame
        // interval tries again.
        dirty_ = true;
    }
    VideoSample sample;
    if (frame) {
        lastFrame_ = std::move(frame);
        sample.timing = {MediaTime(1, settings_.frameRate), grabTime_, MediaTime::invalid()};
        sample.frameStatus = FrameStatus::complete;
    } else {
        sample.timing = {MediaTime(1, settings_.frameRate), clock_.now(), MediaTime::invalid()};
        sample.frameStatus = FrameStatus::idle;
    }
    sample.pixels = lastFrame_;
    return sample;
}

}  // namespace tessera
