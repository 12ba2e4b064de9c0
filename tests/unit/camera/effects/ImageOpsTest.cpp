#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "camera/effects/ImageOps.h"

namespace tessera::effects {
namespace {

cv::Mat grey(cv::Size size, int value) {
    return cv::Mat(size, CV_8UC4, cv::Scalar(value, value, value, 255));
}

TEST(PixelRect, FlipsTheBottomLeftOriginAndClips) {
    const cv::Size size(100, 50);
    EXPECT_EQ(pixelRect(Rect(10, 0, 20, 10), size), cv::Rect(10, 40, 20, 10));
    EXPECT_EQ(pixelRect(Rect(10.5, 39.5, 5, 5), size), cv::Rect(10, 5, 6, 6));
    EXPECT_EQ(pixelRect(Rect(-10, -10, 30, 30), size), cv::Rect(0, 30, 20, 20));
}

TEST(MeasuredLuma, AveragesInLinearLightOverTheRegionOnly) {
    cv::Mat frame = grey({200, 100}, 0);
    // The top half (high y) white, the bottom half black.
    frame(cv::Rect(0, 0, 200, 50)).setTo(cv::Scalar(255, 255, 255, 255));
    EXPECT_NEAR(*measuredLuma(frame, Rect(0, 50, 200, 50)), 1.0, 1e-9);
    EXPECT_NEAR(*measuredLuma(frame, Rect(0, 0, 200, 50)), 0.0, 1e-9);
    // Half white and half black average to linear 0.5, which is sRGB 0.735.
    EXPECT_NEAR(*measuredLuma(frame, Rect(0, 25, 200, 50)), 188 / 255.0, 1.5 / 255);

    EXPECT_FALSE(measuredLuma(frame, Rect(0, 0, 0.9, 50)));
    EXPECT_FALSE(measuredLuma(frame, Rect(0, 0, 50, 0.5)));
}

TEST(BlurClamped, LargeSigmasMatchAFullSizeBlur) {
    cv::Mat frame(180, 320, CV_8UC4);
    cv::randu(frame, 0, 256);
    cv::GaussianBlur(frame, frame, {}, 3);  // structure at several scales
    cv::rectangle(frame, cv::Rect(100, 40, 80, 80), cv::Scalar(255, 255, 255, 255), cv::FILLED);
    for (const double sigma : {12.0, 26.0}) {
        cv::Mat exact;
        cv::GaussianBlur(frame, exact, {}, sigma, sigma, cv::BORDER_REPLICATE);
        const cv::Mat fast = blurClamped(frame, sigma);
        cv::Mat difference;
        cv::absdiff(fast, exact, difference);
        EXPECT_LT(cv::mean(difference)[0], 2.0) << "sigma " << sigma;
        EXPECT_LT(cv::norm(fast, exact, cv::NORM_INF), 16) << "sigma " << sigma;
    }
}

}  // namespace
}  // namespace tessera::effects
