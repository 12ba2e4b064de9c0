#include "camera/BubbleGeometry.h"

#include <algorithm>
#include <cmath>

namespace tessera::bubble {

namespace {

// The menu's bar is centred on the dots strip: this much below the window.
constexpr double kMenuDrop = kBarHeight / 2 - kDotsZone / 2;

// x and y kept inside the area for a window of that size; the area's
// left and bottom edges win when it is too small.
Point clampInto(Point origin, double width, double height, const Rect& area) {
    return {std::min(std::max(origin.x, area.minX()), std::max(area.minX(), area.maxX() - width)),
            std::min(std::max(origin.y, area.minY()), std::max(area.minY(), area.maxY() - height))};
}

// One axis of the magnetic edges: `low` and `high` are the snap lines.
double snapAxis(double value, double low, double high) {
    if (low - kEdgeForceThreshold < value && value < low) {
        return low;
    }
    if (value > high && value < high + kEdgeForceThreshold) {
        return high;
    }
    return value;
}

}  // namespace

double clampedSize(double diameter) {
    return std::clamp(diameter, kMinSize, kMaxSize);
}

Rect bubbleArea(const Rect& visibleFrame) {
    const double raise = kBarHeight / 2 - kDotsZone / 2 + 6;
    return Rect(visibleFrame.minX(), visibleFrame.minY() + raise, visibleFrame.width(),
                std::max(visibleFrame.height() - raise, 0.0));
}

double restoredBubbleSize(std::optional<double> stored) {
    return stored && std::isfinite(*stored) ? clampedSize(*stored) : kDefaultSize;
}

Point restoredBubbleOrigin(double diameter, std::optional<Point> stored, const Rect& visibleFrame) {
    const Rect area = bubbleArea(visibleFrame);
    const double height = windowHeight(diameter);
    if (stored && Rect(stored->x, stored->y, diameter, height).intersects(visibleFrame)) {
        return clampInto(*stored, diameter, height, area);
    }
    return {visibleFrame.minX() + kEdgeMargin, area.minY()};
}

BubbleAnchor anchorFor(const Rect& windowFrame, const Rect& area) {
    return {windowFrame.minX() - area.minX() <= area.maxX() - windowFrame.maxX(),
            windowFrame.minY() - area.minY() <= area.maxY() - windowFrame.maxY()};
}

std::optional<Rect> resizedBubbleFrame(const Rect& windowFrame, double diameter,
                                       BubbleAnchor anchor, const Rect& area) {
    const double size = clampedSize(diameter);
    if (std::abs(windowFrame.width() - size) <= 0.5) {
        return std::nullopt;
    }
    const double height = windowHeight(size);
    const Point pinned{anchor.pinsLeft ? windowFrame.minX() : windowFrame.maxX() - size,
                       anchor.pinsBottom ? windowFrame.minY() : windowFrame.maxY() - height};
    return Rect(clampInto(pinned, size, height, area), Size{size, height});
}

Point menuOrigin(Size menu, const Rect& bubbleFrame, const Rect& visibleFrame, bool fullScreen) {
    const double x = std::min(
        visibleFrame.maxX() - menu.width - kMenuSideMargin,
        std::max(bubbleFrame.midX() - menu.width / 2, visibleFrame.minX() + kMenuSideMargin));
    const double y =
        fullScreen ? bubbleFrame.minY() + kFullScreenMenuLift : bubbleFrame.minY() - kMenuDrop;
    return {x, y};
}

Point constrainedDragOrigin(Point proposed, Size window, const Rect& visibleFrame) {
    const Rect area = bubbleArea(visibleFrame);
    return {
        snapAxis(proposed.x, area.minX() + kEdgeMargin, area.maxX() - kEdgeMargin - window.width),
        snapAxis(proposed.y, area.minY(), area.maxY() - kEdgeMargin - window.height)};
}

std::optional<double> pinchedSize(double width, double magnification) {
    const double size = clampedSize(width * (1 + magnification));
    if (std::abs(size - width) <= 0.5) {
        return std::nullopt;
    }
    return size;
}

}  // namespace tessera::bubble
