#pragma once

#include <algorithm>

namespace tessera {

// Plain geometry in screen points. Screen rectangles use the desktop's global
// coordinate system: origin at the bottom-left corner of the main screen, x to
// the right, y upward. Conversion to the windowing system's top-left origin
// happens once, at the window layer.

struct Point {
    double x = 0;
    double y = 0;

    friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
    double width = 0;
    double height = 0;

    friend bool operator==(const Size&, const Size&) = default;
};

// A rectangle given by its bottom-left origin and a non-negative size.
struct Rect {
    Point origin;
    Size size;

    constexpr Rect() = default;
    constexpr Rect(Point o, Size s) : origin(o), size(s) {}
    constexpr Rect(double x, double y, double width, double height)
        : origin{x, y}, size{width, height} {}

    constexpr double minX() const { return origin.x; }
    constexpr double minY() const { return origin.y; }
    constexpr double midX() const { return origin.x + size.width / 2; }
    constexpr double midY() const { return origin.y + size.height / 2; }
    constexpr double maxX() const { return origin.x + size.width; }
    constexpr double maxY() const { return origin.y + size.height; }
    constexpr double width() const { return size.width; }
    constexpr double height() const { return size.height; }
    constexpr bool isEmpty() const { return !(size.width > 0) || !(size.height > 0); }

    // True when the two rectangles share an area; touching edges and empty
    // rectangles do not count.
    constexpr bool intersects(const Rect& other) const {
        if (isEmpty() || other.isEmpty()) {
            return false;
        }
        return std::max(minX(), other.minX()) < std::min(maxX(), other.maxX()) &&
               std::max(minY(), other.minY()) < std::min(maxY(), other.maxY());
    }

    // Half-open on the far edges, so a point on a shared border belongs to one
    // of two adjacent screens only.
    constexpr bool contains(const Point& p) const {
        return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY();
    }

    friend bool operator==(const Rect&, const Rect&) = default;
};

}  // namespace tessera
