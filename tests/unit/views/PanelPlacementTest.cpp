#include <gtest/gtest.h>

#include "views/PanelPlacement.h"

namespace tessera::views {
namespace {

TEST(PanelPlacement, HangsCentredUnderTheIconInsideTheEdgesOfTheScreenThatShowsIt) {
    // A 1440 × 900 main screen with a 23-point bar at the top holding the tray.
    const Rect main(0, 0, 1440, 877);
    const Size panel{290, 400};
    struct Case {
        const char* what;
        PanelScreens screens;
        Point expected;
    };
    for (const Case& c : {
             Case{"centred 6 under the icon", {Rect(700, 877, 24, 23), main, main}, {567, 871}},
             Case{"pushed left of the right edge",
                  {Rect(1410, 877, 24, 23), main, main},
                  {1138, 871}},
             Case{"pushed right of the left edge", {Rect(2, 877, 24, 23), main, main}, {12, 871}},
             Case{"on the second screen that shows the tray",
                  {Rect(3340, 1057, 24, 23), Rect(1440, 0, 1920, 1057), main},
                  {3058, 1051}},
             Case{"above an icon in a tray at the bottom",
                  {Rect(700, 3, 24, 24), Rect(0, 30, 1440, 870), Rect(0, 30, 1440, 870)},
                  {567, 27 + 6 + 400}},
             Case{"no icon: the main screen's top-right corner",
                  {std::nullopt, std::nullopt, main},
                  {1138, 865}},
             Case{"nothing known: the fallback screen's", {}, {978, 788}},
         }) {
        EXPECT_EQ(panelAnchor(panel, c.screens), c.expected) << c.what;
    }
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
