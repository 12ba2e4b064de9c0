#pragma once

#include <opencv2/core/mat.hpp>
#include <optional>

#include "app/RgbaColor.h"
#include "support/Geometry.h"

// Image operations of the camera effects on 8-bit BGRA frames (CV_8UC4). Frames
// are stored top row first; the rectangles they take are in frame pixels with a
// bottom-left origin, and are converted here.
//
// Operations that make a frame write it into `out` when given one of the right size
// and type (its memory is reused, see ReusableFrame) and return it.
namespace tessera::effects {

// A frame buffer kept from one frame to the next: while nobody else holds it, the
// same memory is handed out again, so that steady frames do not allocate (fresh
// multi-megabyte allocations cost page faults on every frame).
class ReusableFrame {
  public:
    // A buffer of `size` and `type`: the kept one when only this object holds it,
    // otherwise a new one that is kept from now on.
    cv::Mat take(cv::Size size, int type);

  private:
    cv::Mat kept_;
};

// Intermediate buffers of one call site, kept between frames.
struct ScratchFrames {
    std::vector<ReusableFrame> frames;
    cv::Mat take(std::size_t index, cv::Size size, int type);
};

// The pixel rectangle (top-left origin) covering `rect` (bottom-left origin) in an
// image `imageHeight` rows tall, rounded outward and clipped to `imageSize`.
cv::Rect pixelRect(const Rect& rect, cv::Size imageSize);

// The picture scaled uniformly to cover `size`, centred, cropped to it.
cv::Mat scaleToFill(const cv::Mat& picture, cv::Size size);

// The frame's average luma (Rec. 709 weights on the sRGB value of the linear-light
// average) over `region`; nothing when the region is under one pixel wide or high.
std::optional<double> measuredLuma(const cv::Mat& bgra, const Rect& region);

// Exposure by `ev` stops in linear light, then shadows lifted by `shadowAmount`
// (0...1); one table lookup per channel, alpha untouched.
cv::Mat adjustExposure(const cv::Mat& bgra, double ev, double shadowAmount, cv::Mat out = {});

// Gaussian blur with the frame's edge pixels extended outward. Large sigmas are
// blurred at a reduced size and scaled back, which looks the same at a fraction
// of the cost.
cv::Mat blurClamped(const cv::Mat& bgra, double sigma, cv::Mat out = {},
                    ScratchFrames* scratch = nullptr);

// foreground where `mask` (CV_8UC1, same size) is 255, background where it is 0,
// proportionally in between.
cv::Mat blendWithMask(const cv::Mat& foreground, const cv::Mat& background, const cv::Mat& mask,
                      cv::Mat out = {});

// An opaque solid BGRA image of `color` (sRGB).
cv::Mat solidImage(cv::Size size, const RgbaColor& color);

}  // namespace tessera::effects
