#include <gtest/gtest.h>

#include <memory>

#include "OverlayTestSupport.h"
#include "overlays/widgets/PenOverlay.h"
#include "overlays/widgets/QtWindowFactory.h"
#include "platform/desktop/QtMainExecutor.h"
#include "platform/x11/X11Displays.h"
#include "support/RandrMonitor.h"
#include "support/XvfbSession.h"

namespace tessera::testing {
namespace {

const QColor kPen(175, 82, 222);

// Runs once without and once with a compositing manager.
class PenOverlayTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        if (GetParam()) {
            compositor = std::make_unique<Compositor>();
            ASSERT_TRUE(compositor->running());
        }
        // Another client's window: the pen's grab leaves the application's
        // own windows their clicks.
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        backdrop = std::make_unique<TestWindow>(
            qtTestDisplay(),
            TestWindow::Options{
                .width = screen.width(), .height = screen.height(), .color = 0x3c3c3c});
        // Away from the drag path; stays above the backdrop, which the window
        // manager raises when leaving draw mode hands the focus back to it.
        target.setWindowFlag(Qt::WindowStaysOnTopHint);
        target.setGeometry(600, 450, 200, 100);
        target.show();
        ASSERT_TRUE(processEventsUntil([&] { return exposed(target); }));
        overlay = std::make_unique<overlays::PenOverlay>(executor, factory.placement());
        overlay->setOnExitDrawMode([this] { ++exits; });
        overlay->setPenColor({175 / 255.0, 82 / 255.0, 222 / 255.0, 1}, {1, 1, 1, 1});
        overlay->show(1);
        ASSERT_TRUE(processEventsUntil([&] { return exposed(*overlay->window()); }));
    }
    void TearDown() override {
        overlay.reset();
        backdrop.reset();
        compositor.reset();
    }

    // From (200, 300) to (500, 360), one motion at a time: Qt merges motion
    // events that queue up.
    void drag() {
        ASSERT_TRUE(xdotool({"mousemove", "200", "300", "mousedown", "1"}));
        ASSERT_TRUE(processEventsUntil([&] { return overlay->strokes().active().has_value(); }));
        for (int step = 1; step <= 30; ++step) {
            ASSERT_TRUE(xdotool(
                {"mousemove", QString::number(200 + step * 10), QString::number(300 + step * 2)}));
            ASSERT_TRUE(processEventsUntil([&] {
                return overlay->strokes().active() &&
                       overlay->strokes().active()->points.size() == std::size_t(step) + 1;
            }));
        }
        ASSERT_TRUE(xdotool({"mouseup", "1"}));
        ASSERT_TRUE(processEventsUntil([&] { return !overlay->strokes().active(); }));
    }

    int penPixels() const { return pixelsNear(grabScreen(), QRect(190, 290, 320, 80), kPen, 45); }
    bool targetClicked() {
        target.clicks = 0;
        return clickUntil({700, 500}, [&] { return target.clicks >= 1; });
    }

    std::unique_ptr<Compositor> compositor;
    QtMainExecutor executor;
    TestDisplays displays;
    overlays::QtWindowFactory factory{executor, displays};
    std::unique_ptr<TestWindow> backdrop;
    ClickTarget target{QColor(200, 200, 60)};
    std::unique_ptr<overlays::PenOverlay> overlay;
    int exits = 0;
};

TEST_P(PenOverlayTest, ClicksPassOutsideDrawModeAndAStrokeFadesOrGoesWhenDrawModeEnds) {
    EXPECT_TRUE(targetClicked()) << "outside draw mode clicks reach the window below";
    EXPECT_FALSE(overlay->window()->isActiveWindow());

    // Seen in the stroke's picture.
    overlay->showBanner("Pen is visible only to you — it won't appear in the recording");
    overlay->setDrawMode(true);
    ASSERT_TRUE(processEventsUntil([&] { return overlay->window()->isActiveWindow(); }));
    drag();
    ASSERT_EQ(overlay->strokes().finished().size(), 1u);
    ASSERT_TRUE(processEventsUntil([&] { return penPixels() > 300; }))
        << "the stroke shows on screen";
    saveScreenArtifact(GetParam() ? "pen-stroke-composited.png" : "pen-stroke.png");
    // Gone 3.45 s after the release; the bound leaves room for a busy machine.
    EXPECT_TRUE(processEventsUntil(
        [&] { return overlay->strokes().finished().empty() && penPixels() == 0; },
        std::chrono::seconds(15)))
        << "the stroke fades away";

    drag();
    ASSERT_TRUE(processEventsUntil([&] { return penPixels() > 300; }));
    ASSERT_TRUE(xdotool({"key", "Escape"}));
    ASSERT_TRUE(processEventsUntil([&] { return exits == 1; })) << "Esc asks to leave draw mode";
    overlay->setDrawMode(false);
    EXPECT_TRUE(processEventsUntil([&] { return penPixels() == 0; }))
        << "leaving draw mode erases at once, long before the fade";
    EXPECT_TRUE(targetClicked()) << "clicks pass through again";
}

