#pragma once

#include <xcb/xcb.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "media/MediaSample.h"
#include "platform/x11/FramePainting.h"
#include "platform/x11/ShmImage.h"
#include "platform/x11/X11Geometry.h"
#include "platform/x11/XcbConnection.h"
#include "support/HostClock.h"

namespace tessera {

// What to capture, in X11 terms.
struct X11CaptureTarget {
    enum class Kind { display, window };
    Kind kind = Kind::display;
    // The display's id (as X11DisplaySource lists it) or the window's XID.
    std::uint32_t id = 0;
    // Display capture only: windows (client XIDs) painted out of the picture,
    // and windows kept in even when listed as excluded.
    std::vector<std::uint32_t> excludedWindows;
    std::vector<std::uint32_t> keptWindows;
};

struct X11CaptureSettings {
    // The frames' pixel size; the source is scaled to fit, aspect kept.
    int width = 0;
    int height = 0;
    int frameRate = 30;
    bool showsCursor = true;
    bool showMouseClicks = false;
    // Frames out at once: held downstream plus the last one kept for idle
    // repeats. A changed picture that finds them all out is not grabbed; it
    // counts as dropped, and the next frame interval tries again.
    int queueDepth = 6;
};

// Produces screen frames on demand from its own X connection: a display's area
// of the root window, or one window's own content through XComposite (also
// while covered). Frames are BGRA of the configured size, stamped on the host
// clock, with status `complete` when the picture changed since the previous
// frame (always for the first) and `idle` otherwise; an idle frame shares the
// previous frame's pixels.
//
// A display captured at its own size is grabbed by the server straight into
// shared-memory frames that go out as they are (BGRX: the fourth byte is the
// server's padding); any other frame is scaled or copied out of one grab
// buffer and is opaque BGRA.
//
// Change detection uses XDamage, so an unchanged screen costs no grab. In
// display capture, the excluded windows are painted over with what lies below
// them (the other windows' own pixmaps, bottom to top, over the root's
// background pixmap or black), because X11 cannot leave windows out itself.
// Drawing into those pixmaps does not damage the screen where an excluded
// window covers it, so every other top-level window is watched for damage of
// its own. Redirecting the windows into pixmaps clears their covered parts and
// asks their clients to repaint; the first frame waits (bounded) for those
// repaints, so that it already shows what lies below the excluded windows.
//
// A frame is stamped with the host time at which its grab was requested, not
// when its repair or scaling finished.
//
// One thread at a time (the capture thread); construction may happen on any
// thread.
class X11FrameSource {
  public:
    // Throws RecorderError when the display cannot be opened, the display or
    // window is not there, or the capture cannot be set up.
    X11FrameSource(const std::optional<std::string>& displayName, X11CaptureTarget target,
                   X11CaptureSettings settings, const HostClock& clock);
    ~X11FrameSource();
    X11FrameSource(const X11FrameSource&) = delete;
    X11FrameSource& operator=(const X11FrameSource&) = delete;

    // Grabs the next frame. Until a grab has succeeded (a window not mapped
    // yet, a refused grab) the sample is idle without pixels. Throws
    // RecorderError when the window or display went away or the X connection
    // broke; no frame follows after that.
    VideoSample nextFrame();

    // The captured area in root coordinates (display), or the window's size
    // at its own origin (window).
    PixelRect sourceRect() const { return source_; }
    // Whether windows are being painted out of this capture.
    bool repairsExcludedWindows() const { return scratch_ != nullptr; }
    // Changed pictures not grabbed because all queueDepth frames were out.
    // Any thread.
    std::uint64_t droppedFrames() const { return droppedFrames_.load(std::memory_order_relaxed); }
    // Called on the capture thread right after each grab of the screen or
    // window returns, before repair and scaling; for measurements.
    void setGrabObserver(std::function<void()> observer) { grabObserver_ = std::move(observer); }

  private:
    struct TopLevel {
        xcb_window_t id = 0;
        PixelRect rect;  // including the border
        bool excluded = false;
    };

    void setUpDisplay();
    void setUpWindow();
    void drainEvents();
    void handleError(const xcb_generic_error_t& error);
    void refreshLayout();
    void watchKeptWindows();
    void awaitRepaints();
    void clearDamage();
    xcb_window_t topLevelOf(xcb_window_t window);
    bool grabSource();
    bool grabsStraightIntoFrames() const;
    std::shared_ptr<PixelBuffer> grabFrame();
    std::shared_ptr<PixelBuffer> grabAndCompose(bool grab, bool overlayChanged);
    bool grabInto(ShmImage& image, xcb_drawable_t drawable, const PixelRect& area);
    void countDrop();
    void repairExcludedWindows(std::uint8_t* canvas);
    void paintFromDrawable(xcb_drawable_t drawable, const PixelRect& drawableRect,
                           const PixelRect& area, std::uint8_t* canvas);
    bool readCursor();
    void drawOverlays(PixelBuffer& frame);
    std::shared_ptr<PixelBuffer> composeOutput(std::shared_ptr<PixelBuffer> frame);
    [[noreturn]] void fail(const std::string& message);

    XcbConnection connection_;
    X11CaptureTarget target_;
    X11CaptureSettings settings_;
    const HostClock& clock_;
    std::uint8_t damageEvent_ = 0;
    std::uint8_t randrEvent_ = 0;
    std::uint8_t inputOpcode_ = 0;
    std::uint32_t damage_ = 0;
    PixelRect source_;
    std::unique_ptr<ShmImage> image_;
    // Whether image_ holds a grabbed picture (it starts out blank).
    bool imageHoldsPicture_ = false;
    std::unique_ptr<ShmImage> scratch_;
    FrameScaler scaler_;
    FrameBufferPool pool_;
    // Display frames of the source's own size: grabbed by the server straight
    // into these, no copy.
    ShmFramePool framePool_;

    // Change tracking.
    bool dirty_ = true;
    bool layoutDirty_ = true;
    bool monitorsChanged_ = false;
    bool windowGone_ = false;
    bool windowUnmapped_ = false;
    std::vector<TopLevel> stacking_;
    // Every top-level window that has held an excluded window. They stay
    // excluded: when a managed client unmaps, its window manager's frame can
    // stay on screen a moment longer, still showing the client's last picture.
    std::vector<xcb_window_t> excludedTops_;
    // Damage objects on the top-level windows that are not excluded (display
    // capture with repair only), and the windows whose repaint the first
    // frame waits for.
    std::unordered_map<xcb_window_t, std::uint32_t> windowDamage_;
    std::vector<xcb_window_t> awaitingRepaint_;
    bool firstFrame_ = true;

    // Cursor and clicks.
    std::vector<std::uint32_t> cursorPixels_;
    int cursorX_ = 0;
    int cursorY_ = 0;
    int cursorWidth_ = 0;
    int cursorHeight_ = 0;
    int hotX_ = 0;
    int hotY_ = 0;
    std::uint32_t cursorSerial_ = 0;
    bool cursorInside_ = false;
    MediaTime lastClick_;
    bool highlightShown_ = false;

    std::shared_ptr<PixelBuffer> lastFrame_;
    // The host time of the latest grab.
    MediaTime grabTime_;
    std::function<void()> grabObserver_;
    std::atomic<std::uint64_t> droppedFrames_ = 0;
};

}  // namespace tessera
