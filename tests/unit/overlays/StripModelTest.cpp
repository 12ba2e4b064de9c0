#include <gtest/gtest.h>

#include "app/ScreenLookup.h"
#include "overlays/DisplayFrames.h"
#include "overlays/StripModel.h"

namespace tessera::overlays {
namespace {

TEST(StripGeometry, AStoredPositionIsClampedIntoTheDisplayOrTheStripGoesToTheTopLeftCorner) {
    const Rect visible(0, 0, 1920, 1050);
    const Size strip{300, 48};
    EXPECT_EQ(restoredOrigin(strip, visible, std::nullopt, 500), (Point{16, 1050 - 48 - 16}));
    EXPECT_EQ(restoredOrigin(strip, visible, 100, 200), (Point{100, 200}));
    EXPECT_EQ(restoredOrigin(strip, visible, 1800, -20), (Point{1620, 0}))
        << "partly outside: moved in";
    EXPECT_EQ(restoredOrigin(strip, visible, 3000, 200), (Point{16, 986}))
        << "no longer on this display";
}

TEST(DisplayFrames, FallBackToTheMainDisplayThenTheFixedFrameAndConvertToWindowCoordinates) {
    std::vector<MonitorInfo> monitors{
        {7, "A", Rect(0, 0, 1920, 1080), Rect(0, 0, 1920, 1050), true},
        {9, "B", Rect(1920, 0, 1280, 1024), Rect(1920, 0, 1280, 1024), false}};
    EXPECT_EQ(displayFrame(monitors, 9, 7, FrameKind::whole), Rect(1920, 0, 1280, 1024));
    EXPECT_EQ(displayFrame(monitors, 5, 7, FrameKind::visible), Rect(0, 0, 1920, 1050));
    EXPECT_EQ(displayFrame({}, 5, 7, FrameKind::whole), ScreenLookup::fallbackFrame);

    // A display above the main one has negative window y.
    const WindowRect mainBelow{0, 1024, 1920, 1080};
    EXPECT_EQ(toWindowRect(Rect(0, 1080, 1280, 1024), mainBelow), (WindowRect{0, 0, 1280, 1024}));
}

}  // namespace
}  // namespace tessera::overlays
