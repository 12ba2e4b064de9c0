#include <gtest/gtest.h>

#include "camera/BubbleGeometry.h"

namespace tessera::bubble {
namespace {

// A 1440 × 900 screen with a 40-point dock at the bottom: the bubble area
// starts 11 points above it, at y = 51, and ends at the top, y = 900.
constexpr Rect kVisible{0, 40, 1440, 860};

// A stored place that is off screen (a monitor gone) must not lose the bubble.
TEST(BubbleGeometryTest, TheRestoredBubbleIsAlwaysOnScreen) {
    EXPECT_EQ(restoredBubbleSize(std::nullopt), 160);
    EXPECT_EQ(restoredBubbleSize(900.0), 560);
    struct Case {
        const char* what;
        std::optional<Point> stored;
        Point expected;
    } cases[] = {
        {"nothing stored", std::nullopt, {16, 51}},
        {"inside stays", Point{500, 300}, {500, 300}},
        {"on a screen no longer attached", Point{3000, 300}, {16, 51}},
        {"touching the visible frame only at its edge", Point{-160, 300}, {16, 51}},
        {"sticking out right and top", Point{1400, 880}, {1280, 710}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(restoredBubbleOrigin(160, c.stored, kVisible), c.expected) << c.what;
    }
}

TEST(BubbleGeometryTest, ResizingKeepsThePinnedCornerInsideTheBubbleArea) {
    const Rect area = bubbleArea(kVisible);
    const Rect frame(1000, 600, 160, 190);
    EXPECT_EQ(anchorFor(Rect(640, 380.5, 160, 190), area), (BubbleAnchor{true, true}));
    EXPECT_EQ(resizedBubbleFrame(frame, 160.4, {false, false}, area), std::nullopt);
    EXPECT_EQ(resizedBubbleFrame(frame, 230, {false, false}, area), Rect(930, 530, 230, 260));
    // Pinned left near the right edge: clamping moves it back in.
    EXPECT_EQ(resizedBubbleFrame(Rect(1200, 51, 160, 190), 460, {true, true}, area),
              Rect(980, 51, 460, 490));
    EXPECT_EQ(resizedBubbleFrame(frame, 2000, {true, true}, area), Rect(880, 310, 560, 590));
    EXPECT_EQ(pinchedSize(160, 10), 560);
}

}  // namespace
}  // namespace tessera::bubble
