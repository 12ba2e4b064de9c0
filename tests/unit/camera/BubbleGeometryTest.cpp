#include <gtest/gtest.h>

#include "camera/BubbleGeometry.h"

namespace tessera::bubble {
namespace {

// A 1440 × 900 screen with a 40-point dock at the bottom: the bubble area
// starts 11 points above it, at y = 51, and ends at the top, y = 900.
constexpr Rect kVisible{0, 40, 1440, 860};

TEST(BubbleGeometryTest, RestoredSizeAndOrigin) {
    EXPECT_EQ(restoredBubbleSize(std::nullopt), 160);
    EXPECT_EQ(restoredBubbleSize(50.0), 120);
    EXPECT_EQ(restoredBubbleSize(900.0), 560);
    EXPECT_EQ(restoredBubbleSize(300.0), 300);

    struct Case {
        const char* what;
        std::optional<Point> stored;
        Point expected;
    } cases[] = {
        {"nothing stored: 16 from the left, 11 above the visible bottom", std::nullopt, {16, 51}},
        {"inside stays", Point{500, 300}, {500, 300}},
        {"on a screen no longer attached", Point{3000, 300}, {16, 51}},
        {"touching the visible frame only at its edge", Point{-160, 300}, {16, 51}},
        {"meeting it but sticking out right and top", Point{1400, 880}, {1280, 710}},
        {"below the bubble area", Point{-20, 45}, {0, 51}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(restoredBubbleOrigin(160, c.stored, kVisible), c.expected) << c.what;
    }
}

TEST(BubbleGeometryTest, AnchorPinsTheNearerCornerAndTiesPinLeftAndBottom) {
    const Rect area = bubbleArea(kVisible);
    EXPECT_EQ(area, Rect(0, 51, 1440, 849));
    EXPECT_EQ(anchorFor(Rect(640, 380.5, 160, 190), area), (BubbleAnchor{true, true}));
    EXPECT_EQ(anchorFor(Rect(641, 381, 160, 190), area), (BubbleAnchor{false, false}));
    EXPECT_EQ(anchorFor(Rect(16, 700, 160, 190), area), (BubbleAnchor{true, false}));
}

TEST(BubbleGeometryTest, ResizingKeepsThePinnedCornerInsideTheBubbleArea) {
    const Rect area = bubbleArea(kVisible);
    const Rect frame(1000, 600, 160, 190);
    EXPECT_EQ(resizedBubbleFrame(frame, 160.4, {false, false}, area), std::nullopt);
    EXPECT_EQ(resizedBubbleFrame(frame, 159.5, {true, true}, area), std::nullopt);
    // Pinned right and top: those edges stay.
    EXPECT_EQ(resizedBubbleFrame(frame, 230, {false, false}, area), Rect(930, 530, 230, 260));
    EXPECT_EQ(resizedBubbleFrame(frame, 120, {true, true}, area), Rect(1000, 600, 120, 150));
    // Pinned left near the right edge: clamping moves it back in.
    EXPECT_EQ(resizedBubbleFrame(Rect(1200, 51, 160, 190), 460, {true, true}, area),
              Rect(980, 51, 460, 490));
    // A request beyond the limits is clamped first.
    EXPECT_EQ(resizedBubbleFrame(frame, 2000, {true, true}, area), Rect(880, 310, 560, 590));
}

TEST(BubbleGeometryTest, DragSnapsWithinTheEdgeForceAndFollowsBeyondIt) {
    const Size window{160, 190};
    const double left = 16;                // L
    const double right = 1440 - 16 - 160;  // R = 1264
    const double bottom = 51;              // no margin
    const double top = 900 - 16 - 190;     // T = 694
    struct Case {
        Point proposed;
        Point expected;
    } cases[] = {
        {{left - 10, 300}, {left, 300}},
        {{left - 50, 300}, {left - 50, 300}},
        {{left - 44, 300}, {left - 44, 300}},  // exactly the threshold: free
        {{right + 26, 300}, {right, 300}},
        {{right + 44, 300}, {right + 44, 300}},
        {{500, bottom - 30}, {500, bottom}},
        {{500, bottom - 50}, {500, bottom - 50}},
        {{500, top + 6}, {500, top}},
        {{500, top + 60}, {500, top + 60}},
        {{500, 300}, {500, 300}},
        {{left - 1, bottom - 1}, {left, bottom}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(constrainedDragOrigin(c.proposed, window, kVisible), c.expected)
            << c.proposed.x << ", " << c.proposed.y;
    }
}

TEST(BubbleGeometryTest, MenuHangsUnderTheBubbleEightPointsInsideTheSides) {
    const Size menu{300, 80};
    // Centred under a bubble in the middle, 5 points below the window.
    EXPECT_EQ(menuOrigin(menu, Rect(600, 300, 160, 190), kVisible, false), (Point{530, 295}));
    EXPECT_EQ(menuOrigin(menu, Rect(16, 51, 160, 190), kVisible, false), (Point{8, 46}));
    EXPECT_EQ(menuOrigin(menu, Rect(1264, 51, 160, 190), kVisible, false), (Point{1132, 46}));
    // Full screen: 64 points above the window's bottom.
    EXPECT_EQ(menuOrigin(menu, Rect(0, 0, 1440, 900), kVisible, true), (Point{570, 64}));
}

TEST(BubbleGeometryTest, PinchScalesTheWidthWithinTheLimits) {
    EXPECT_EQ(pinchedSize(160, 0.5), 240);
    EXPECT_EQ(pinchedSize(160, 0.002), std::nullopt);
    EXPECT_EQ(pinchedSize(160, 10), 560);
    EXPECT_EQ(pinchedSize(120, -0.5), std::nullopt);  // already the smallest
}

}  // namespace
}  // namespace tessera::bubble
