#pragma once

#include <algorithm>

#include "support/Geometry.h"

namespace tessera {

// A rectangle in X11 root coordinates: pixels, origin top-left, y downward.
struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool isEmpty() const { return width <= 0 || height <= 0; }
    int right() const { return x + width; }
    int bottom() const { return y + height; }
    // The common part; empty (all zero) when they do not overlap.
    PixelRect intersected(const PixelRect& other) const {
        const int left = std::max(x, other.x);
        const int top = std::max(y, other.y);
        const int r = std::min(right(), other.right());
        const int b = std::min(bottom(), other.bottom());
        if (r <= left || b <= top) {
            return {};
        }
        return {left, top, r - left, b - top};
    }
    friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

// X11 pixels ↔ global points (origin at the bottom-left of the main display,
// y upward). X11 has no scale factor between the two: a point is a pixel.
inline Rect toGlobal(const PixelRect& r, const PixelRect& mainDisplay) {
    const double mainBottom = mainDisplay.y + mainDisplay.height;
    return Rect(r.x - mainDisplay.x, mainBottom - (r.y + r.height), r.width, r.height);
}

inline PixelRect toPixels(const Rect& r, const PixelRect& mainDisplay) {
    const double mainBottom = mainDisplay.y + mainDisplay.height;
    return {static_cast<int>(r.minX() + mainDisplay.x), static_cast<int>(mainBottom - r.maxY()),
            static_cast<int>(r.width()), static_cast<int>(r.height())};
}

}  // namespace tessera
