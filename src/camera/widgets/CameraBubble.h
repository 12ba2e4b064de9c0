#pragma once

#include <QPoint>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "camera/BubbleGeometry.h"
#include "camera/widgets/CameraBubbleView.h"
#include "media/MediaSample.h"
#include "support/Executor.h"

namespace tessera {

class SettingsStore;
class BubbleMenuView;

namespace overlays {
class DisplayPlacement;
class FloatingWindow;
}  // namespace overlays

// The floating round camera bubble and its menu window: placement memory,
// magnetic dragging, resizing with the pinned corner, full screen and back,
// hover showing the dots and the menu. All geometry is computed in global
// points by the pure rules of BubbleGeometry.h and converted to window
// coordinates only where a window is placed (DisplayPlacement).
//
// The bubble's own frame is the one it last gave its window, so a move the
// bubble makes itself never comes back as a user move: only drags and
// resizes store the frame. Main thread.
class CameraBubble {
  public:
    // `placement`, `store` and `executor` must outlive the bubble. The
    // target display starts as `displayID`.
    CameraBubble(overlays::DisplayPlacement& placement, SettingsStore& store, Executor& executor,
                 std::uint32_t displayID);
    ~CameraBubble();
    CameraBubble(const CameraBubble&) = delete;
    CameraBubble& operator=(const CameraBubble&) = delete;

    // Builds the menu's view each time the menu opens; without it the dots
    // open nothing.
    std::function<BubbleMenuView*()> makeMenu;
    // Told the new diameter after the bubble was resized.
    std::function<void(double diameter)> onBubbleResized;

    // Creates and shows the bubble at its stored (or default) frame; nothing
    // when it is shown.
    void showBubble();
    // Closes the menu and the bubble and leaves full screen; the target
    // display, the anchor and the callbacks stay.
    void hideBubble();
    void moveBubble(std::uint32_t displayID);
    // Keeps the pinned corner; nothing while hidden or in full screen.
    void setBubbleSize(double diameter);
    void setFullScreen(bool on);
    // Raise or hide the window without changing anything else.
    void orderFront();
    void orderOut();
    // Shows a camera frame in the bubble (nothing while hidden).
    void showFrame(const VideoSample& frame);

    bool isShown() const { return window_ != nullptr; }
    bool isFullScreen() const { return fullScreen_; }
    // The window's frame in global points.
    Rect frame() const { return frame_; }
    bubble::BubbleAnchor anchor() const { return anchor_; }
    bool menuVisible() const;
    overlays::FloatingWindow* window() const { return window_.get(); }
    CameraBubbleView* view() const { return view_; }
    overlays::FloatingWindow* menuWindow() const { return menuWindow_.get(); }
    BubbleMenuView* menuView() const { return menuView_; }

  private:
    std::optional<Point> storedOrigin() const;
    Rect visibleFrame() const;
    void place(const Rect& frame);
    void updateAnchor();
    void updateShape();
    void persistFrame();
    void syncHover();
    void showMenu();
    void hideMenu();
    void placeMenu();
    void drag(CameraBubbleView::DragPhase phase, QPoint globalPosition);

    overlays::DisplayPlacement& placement_;
    SettingsStore& store_;
    Executor& executor_;
    std::uint32_t targetDisplayID_;
    bubble::BubbleAnchor anchor_;
    bool fullScreen_ = false;
    std::optional<Rect> preFullScreenFrame_;
    Rect frame_;

    std::unique_ptr<overlays::FloatingWindow> window_;
    // Owned by window_.
    CameraBubbleView* view_ = nullptr;
    std::unique_ptr<overlays::FloatingWindow> menuWindow_;
    // Owned by menuWindow_.
    BubbleMenuView* menuView_ = nullptr;

    // The drag under way: the window origin (points) and pointer position
    // (window-system pixels) at its start.
    std::optional<std::pair<Point, QPoint>> dragStart_;
};

}  // namespace tessera
