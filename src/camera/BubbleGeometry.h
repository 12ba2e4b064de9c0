#pragma once

// The camera bubble's placement rules as pure functions, in global points
// (origin at the bottom-left of the main display, y upward). The window layer
// converts their results to window coordinates once, through
// overlays::DisplayPlacement.

#include <optional>

#include "support/Geometry.h"

namespace tessera::bubble {

// Diameters of the circle.
inline constexpr double kMinSize = 120;
inline constexpr double kMaxSize = 560;
inline constexpr double kDefaultSize = 160;
// Gap kept from the left, right and top edges when a drag snaps.
inline constexpr double kEdgeMargin = 16;
// How far past a snap line a drag is still pulled back to it.
inline constexpr double kEdgeForceThreshold = 44;
// The strip below the circle holding the dots button: the window is this
// much taller than wide.
inline constexpr double kDotsZone = 30;
// Height of the bubble menu's bar.
inline constexpr double kBarHeight = 40;
inline constexpr Size kDotsButtonSize{44, 22};
// The menu's distance from the screen's sides, and its height above the
// window's bottom in full screen.
inline constexpr double kMenuSideMargin = 8;
inline constexpr double kFullScreenMenuLift = 64;
// Seconds without a first frame before the bubble says "No video".
inline constexpr double kNoVideoSeconds = 8.0;

// Which corner stays put when the bubble changes size.
struct BubbleAnchor {
    bool pinsLeft = true;
    bool pinsBottom = true;
    friend bool operator==(const BubbleAnchor&, const BubbleAnchor&) = default;
};

// The window height for a diameter.
constexpr double windowHeight(double diameter) {
    return diameter + kDotsZone;
}

double clampedSize(double diameter);

// The visible frame with its bottom edge raised by barHeight/2 − dotsZone/2 +
// 6 = 11 points, which keeps room for the menu hanging below the bubble.
Rect bubbleArea(const Rect& visibleFrame);

// The stored diameter clamped to 120…560, or 160 when none is stored.
double restoredBubbleSize(std::optional<double> stored);

// The stored origin pulled into the bubble area when the stored window still
// meets the visible frame; otherwise the default corner, 16 points from the
// left edge at the bubble area's bottom.
Point restoredBubbleOrigin(double diameter, std::optional<Point> stored, const Rect& visibleFrame);

// The corner nearer to the bubble area's edges; ties pin left and bottom.
BubbleAnchor anchorFor(const Rect& windowFrame, const Rect& bubbleArea);

// The window frame for a new diameter keeping the pinned corner, clamped into
// the bubble area; none when the diameter is within 0.5 of the current width.
std::optional<Rect> resizedBubbleFrame(const Rect& windowFrame, double diameter,
                                       BubbleAnchor anchor, const Rect& bubbleArea);

// Where the menu of that size goes: centred under the bubble and 8 points
// inside the visible frame's sides; its bar centred on the dots strip (5
// points below the window) or, in full screen, 64 points above the bottom.
Point menuOrigin(Size menu, const Rect& bubbleFrame, const Rect& visibleFrame, bool fullScreen);

// Magnetic edges for a dragged window: within 44 points past a snap line it
// stays on the line (16 points from the sides and top, the bubble area's
// bottom), further out it follows freely.
Point constrainedDragOrigin(Point proposed, Size window, const Rect& visibleFrame);

// The diameter a pinch asks for, or none when it changes the width by 0.5 or
// less.
std::optional<double> pinchedSize(double width, double magnification);

}  // namespace tessera::bubble
