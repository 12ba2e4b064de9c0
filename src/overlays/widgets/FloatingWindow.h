#pragma once

#include <QRect>
#include <QRegion>
#include <QWidget>
#include <cstdint>
#include <optional>

#include "app/DiscoveryPorts.h"
#include "overlays/DisplayFrames.h"
#include "support/Geometry.h"

class QScreen;

namespace tessera::overlays {

// Whether a floating window may hold the keyboard focus.
enum class FocusPolicy {
    // Never focused, not even by a click (the strip, the camera bubble).
    never,
    // Focused only when the owner calls takeFocus() (the countdown, the pen
    // overlay in draw mode).
    whenAsked,
};

// The base of every floating recorder window (countdown, pen overlay, control
// strip, camera bubble): a frameless tool window that stays above other
// windows, is shown on every desktop, is left out of task bars and pagers, and
// does not take the focus when it appears.
//
// X11 can show what lies beneath a window only while a compositing manager
// runs. A window that should be partly see-through therefore asks
// compositorRunning() and, without one, gives its visible outline to
// setVisibleShape(), which shapes the window (XShape) so that the parts
// outside show the windows below.
//
// Main thread only, like every widget.
class FloatingWindow : public QWidget {
  public:
    explicit FloatingWindow(FocusPolicy focus, QWidget* parent = nullptr);

    // True when a compositing manager owns the _NET_WM_CM_S<screen> selection
    // of the X screen this application runs on. Asks the server each time, so
    // a compositor started or stopped later is noticed.
    static bool compositorRunning();

    // Clicks and pointer motion pass through to the windows below (an empty
    // input shape) while on. Survives hiding and showing.
    void setClickThrough(bool on);
    bool isClickThrough() const { return clickThrough_; }

    // The part of the window that is drawn, in widget coordinates. Without a
    // compositor the window is shaped to it, and an empty region shows
    // nothing at all; with one the shape is cleared and the translucent
    // background does the job.
    void setVisibleShape(const QRegion& region);

    // Sends every pointer event to this window, also where it is shaped away
    // or click-through, except over the application's other windows (an X
    // pointer grab with owner events). A shaped window without a compositor
    // takes input this way where it draws nothing. False when another client
    // holds the pointer, or when the window is not on screen yet (the window
    // manager has not mapped it): then exposed() is the moment to try again.
    bool grabPointer();
    void releasePointer();
    // Whether a grab is held: the X server ends one when the window leaves
    // the screen, and the window then forgets it.
    bool holdsPointer() const { return grabbedDevice_.has_value(); }

    // Changes the focus policy of a window that already exists.
    void setFocusPolicyTo(FocusPolicy focus);
    FocusPolicy focusPolicyValue() const { return focus_; }

    // Asks the window manager to give this window the keyboard focus; ignored
    // with FocusPolicy::never.
    void takeFocus();
    // Gives the keyboard focus back to the window that had it before
    // takeFocus(), while this window stays on screen; nothing when this window
    // does not have the focus.
    void returnFocus();

    // The X window id (the native window is created with the widget).
    std::uint32_t xWindowID() const { return static_cast<std::uint32_t>(winId()); }

  protected:
    // Sets the EWMH states on the still unmapped window: Qt sends the show
    // event before it maps the window, and it keeps states it does not manage
    // itself when it writes its own.
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // The window is exposed on screen: first once the window manager has
    // mapped it after a show, then at each later exposure.
    virtual void exposed() {}

  private:
    void applyWindowManagerHints();

    FocusPolicy focus_;
    bool clickThrough_ = false;
    // Set the input shape again once the shown window is exposed.
    bool inputShapePending_ = false;
    // The XI2 device of a pointer grab that is held.
    std::optional<std::uint16_t> grabbedDevice_;
    // The X window that had the focus before takeFocus(); 0 for none.
    std::uint32_t previousFocus_ = 0;
};

// Where displays are, for placing floating windows: display frames come from
// the display port in global points (origin at the bottom-left of the main
// display, y upward); this is the one place that turns them into Qt's window
// coordinates (origin at the top-left, y downward). Main thread.
class DisplayPlacement {
  public:
    // `displays` must outlive this object.
    explicit DisplayPlacement(DisplaySource& displays);

    // The whole or visible frame of `displayID`, else of the main display,
    // else the fallback frame. Global points.
    Rect frame(std::uint32_t displayID, FrameKind kind) const;
    // The frame of that display only; none when it is not connected.
    std::optional<Rect> frameIfPresent(std::uint32_t displayID, FrameKind kind) const;

    // The Qt screen of that display (matched by output name), else the primary
    // screen.
    QScreen* screen(std::uint32_t displayID) const;

    // The size factor of floating windows on that display (its height over
    // 900, clamped to 1.0…1.8).
    double chromeScale(std::uint32_t displayID) const;

    QRect toQt(const Rect& global) const;
    Rect toGlobal(const QRect& window) const;

  private:
    WindowRect mainDisplayRect() const;

    DisplaySource& displays_;
};

}  // namespace tessera::overlays
