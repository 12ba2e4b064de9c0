#include <gtest/gtest.h>

#include <atomic>

#include "OverlayTestSupport.h"
#include "app/SettingsKeys.h"
#include "overlays/widgets/ControlStripWindow.h"
#include "support/Log.h"
#include "unit/capture/ControllerFixture.h"

namespace tessera::testing {
namespace {

using overlays::StripAction;

// The strip on a real controller with the controller tests' doubles and
// virtual clock; the window on the test's X server.
class ControlStripTest : public ControllerTest {
  protected:
    void SetUp() override {
        ControllerTest::SetUp();
        state->setMicEnabled(true);
        state->setStripVertical(false);
        strip = std::make_unique<overlays::ControlStripPanel>(*state, controller->weakHandle(),
                                                              executor, placement);
    }
    void TearDown() override { strip.reset(); }

    void showStrip() {
        strip->show(1);
        ASSERT_TRUE(processEventsUntil([&] { return exposed(*strip->window()); }));
    }

    bool settle(const std::function<bool()>& condition) {
        return processEventsUntil([&] {
            executor.runUntilIdle();
            return condition();
        });
    }

    overlays::StripButtonWidget* button(StripAction action) const {
        return strip->window()->button(action);
    }

    // Like settle(), with the virtual clock moving on.
    bool runUntil(const std::function<bool()>& condition) {
        return processEventsUntil([&] {
            executor.advance(seconds(0.05));
            return condition();
        });
    }

    void click(StripAction action) {
        ASSERT_TRUE(settle([&] { return button(action) && button(action)->isVisible(); }));
        const QPoint centre = onScreen(*button(action), button(action)->rect().center());
        ASSERT_TRUE(
            xdotool({"mousemove", QString::number(centre.x()), QString::number(centre.y())}));
        ASSERT_TRUE(settle([&] { return button(action) && button(action)->underMouse(); }));
        ASSERT_TRUE(xdotool({"click", "1"}));
    }

    std::string help(StripAction action) const {
        return button(action) ? button(action)->toolTip().toStdString() : "(absent)";
    }

