#include <gtest/gtest.h>

#include "views/PanelPlacement.h"

namespace tessera::views {
namespace {

// A 1440 × 900 main screen with a 23-point bar at the top holding the tray.
constexpr Rect kMainArea{0, 0, 1440, 877};
constexpr Size kPanel{290, 400};

Rect iconAt(double x) {
    return Rect(x, 877, 24, 23);
}

TEST(PanelPlacement, HangsCentredSixPointsUnderTheIconAndTwelveInsideTheEdges) {
    struct Case {
        double iconX;
        Point expected;
    };
    for (const Case& c : {
             Case{700, {712 - 145, 871}},         // centred under the icon
             Case{1410, {1440 - 290 - 12, 871}},  // near the right edge: pushed left
             Case{2, {12, 871}},                  // near the left edge: pushed right
         }) {
        const Point anchor = panelAnchor(kPanel, {iconAt(c.iconX), kMainArea, kMainArea});
        EXPECT_EQ(anchor, c.expected) << "icon at " << c.iconX;
    }
}

TEST(PanelPlacement, UsesTheScreenThatShowsTheIcon) {
    // The tray sits on a second screen to the right of the main one.
    const Rect second(1440, 0, 1920, 1057);
    const Rect icon(3340, 1057, 24, 23);
    const Point anchor = panelAnchor(kPanel, {icon, second, kMainArea});
    EXPECT_EQ(anchor, (Point{3360 - 290 - 12, 1051}));
}

TEST(PanelPlacement, WithoutIconGeometryOpensAtTheMainScreensTopRightCorner) {
    EXPECT_EQ(panelAnchor(kPanel, {std::nullopt, std::nullopt, kMainArea}),
              (Point{1440 - 290 - 12, 877 - 12}));
    // Nothing known about the screens either.
    EXPECT_EQ(panelAnchor(kPanel, {}), (Point{1280 - 290 - 12, 800 - 12}));
}

TEST(PanelPlacement, ATrayAtTheBottomOpensThePanelAboveTheIcon) {
    const Rect area(0, 30, 1440, 870);  // a 30-point panel at the bottom
    const Rect icon(700, 3, 24, 24);
    const Point anchor = panelAnchor(kPanel, {icon, area, area});
    EXPECT_EQ(anchor.y, 27 + 6 + 400);
    EXPECT_EQ(anchor.x, 712 - 145);
}

TEST(PanelPlacement, ContentGrowingKeepsTheTopEdgeAndExtendsDownward) {
    const Point anchor = panelAnchor(kPanel, {iconAt(700), kMainArea, kMainArea});
    const Rect before = panelFrame(anchor, kPanel);
    const Rect after = panelFrame(anchor, {290, 500});
    EXPECT_EQ(before.maxY(), after.maxY());
    EXPECT_EQ(before.minX(), after.minX());
    EXPECT_EQ(after.minY(), before.minY() - 100);
}

TEST(PanelPlacement, ConvertsBetweenGlobalPointsAndTopDownCoordinates) {
    const TopDownRect main{0, 0, 1280, 800};
    // 12 points under the top edge in global points is y = 12 in Qt.
    EXPECT_EQ(toTopDown(Rect(978, 488, 290, 300), main), (TopDownRect{978, 12, 290, 300}));
    // A main screen that Qt puts to the right of and below another screen.
    const TopDownRect shifted{1920, 200, 1280, 800};
    const Rect global(-500, 100, 40, 60);
    const TopDownRect topDown = toTopDown(global, shifted);
    EXPECT_EQ(topDown, (TopDownRect{1420, 840, 40, 60}));
    EXPECT_EQ(fromTopDown(topDown, shifted), global);
}

}  // namespace
}  // namespace tessera::views
