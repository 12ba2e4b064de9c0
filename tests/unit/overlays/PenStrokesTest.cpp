#include <gtest/gtest.h>

#include "overlays/PenStrokes.h"
#include "support/ManualExecutor.h"

namespace tessera::overlays {
namespace {

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

TEST_F(PenStrokesTest, ClearCancelsEveryFadeAndTheBanner) {
    int changes = 0;
    pen.onChange = [&] {
        ++changes;
    };
    pen.press({0, 0});
    pen.drag({5, 5});
    pen.release();
    executor.advance(seconds(3.1));  // fading
    pen.press({40, 0});              // still being drawn
    pen.showBanner("hello");
    pen.clear();
    EXPECT_TRUE(pen.finished().empty());
    EXPECT_FALSE(pen.active());
    EXPECT_FALSE(pen.banner());
    const int afterClear = changes;
    executor.advance(seconds(10));
    EXPECT_EQ(changes, afterClear) << "no timer of a cleared stroke or banner fires";
}

}  // namespace
}  // namespace tessera::overlays