    TestDisplays displays;
    overlays::DisplayPlacement placement{displays};
    std::unique_ptr<overlays::ControlStripPanel> strip;
};

TEST_F(ControlStripTest, BeforeTheRecordingIsLiveItsControlsAreOffAndItCanBeMovedAndTurned) {
    enter(Kind::preparing);
    showStrip();
    EXPECT_EQ(strip->window()->geometry().topLeft(), QPoint(16, 16)) << "the top-left corner";
    for (auto action :
         {StripAction::pauseResume, StripAction::stop, StripAction::restart, StripAction::mic,
          StripAction::camera, StripAction::draw, StripAction::discard}) {
        ASSERT_NE(button(action), nullptr);
        EXPECT_FALSE(button(action)->isEnabled());
        EXPECT_EQ(help(action), "Starts with the recording");
    }
    click(StripAction::stop);
    click(StripAction::rotate);
    ASSERT_TRUE(settle([&] {
        return strip->window()->isVertical() &&
               strip->window()->height() > strip->window()->width();
    }));
    EXPECT_EQ(strip->window()->geometry().topLeft(), QPoint(16, 16))
        << "turning keeps the top-left corner";
    saveWidgetArtifact(*strip->window(), "strip-preparing-vertical.png");
    EXPECT_EQ(phase(), Kind::preparing) << "the disabled stop did nothing";

    // Dragged by its background above the time display 300 right, 200 down.
    const QPoint grip = onScreen(*strip->window(), QPoint(strip->window()->width() / 2, 4));
    ASSERT_TRUE(xdotool(
        {"mousemove", QString::number(grip.x()), QString::number(grip.y()), "mousedown", "1"}));
    for (int step = 1; step <= 4; ++step) {
        ASSERT_TRUE(xdotool({"mousemove", QString::number(grip.x() + step * 75),
                             QString::number(grip.y() + step * 50)}));
        ASSERT_TRUE(settle([&] {
            return strip->window()->geometry().topLeft() == QPoint(16 + step * 75, 16 + step * 50);
        }));
    }
    ASSERT_TRUE(xdotool({"mouseup", "1"}));
    const QRect dragged = strip->window()->geometry();
    const Rect global = placement.toGlobal(dragged);
    EXPECT_EQ(store.get(settings_keys::kControlPanelX), global.minX());
    EXPECT_EQ(store.get(settings_keys::kControlPanelY), global.minY());
    strip->hide();
    showStrip();
    EXPECT_EQ(strip->window()->geometry().topLeft(), dragged.topLeft())
        << "opens where it was left";

    // A move of the window manager's (openbox at times places a window anew
    // as it is shown or resized) is undone and not stored.
    std::atomic<int> putBack = 0;
    logging::LogCapture capture([&](logging::Level, std::string_view, std::string_view message) {
        putBack += message.find("moved the strip: put back") != std::string_view::npos;
    });
    ASSERT_TRUE(xdotool({"windowmove", QString::number(strip->window()->xWindowID()), "0", "0"}));
    ASSERT_TRUE(settle([&] { return putBack == 1; })) << "the move reached the strip";

    EXPECT_TRUE(settle([&] {
        return serverFrame(*strip->window()).topLeft() == dragged.topLeft() &&
               strip->window()->geometry().topLeft() == dragged.topLeft();
    })) << "back where it was";
    EXPECT_EQ(store.get(settings_keys::kControlPanelX), global.minX());
    EXPECT_EQ(store.get(settings_keys::kControlPanelY), global.minY());
}

TEST_F(ControlStripTest, ButtonsCallTheControllersOperations) {
    enter(Kind::recording);
    showStrip();
    EXPECT_EQ(button(StripAction::camera), nullptr) << "no camera in this recording";

    click(StripAction::pauseResume);
    ASSERT_TRUE(settle([&] { return phase() == Kind::paused; }));
    click(StripAction::pauseResume);
    ASSERT_TRUE(settle([&] { return phase() == Kind::recording; }));
    click(StripAction::mic);
    ASSERT_TRUE(settle([&] { return state->micMuted(); }));
    click(StripAction::draw);
    ASSERT_TRUE(settle([&] { return state->drawModeEnabled(); }));
    saveWidgetArtifact(*strip->window(), "strip-live-horizontal.png");

    click(StripAction::stop);
    EXPECT_TRUE(runUntil([&] { return phase() == Kind::done; }));
}

// An armed button disarms after 3 s; arming one disarms the other, and the
// first one's timer then leaves the second armed.
TEST_F(ControlStripTest, RestartAndDiscardActOnTheSecondClickAndDisarmAfterThreeSeconds) {
    enter(Kind::recording);
    state->setStripVertical(true);
    showStrip();
    const auto armed = [&](StripAction action) {
        return button(action)->model().armed;
    };
    click(StripAction::restart);
    ASSERT_TRUE(settle([&] { return armed(StripAction::restart); }));
    saveWidgetArtifact(*strip->window(), "strip-live-vertical-armed.png");
    executor.advance(seconds(3));
    ASSERT_TRUE(settle([&] { return !armed(StripAction::restart); }));
    EXPECT_EQ(phase(), Kind::recording);

    click(StripAction::restart);
    ASSERT_TRUE(settle([&] { return armed(StripAction::restart); }));
    executor.advance(seconds(2));
    click(StripAction::discard);
    ASSERT_TRUE(settle([&] { return armed(StripAction::discard); }));
    EXPECT_FALSE(armed(StripAction::restart));
    executor.advance(seconds(2));
    settle([] { return true; });
    EXPECT_TRUE(armed(StripAction::discard)) << "disarmed by the restart's timer";
    click(StripAction::discard);
    EXPECT_TRUE(runUntil([&] { return phase() == Kind::idle; })) << "discarded";
    EXPECT_EQ(sequence.prepares, 1) << "not restarted";
}

}  // namespace
}  // namespace tessera::testing
