#include "camera/effects/EffectGeometry.h"

#include <algorithm>
#include <cmath>

namespace tessera::effects {

Rect intersection(const Rect& a, const Rect& b) {
    const double x0 = std::max(a.minX(), b.minX());
    const double y0 = std::max(a.minY(), b.minY());
    const double x1 = std::min(a.maxX(), b.maxX());
    const double y1 = std::min(a.maxY(), b.maxY());
    if (x1 <= x0 || y1 <= y0) {
        return Rect(a.minX(), a.minY(), 0, 0);
    }
    return Rect(x0, y0, x1 - x0, y1 - y0);
}

std::optional<Rect> largestFace(const std::vector<Rect>& normalizedFaces, const Rect& extent) {
    std::optional<Rect> best;
    double bestArea = 0;
    for (const Rect& face : normalizedFaces) {
        const Rect mapped(extent.minX() + face.minX() * extent.width(),
                          extent.minY() + face.minY() * extent.height(),
                          face.width() * extent.width(), face.height() * extent.height());
        const double area = mapped.width() * mapped.height();
        if (!best || area > bestArea) {
            best = mapped;
            bestArea = area;
        }
    }
    return best;
}

Rect frameTarget(const Rect& face, const Rect& extent) {
    const double aspect = extent.width() / extent.height();
    double h = std::max(face.height() / 0.26, extent.height() / 1.5);
    h = std::min(h, extent.height());
    double w = aspect * h;
    if (extent.width() < w) {
        w = extent.width();
        h = w / aspect;
    }
    // Raised to the low edge first, then lowered to the high edge, so a crop larger
    // than the extent ends at the high edge rather than throwing like std::clamp.
    double x = face.midX() - w / 2;
    x = std::min(std::max(x, extent.minX()), extent.maxX() - w);
    double y = face.midY() - 0.5 * h - 0.06 * h;
    y = std::min(std::max(y, extent.minY()), extent.maxY() - h);
    return Rect(x, y, w, h);
}

Rect easedFrame(const Rect& from, const Rect& toward) {
    constexpr double kStep = 0.12;
    const auto move = [](double c, double t) {
        return c + (t - c) * kStep;
    };
    const Rect moved(move(from.minX(), toward.minX()), move(from.minY(), toward.minY()),
                     move(from.width(), toward.width()), move(from.height(), toward.height()));
    if (std::abs(moved.minX() - toward.minX()) < 0.5 &&
        std::abs(moved.minY() - toward.minY()) < 0.5 &&
        std::abs(moved.width() - toward.width()) < 0.5) {
        return toward;
    }
    return moved;
}

Rect meteringRegion(const std::optional<Rect>& face, const Rect& extent) {
    if (face) {
        const double dx = face->width() * 0.3;
        const double dy = face->height() * 0.3;
        const Rect grown(face->minX() - dx, face->minY() - dy, face->width() + 2 * dx,
                         face->height() + 2 * dy);
        return intersection(grown, extent);
    }
    const double dx = extent.width() * 0.2;
    const double dy = extent.height() * 0.2;
    return Rect(extent.minX() + dx, extent.minY() + dy, extent.width() - 2 * dx,
                extent.height() - 2 * dy);
}

double targetExposure(double luma) {
    if (!std::isfinite(luma) || !(luma > 0.004)) {
        return 1.6;
    }
    return std::clamp(0.85 * std::log2(0.48 / luma), -1.2, 1.6);
}

void ExposureEasing::ease() {
    currentEV_ += (targetEV_ - currentEV_) * 0.06;
    if (std::abs(currentEV_ - targetEV_) < 0.005) {
        currentEV_ = targetEV_;
    }
}

FaceMaskCircle faceMaskCircle(const Rect& facePixels) {
    // The radii are handed to the gradient as 32-bit floats.
    const auto inner = static_cast<float>(0.34 * std::min(facePixels.width(), facePixels.height()));
    const auto outer = static_cast<float>(0.72 * std::max(facePixels.width(), facePixels.height()));
    return {{facePixels.midX(), facePixels.midY()}, inner, outer};
}

}  // namespace tessera::effects
