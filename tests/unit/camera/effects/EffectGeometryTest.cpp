#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "camera/effects/EffectGeometry.h"

namespace tessera::effects {
namespace {

void expectRectNear(const Rect& actual, const Rect& expected, double tolerance = 1e-6) {
    EXPECT_NEAR(actual.minX(), expected.minX(), tolerance);
    EXPECT_NEAR(actual.minY(), expected.minY(), tolerance);
    EXPECT_NEAR(actual.width(), expected.width(), tolerance);
    EXPECT_NEAR(actual.height(), expected.height(), tolerance);
}

const Rect k720p(0, 0, 1280, 720);

TEST(FrameTarget, FramesTheFaceInsideTheFrameKeepingItsAspect) {
    const Rect target = frameTarget(Rect(600, 300, 100, 108), k720p);
    // h = max(108 / 0.26, 720 / 1.5) = 480, w = 480 * 16 / 9, the face's centre 6 %
    // of the crop above the crop's centre.
    expectRectNear(target, Rect(650 - 853.333333 / 2, 354 - 240 - 28.8, 853.333333, 480), 1e-5);
    EXPECT_NEAR(k720p.width() / target.width(), 1.5, 1e-9);

    // A face taller than 26 % of the frame: the crop is the whole frame height.
    const Rect tall = frameTarget(Rect(1100, 500, 300, 300), k720p);
    expectRectNear(tall, Rect(0, 0, 1280, 720));

    // A face near the top-right corner: the crop is pushed back inside.
    const Rect corner = frameTarget(Rect(1200, 650, 60, 60), k720p);
    EXPECT_NEAR(corner.maxX(), 1280, 1e-9);
    EXPECT_NEAR(corner.maxY(), 720, 1e-9);

    // A portrait extent away from the origin: the crop keeps the extent's aspect and
    // is held inside it.
    const Rect portrait(10, 20, 400, 1000);
    const Rect framed = frameTarget(Rect(20, 400, 100, 100), portrait);
    EXPECT_NEAR(framed.width() / framed.height(), 0.4, 1e-9);
    EXPECT_NEAR(framed.height(), 1000 / 1.5, 1e-9);
    EXPECT_NEAR(framed.minX(), 10, 1e-9);
}

TEST(EasedFrame, MovesTwelvePercentAndSnapsOnOriginAndWidth) {
    const Rect from(0, 0, 1000, 500);
    const Rect toward(100, 50, 800, 400);
    expectRectNear(easedFrame(from, toward), Rect(12, 6, 976, 488));

    // Within half a pixel in x, y and width: the target exactly, whatever the height.
    const Rect near(100.4, 50.4, 800.4, 100);
    EXPECT_EQ(easedFrame(near, toward), toward);
    // One coordinate further off keeps easing.
    EXPECT_NE(easedFrame(Rect(101, 50, 800, 400), toward), toward);
}

TEST(LargestFace, MapsIntoTheExtentAndPrefersTheEarlierOnTies) {
    const Rect extent(10, 20, 200, 100);
    EXPECT_FALSE(largestFace({}, extent));
    const std::vector<Rect> faces{Rect(0.1, 0.1, 0.2, 0.2), Rect(0.5, 0.5, 0.2, 0.2),
                                  Rect(0.0, 0.0, 0.1, 0.1)};
    expectRectNear(*largestFace(faces, extent), Rect(30, 30, 40, 20));
    const std::vector<Rect> bigger{Rect(0.1, 0.1, 0.2, 0.2), Rect(0.5, 0.5, 0.3, 0.2)};
    expectRectNear(*largestFace(bigger, extent), Rect(110, 70, 60, 20));
}

TEST(LightMeter, MetersTheGrownFaceOrTheFrameCentre) {
    expectRectNear(meteringRegion(std::nullopt, k720p), Rect(256, 144, 768, 432));
    expectRectNear(meteringRegion(Rect(600, 300, 100, 100), k720p), Rect(570, 270, 160, 160));
    // Grown past the frame's corner, cut at the frame.
    expectRectNear(meteringRegion(Rect(0, 650, 100, 100), k720p), Rect(0, 620, 130, 100));
}

TEST(LightMeter, TargetExposureFromMeasuredLuma) {
    struct Case {
        double luma;
        double target;
    };
    const Case cases[] = {
        {0.48, 0.0},   {0.24, 0.85}, {0.96, -0.85},       {1.0, 0.85 * std::log2(0.48)},
        {0.12, 1.6},   {0.0, 1.6},   {std::nan(""), 1.6}, {INFINITY, 1.6},
        {100.0, -1.2},
    };
    for (const Case& c : cases) {
        EXPECT_NEAR(targetExposure(c.luma), c.target, 1e-9) << "luma " << c.luma;
    }
    EXPECT_NEAR(targetExposure(1.0), -0.90, 0.005);
}

TEST(LightMeter, MeasuresOnTheFirstFrameThenEverySeventhAndEasesEveryFrame) {
    ExposureEasing easing;
    std::vector<int> measuredFrames;
    int frame = 0;
    const auto meter = [&]() -> std::optional<double> {
        measuredFrames.push_back(frame);
        return 0.48 / std::exp2(1.0 / 0.85);  // asks for +1.0 EV
    };
    EXPECT_NEAR(easing.advance(meter), 0.06, 1e-12);
    EXPECT_NEAR(easing.targetEV(), 1.0, 1e-12);
    for (frame = 1; frame < 15; ++frame) {
        easing.advance(meter);
    }
    EXPECT_EQ(measuredFrames, (std::vector<int>{0, 7, 14}));

    // The correction approaches the target and lands on it exactly.
    double previous = easing.currentEV();
    int steps = 0;
    while (easing.currentEV() != 1.0 && steps < 1000) {
        easing.advance(meter);
        EXPECT_GT(easing.currentEV(), previous);
        previous = easing.currentEV();
        ++steps;
    }
    EXPECT_EQ(easing.currentEV(), 1.0);

    // No measurement keeps the target.
    for (int i = 0; i < 7; ++i) {
        easing.advance([] { return std::optional<double>(); });
    }
    EXPECT_NEAR(easing.targetEV(), 1.0, 1e-12);
}

TEST(LightMeter, SmallCorrectionsAreNotApplied) {
    EXPECT_FALSE(exposureApplies(0.02));
    EXPECT_FALSE(exposureApplies(-0.02));
    EXPECT_TRUE(exposureApplies(0.0201));
    EXPECT_TRUE(exposureApplies(-0.0201));
}

TEST(FrameCadence, FirstTickRunsThenEveryIntervalPlusOne) {
    FrameCadence faceScan(12);
    std::vector<int> runs;
    for (int i = 0; i < 30; ++i) {
        if (faceScan.tick()) {
            runs.push_back(i);
        }
    }
    EXPECT_EQ(runs, (std::vector<int>{0, 13, 26}));
}

}  // namespace
}  // namespace tessera::effects
