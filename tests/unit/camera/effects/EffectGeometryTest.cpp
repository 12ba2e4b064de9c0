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

// The crop keeps the frame's aspect and never leaves it; the easing lands on
// its target instead of creeping forever.
TEST(FrameTarget, TheCropStaysInsideTheFrameAndTheEasingSettles) {
    const Rect corner = frameTarget(Rect(1200, 650, 60, 60), k720p);
    EXPECT_NEAR(corner.maxX(), 1280, 1e-9);
    EXPECT_NEAR(corner.maxY(), 720, 1e-9);
    expectRectNear(frameTarget(Rect(1100, 500, 300, 300), k720p), k720p);
    const Rect portrait(10, 20, 400, 1000);
    const Rect framed = frameTarget(Rect(20, 400, 100, 100), portrait);
    EXPECT_NEAR(framed.width() / framed.height(), 0.4, 1e-9);
    EXPECT_NEAR(framed.minX(), 10, 1e-9);

    const Rect toward(100, 50, 800, 400);
    expectRectNear(easedFrame(Rect(0, 0, 1000, 500), toward), Rect(12, 6, 976, 488));
    EXPECT_EQ(easedFrame(Rect(100.4, 50.4, 800.4, 100), toward), toward);
    EXPECT_NE(easedFrame(Rect(101, 50, 800, 400), toward), toward);
}

// The meter reads the grown face (cut at the frame) or the centre; unusable
// measurements ask for the largest correction instead of NaN.
TEST(LightMeter, MetersTheFaceAndEasesTowardAFiniteTarget) {
    expectRectNear(meteringRegion(std::nullopt, k720p), Rect(256, 144, 768, 432));
    expectRectNear(meteringRegion(Rect(0, 650, 100, 100), k720p), Rect(0, 620, 130, 100));
    const std::pair<double, double> cases[] = {
        {0.48, 0.0}, {0.24, 0.85}, {0.0, 1.6}, {std::nan(""), 1.6}, {INFINITY, 1.6}, {100.0, -1.2},
    };
    for (const auto& [luma, target] : cases) {
        EXPECT_NEAR(targetExposure(luma), target, 1e-9) << "luma " << luma;
    }

    ExposureEasing easing;
    std::vector<int> measuredFrames;
    int frame = 0;
    const auto meter = [&]() -> std::optional<double> {
        measuredFrames.push_back(frame);
        return 0.48 / std::exp2(1.0 / 0.85);  // asks for +1.0 EV
    };
    for (frame = 0; frame < 15; ++frame) {
        easing.advance(meter);
    }
    EXPECT_EQ(measuredFrames, (std::vector<int>{0, 7, 14}));
    for (int steps = 0; easing.currentEV() != 1.0 && steps < 1000; ++steps) {
        easing.advance(meter);
    }
    EXPECT_EQ(easing.currentEV(), 1.0);
    for (int i = 0; i < 7; ++i) {
        easing.advance([] { return std::optional<double>(); });
    }
    EXPECT_NEAR(easing.targetEV(), 1.0, 1e-12);
}

}  // namespace
}  // namespace tessera::effects
