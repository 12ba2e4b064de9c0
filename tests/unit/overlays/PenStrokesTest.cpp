#include <gtest/gtest.h>

#include "overlays/PenStrokes.h"
#include "support/ManualExecutor.h"

namespace tessera::overlays {
namespace {

using Kind = PathElement::Kind;

TEST(SmoothedPath, DotLineAndMidpointCurves) {
    EXPECT_TRUE(smoothedPath({}).empty());
    EXPECT_EQ(smoothedPath({{5, 6}}), (std::vector<PathElement>{{Kind::ellipse, {5, 6}, {1, 1}}}));
    EXPECT_EQ(smoothedPath({{0, 0}, {4, 2}}),
              (std::vector<PathElement>{{Kind::moveTo, {0, 0}, {}}, {Kind::lineTo, {4, 2}, {}}}));
    EXPECT_EQ(smoothedPath({{0, 0}, {2, 2}, {4, 0}, {6, 6}}),
              (std::vector<PathElement>{{Kind::moveTo, {0, 0}, {}},
                                        {Kind::quadTo, {3, 1}, {2, 2}},
                                        {Kind::quadTo, {5, 3}, {4, 0}},
                                        {Kind::lineTo, {6, 6}, {}}}));
}

class PenStrokesTest : public ::testing::Test {
  protected:
    ManualExecutor executor;
    PenStrokes pen{executor};
};

TEST_F(PenStrokesTest, AClickLeavesADotThatFadesThreeSecondsLaterAndThenGoes) {
    pen.press({10, 10});
    pen.drag({10.5, 10.5});  // closer than one point: no new point
    pen.release();
    ASSERT_EQ(pen.finished().size(), 1u);
    EXPECT_EQ(pen.finished().front().points.size(), 1u);
    executor.advance(seconds(2.99));
    EXPECT_EQ(pen.opacity(pen.finished().front()), 1.0);
    executor.advance(seconds(0.01 + 0.2));
    ASSERT_EQ(pen.finished().size(), 1u);
    EXPECT_NEAR(pen.opacity(pen.finished().front()), 1 - 0.2 / 0.45, 1e-6);
    EXPECT_TRUE(pen.isAnimating());
    executor.advance(seconds(0.25));
    EXPECT_TRUE(pen.finished().empty());
    EXPECT_FALSE(pen.isAnimating());
}

TEST_F(PenStrokesTest, ALongStrokeIsCutEvery300PointsAndEachPieceFadesOnItsOwnClock) {
    pen.press({0, 0});
    for (int i = 1; i <= 650; ++i) {
        pen.drag({static_cast<double>(i) * 2, 0});
        if (i == 299) {
            EXPECT_EQ(pen.finished().size(), 1u) << "the first piece is cut at 300 points";
            executor.advance(seconds(1));
        }
        if (i == 598) {
            EXPECT_EQ(pen.finished().size(), 2u);
            executor.advance(seconds(1));
        }
    }
    pen.release();
    ASSERT_EQ(pen.finished().size(), 3u);
    EXPECT_EQ(pen.finished().front().points.size(), 300u);
    EXPECT_EQ(pen.finished().back().points.size(), 53u);
    // The pieces ended at 0 s, 1 s and 2 s; each goes 3.45 s after that.
    executor.advance(seconds(1.46));  // 3.46 s
    EXPECT_EQ(pen.finished().size(), 2u);
    executor.advance(seconds(1));
    EXPECT_EQ(pen.finished().size(), 1u);
    executor.advance(seconds(1));
    EXPECT_TRUE(pen.finished().empty());
}

TEST_F(PenStrokesTest, NewColoursAreForTheNextStrokeAndClearCancelsEveryFade) {
    int changes = 0;
    pen.onChange = [&] {
        ++changes;
    };
    const RgbaColor red{1, 0, 0, 1};
    pen.press({0, 0});
    pen.setColors(red, red);
    pen.drag({5, 5});
    pen.release();
    executor.advance(seconds(3.1));  // fading
    pen.press({20, 0});
    EXPECT_NE(pen.finished().front().color, red);
    EXPECT_EQ(pen.active()->color, red);
    pen.drag({25, 5});
    pen.release();
    pen.press({40, 0});  // still being drawn
    pen.showBanner("hello");
    pen.clear();
    EXPECT_TRUE(pen.finished().empty());
    EXPECT_FALSE(pen.active());
    EXPECT_FALSE(pen.banner());
    const int afterClear = changes;
    executor.advance(seconds(10));
    EXPECT_EQ(changes, afterClear) << "no timer of a cleared stroke or banner fires";
}

TEST_F(PenStrokesTest, TheBannerIsAtMost560WideAndASecondOneReplacesTheFirstAndRestartsTheTimer) {
    EXPECT_EQ(bannerFrame({1920, 1080}), Rect(680, 34, 560, 30));
    EXPECT_EQ(bannerFrame({500, 400}), Rect(20, 34, 460, 30)) << "20 free on narrow canvases";

    pen.showBanner("first");
    executor.advance(seconds(3));
    pen.showBanner("second");
    executor.advance(seconds(3.9));
    ASSERT_TRUE(pen.banner());
    EXPECT_EQ(pen.banner()->text, "second");
    EXPECT_EQ(pen.bannerOpacity(), 1.0);
    executor.advance(seconds(0.3));
    EXPECT_LT(pen.bannerOpacity(), 1.0);
    executor.advance(seconds(0.2));
    EXPECT_FALSE(pen.banner());
}

}  // namespace
}  // namespace tessera::overlays
