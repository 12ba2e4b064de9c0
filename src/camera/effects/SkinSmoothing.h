#pragma once

#include <opencv2/core/mat.hpp>
#include <vector>

#include "support/Geometry.h"

namespace tessera::effects {

// The softening mask of the cached faces (normalized, bottom-left origin) in a frame
// of `size`: 8-bit, 255·strength (strength clamped to 0...1) inside each face's
// inner radius, fading to 0 at its outer radius. Each face's gradient is opaque and
// is laid over the mask built before it, so the last face in the list decides the
// whole mask. All black without faces. `bounds` receives the part that is not black.
cv::Mat faceMask(cv::Size size, const std::vector<Rect>& normalizedFaces, double strength,
                 cv::Rect* bounds = nullptr);

// The frame with the faces softened by a Gaussian blur of sigma 5·strength + 2
// through faceMask, written into `out` when it has the frame's size and type; the
// frame itself when there are no faces.
cv::Mat smoothFaces(const cv::Mat& bgra, const std::vector<Rect>& normalizedFaces, double strength,
                    cv::Mat out = {});

}  // namespace tessera::effects