INSTANTIATE_TEST_SUITE_P(Compositing, PenOverlayTest, ::testing::Values(false, true),
                         [](const auto& info) {
                             return info.param ? std::string("WithCompositor")
                                               : std::string("WithoutCompositor");
                         });

// Draw mode switched on as the overlay is shown, before the window manager
// mapped it: the shaped window takes the pointer once on screen, and again
// after it was unmapped and mapped (which ends a grab).
TEST(PenOverlayGrabTest, DrawModeSwitchedOnAtShowTakesThePointerOnceOnScreen) {
    ASSERT_FALSE(overlays::FloatingWindow::compositorRunning());
    QtMainExecutor executor;
    TestDisplays displays;
    overlays::QtWindowFactory factory{executor, displays};
    overlays::PenOverlay overlay(executor, factory.placement());
    overlay.show(1);
    overlay.setDrawMode(true);
    ASSERT_TRUE(processEventsUntil([&] { return exposed(*overlay.window()); }));
    ASSERT_TRUE(xdotool({"mousemove", "300", "200", "mousedown", "1"}));
    EXPECT_TRUE(processEventsUntil([&] { return overlay.strokes().active().has_value(); }))
        << "the press reached the pen";
    ASSERT_TRUE(xdotool({"mouseup", "1"}));
    ASSERT_TRUE(processEventsUntil([&] { return !overlay.strokes().active(); }));

    overlay.window()->hide();
    ASSERT_TRUE(processEventsUntil([&] { return !overlay.window()->holdsPointer(); }));
    overlay.window()->show();
    ASSERT_TRUE(processEventsUntil([&] { return overlay.window()->holdsPointer(); }));
    ASSERT_TRUE(xdotool({"mousemove", "400", "300", "mousedown", "1"}));
    EXPECT_TRUE(processEventsUntil([&] { return overlay.strokes().active().has_value(); }))
        << "the press after the window came back reached the pen";
    ASSERT_TRUE(xdotool({"mouseup", "1"}));
    overlay.setDrawMode(false);
}

// Placed through the real display port (the server's RandR monitors) while
// the display changes its size and position.
TEST(PenOverlayDisplayChangeTest, TheOverlayFollowsItsDisplayToANewFrameAndBack) {
    QtMainExecutor executor;
    X11DisplaySource displays(qtTestDisplay());
    overlays::DisplayPlacement placement(displays);
    const std::uint32_t display = displays.mainDisplayID();
    const QRect whole = QGuiApplication::primaryScreen()->geometry();
    overlays::PenOverlay overlay(executor, placement);
    overlay.show(display);
    ASSERT_TRUE(processEventsUntil([&] { return exposed(*overlay.window()); }));
    ASSERT_TRUE(processEventsUntil([&] { return serverFrame(*overlay.window()) == whole; }));
    {
        const QRect moved(64, 32, 1024, 700);
        MonitorOverride smaller(qtTestDisplay(),
                                {moved.x(), moved.y(), moved.width(), moved.height()});
        ASSERT_EQ(displays.mainDisplayID(), display) << "the same output, the same display";
        EXPECT_TRUE(processEventsUntil([&] { return serverFrame(*overlay.window()) == moved; },
                                       std::chrono::seconds(10)));
        // The pen draws where the pointer is on the moved display.
        overlay.setDrawMode(true);
        ASSERT_TRUE(xdotool({"mousemove", "300", "200", "mousedown", "1"}));
        ASSERT_TRUE(processEventsUntil([&] { return overlay.strokes().active().has_value(); }));
        ASSERT_TRUE(xdotool({"mouseup", "1"}));
        ASSERT_TRUE(processEventsUntil([&] { return !overlay.strokes().active(); }));
        ASSERT_EQ(overlay.strokes().finished().size(), 1u);
        const Point first = overlay.strokes().finished().front().points.at(0);
        EXPECT_EQ(first.x, 300 - moved.x());
        EXPECT_EQ(first.y, 200 - moved.y());
        overlay.setDrawMode(false);
    }
    EXPECT_TRUE(processEventsUntil([&] { return serverFrame(*overlay.window()) == whole; },
                                   std::chrono::seconds(10)))
        << "back over the whole screen once the monitor is gone";
}

}  // namespace
}  // namespace tessera::testing
