#include "camera/effects/SkinSmoothing.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "camera/effects/EffectGeometry.h"
#include "camera/effects/ImageOps.h"

namespace tessera::effects {

cv::Mat faceMask(cv::Size size, const std::vector<Rect>& normalizedFaces, double strength,
                 cv::Rect* bounds) {
    cv::Mat mask = cv::Mat::zeros(size, CV_8UC1);
    if (bounds) {
        *bounds = cv::Rect();
    }
    if (normalizedFaces.empty()) {
        return mask;
    }
    const double g = std::clamp(strength, 0.0, 1.0);
    // Only the last gradient shows (each covers everything under it), so it is the
    // only one drawn.
    const Rect& face = normalizedFaces.back();
    const Rect pixels(face.minX() * size.width, face.minY() * size.height,
                      face.width() * size.width, face.height() * size.height);
    const FaceMaskCircle circle = faceMaskCircle(pixels);
    const Rect reach(circle.center.x - circle.outer, circle.center.y - circle.outer,
                     2 * circle.outer, 2 * circle.outer);
    const cv::Rect area = pixelRect(reach, size);
    for (int row = area.y; row < area.y + area.height; ++row) {
        auto* out = mask.ptr<uchar>(row);
        const double dy = (size.height - (row + 0.5)) - circle.center.y;
        for (int col = area.x; col < area.x + area.width; ++col) {
            const double dx = col + 0.5 - circle.center.x;
            const double d = std::sqrt(dx * dx + dy * dy);
            double v = 0;
            if (d <= circle.inner) {
                v = g;
            } else if (d < circle.outer) {
                v = g * (circle.outer - d) / (circle.outer - circle.inner);
            }
            out[col] = static_cast<uchar>(std::lround(v * 255));
        }
    }
    if (bounds) {
        *bounds = area;
    }
    return mask;
}

cv::Mat smoothFaces(const cv::Mat& bgra, const std::vector<Rect>& normalizedFaces, double strength,
                    cv::Mat out) {
    cv::Rect area;
    const cv::Mat mask = faceMask(bgra.size(), normalizedFaces, strength, &area);
    if (area.empty()) {
        return bgra;
    }
    // Blurs only around the face: the margin of three sigmas gives the blur the real
    // pixels it would read there; at the frame's edges the edge pixels are repeated.
    const double sigma = smoothingSigma(strength);
    const int margin = static_cast<int>(std::ceil(3 * sigma));
    const cv::Rect source = (area + cv::Size(2 * margin, 2 * margin) - cv::Point(margin, margin)) &
                            cv::Rect(cv::Point(), bgra.size());
    const cv::Mat blurred = blurClamped(bgra(source), sigma);
    const cv::Rect inSource(area.tl() - source.tl(), area.size());
    bgra.copyTo(out);
    blendWithMask(blurred(inSource), bgra(area), mask(area)).copyTo(out(area));
    return out;
}

}  // namespace tessera::effects
