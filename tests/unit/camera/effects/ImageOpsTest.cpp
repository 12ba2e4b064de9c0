#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "camera/effects/ImageOps.h"
#include "camera/effects/SkinSmoothing.h"

namespace tessera::effects {
namespace {

cv::Mat grey(cv::Size size, int value) {
    return cv::Mat(size, CV_8UC4, cv::Scalar(value, value, value, 255));
}

TEST(ReusableFrame, HandsOutTheSameMemoryOnlyWhileNobodyElseHoldsIt) {
    ReusableFrame frames;
    const uchar* first = nullptr;
    {
        const cv::Mat a = frames.take({64, 36}, CV_8UC4);
        first = a.data;
    }
    EXPECT_EQ(frames.take({64, 36}, CV_8UC4).data, first);
    const cv::Mat held = frames.take({64, 36}, CV_8UC4);
    const cv::Mat next = frames.take({64, 36}, CV_8UC4);
    EXPECT_NE(next.data, held.data);
    EXPECT_EQ(frames.take({32, 18}, CV_8UC4).size(), cv::Size(32, 18));
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

    cv::Mat colours = grey({10, 10}, 0);
    colours.setTo(cv::Scalar(0, 255, 0, 255));  // pure green
    EXPECT_NEAR(*measuredLuma(colours, Rect(0, 0, 10, 10)), 0.7152, 1e-9);

    EXPECT_FALSE(measuredLuma(frame, Rect(0, 0, 0.9, 50)));
    EXPECT_FALSE(measuredLuma(frame, Rect(0, 0, 50, 0.5)));
}

TEST(AdjustExposure, BrightensInLinearLightLiftsShadowsAndKeepsAlpha) {
    cv::Mat frame = grey({4, 1}, 0);
    frame.at<cv::Vec4b>(0, 1) = {100, 100, 100, 7};
    frame.at<cv::Vec4b>(0, 2) = {30, 30, 30, 255};
    frame.at<cv::Vec4b>(0, 3) = {255, 255, 255, 255};
    const cv::Mat same = adjustExposure(frame, 0, 0);
    EXPECT_EQ(cv::norm(same, frame, cv::NORM_INF), 0);

    // +1 EV doubles linear light: sRGB 100 (linear 0.127) becomes 0.254, sRGB 137.
    const cv::Mat brighter = adjustExposure(frame, 1, 0);
    EXPECT_NEAR(brighter.at<cv::Vec4b>(0, 1)[0], 137, 1);
    EXPECT_EQ(brighter.at<cv::Vec4b>(0, 1)[3], 7);
    EXPECT_EQ(brighter.at<cv::Vec4b>(0, 3)[0], 255);

    // The shadow lift raises dark tones, leaves black and white where they are.
    const cv::Mat lifted = adjustExposure(frame, 0, 0.3);
    EXPECT_GT(lifted.at<cv::Vec4b>(0, 2)[1], 30 + 3);
    EXPECT_EQ(lifted.at<cv::Vec4b>(0, 0)[1], 0);
    EXPECT_EQ(lifted.at<cv::Vec4b>(0, 3)[1], 255);
    // Monotonic: brighter in gives brighter out.
    cv::Mat ramp(1, 256, CV_8UC4);
    for (int i = 0; i < 256; ++i) {
        ramp.at<cv::Vec4b>(0, i) = cv::Vec4b(i, i, i, 255);
    }
    const cv::Mat curve = adjustExposure(ramp, -0.5, 1.0);
    for (int i = 1; i < 256; ++i) {
        EXPECT_GE(curve.at<cv::Vec4b>(0, i)[0], curve.at<cv::Vec4b>(0, i - 1)[0]) << i;
    }
}

TEST(ScaleToFill, CoversTheTargetCentred) {
    // A wide picture: red left third, green middle, blue right third.
    cv::Mat picture(100, 300, CV_8UC4, cv::Scalar(0, 255, 0, 255));
    picture(cv::Rect(0, 0, 100, 100)).setTo(cv::Scalar(0, 0, 255, 255));
    picture(cv::Rect(200, 0, 100, 100)).setTo(cv::Scalar(255, 0, 0, 255));
    // Into a square: scaled to 200 high, only the middle shows.
    const cv::Mat square = scaleToFill(picture, {200, 200});
    ASSERT_EQ(square.size(), cv::Size(200, 200));
    EXPECT_EQ(square.at<cv::Vec4b>(100, 5), cv::Vec4b(0, 255, 0, 255));
    EXPECT_EQ(square.at<cv::Vec4b>(100, 194), cv::Vec4b(0, 255, 0, 255));
    // Into a wider frame: the whole width shows.
    const cv::Mat wide = scaleToFill(picture, {600, 100});
    EXPECT_EQ(wide.at<cv::Vec4b>(50, 10), cv::Vec4b(0, 0, 255, 255));
    EXPECT_EQ(wide.at<cv::Vec4b>(50, 590), cv::Vec4b(255, 0, 0, 255));
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

TEST(BlendWithMask, WeighsForegroundByTheMask) {
    const cv::Mat white = grey({3, 1}, 255);
    const cv::Mat black = grey({3, 1}, 0);
    cv::Mat mask(1, 3, CV_8UC1);
    mask.at<uchar>(0, 0) = 255;
    mask.at<uchar>(0, 1) = 0;
    mask.at<uchar>(0, 2) = 51;
    const cv::Mat out = blendWithMask(white, black, mask);
    EXPECT_EQ(out.at<cv::Vec4b>(0, 0)[0], 255);
    EXPECT_EQ(out.at<cv::Vec4b>(0, 1)[0], 0);
    EXPECT_EQ(out.at<cv::Vec4b>(0, 2)[0], 51);
}

TEST(FaceMask, RadialFromTheLastFaceOnly) {
    const cv::Size size(400, 200);
    EXPECT_EQ(cv::countNonZero(faceMask(size, {}, 1.0)), 0);
    // Face 100x50 px at (100, 50) with a bottom-left origin: centre (150, 75), rows
    // counted from the top put it at row 125. Inner radius 17, outer 72.
    const std::vector<Rect> one{Rect(0.25, 0.25, 0.25, 0.25)};
    const cv::Mat mask = faceMask(size, one, 0.6);
    EXPECT_EQ(mask.at<uchar>(125, 150), 153);
    EXPECT_EQ(mask.at<uchar>(125, 150 + 16), 153);
    EXPECT_NEAR(mask.at<uchar>(125, 150 + 45), 153 * (72 - 45.5) / (72 - 17), 1);
    EXPECT_EQ(mask.at<uchar>(125, 150 + 73), 0);
    EXPECT_EQ(mask.at<uchar>(50, 150), 0);  // 75 px above: outside
    // Strength above 1 is clamped.
    EXPECT_EQ(faceMask(size, one, 3.0).at<uchar>(125, 150), 255);
    // The second face's opaque gradient covers the first.
    const std::vector<Rect> two{Rect(0.25, 0.25, 0.25, 0.25), Rect(0.75, 0.75, 0.1, 0.1)};
    const cv::Mat covered = faceMask(size, two, 0.6);
    EXPECT_EQ(covered.at<uchar>(125, 150), 0);
    EXPECT_EQ(covered.at<uchar>(200 - 160, 320), 153);
}

TEST(SmoothFaces, SoftensInsideTheMaskOnly) {
    cv::Mat frame(200, 400, CV_8UC4);
    cv::randu(frame, 0, 256);
    frame.forEach<cv::Vec4b>([](cv::Vec4b& p, const int*) { p[3] = 255; });
    const std::vector<Rect> faces{Rect(0.25, 0.25, 0.25, 0.25)};
    EXPECT_EQ(smoothFaces(frame, {}, 1.0).data, frame.data);
    const cv::Mat smooth = smoothFaces(frame, faces, 1.0);
    const cv::Rect centre(140, 115, 20, 20);
    const cv::Rect far(300, 10, 60, 40);
    EXPECT_EQ(cv::norm(smooth(far), frame(far), cv::NORM_INF), 0);
    cv::Scalar mean, before, after;
    cv::meanStdDev(frame(centre), mean, before);
    cv::meanStdDev(smooth(centre), mean, after);
    EXPECT_LT(after[0], before[0] / 4);
}

}  // namespace
}  // namespace tessera::effects
