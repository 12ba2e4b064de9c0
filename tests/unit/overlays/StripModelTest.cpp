#include <gtest/gtest.h>

#include <algorithm>

#include "app/AppState.h"
#include "app/ScreenLookup.h"
#include "overlays/DisplayFrames.h"
#include "overlays/StripModel.h"
#include "support/AppStateDoubles.h"
#include "support/ManualExecutor.h"

namespace tessera::overlays {
namespace {

class StripButtonsTest : public ::testing::Test {
  protected:
    std::vector<StripAction> actions() const {
        std::vector<StripAction> result;
        for (const StripButton& b : stripButtons(state, false, true)) {
            result.push_back(b.action);
        }
        return result;
    }
    StripButton button(StripAction action) const {
        const auto buttons = stripButtons(state, false, true);
        const auto found = std::ranges::find(buttons, action, &StripButton::action);
        return found != buttons.end() ? *found : StripButton{};
    }

    testing::TestAppState app;
    AppState& state = app.launch();
};

using A = StripAction;

// The texts of pausing, muting, drawing and an armed restart show through
// the strip window in its integration test.
TEST_F(StripButtonsTest, WhichButtonsShowWhetherTheyWorkAndWhatTheySay) {
    state.setMicEnabled(false);
    state.setCameraEnabled(false);
    state.setStripVertical(false);
    state.setPhase(RecorderPhase::preparing());
    EXPECT_EQ(actions(), (std::vector{A::pauseResume, A::stop, A::restart, A::mic, A::camera,
                                      A::draw, A::discard, A::rotate}));
    for (const StripButton& b : stripButtons(state, false, false)) {
        EXPECT_EQ(b.enabled, b.action == A::rotate);
        EXPECT_EQ(b.help, b.action == A::rotate ? "Make the toolbar vertical" : kNotLiveHelp);
    }
    EXPECT_EQ(stripTime(state), "00:00");

    state.setPhase(RecorderPhase::recording());
    state.setElapsed(65.4);
    EXPECT_EQ(actions(),
              (std::vector{A::pauseResume, A::stop, A::restart, A::draw, A::discard, A::rotate}))
        << "live, without microphone or camera their buttons go";
    EXPECT_EQ(stripTime(state), "01:05");
    EXPECT_TRUE(button(A::discard).armed);
    EXPECT_EQ(button(A::discard).help, "Click again to discard — nothing is kept");
    state.setDrawingUnavailable(true);
    EXPECT_FALSE(button(A::draw).enabled);
    EXPECT_EQ(button(A::draw).help, "Drawing isn't available when recording a single window");
    state.setDrawingUnavailable(false);
    state.setDrawingInvisibleInCapture(true);
    EXPECT_EQ(button(A::draw).icon, "exclamationmark.triangle");
    EXPECT_EQ(button(A::draw).help, "Pen strokes won't appear in this recording");
    state.setStripVertical(true);
    EXPECT_EQ(button(A::rotate).help, "Make the toolbar horizontal");
}

TEST(ConfirmButtons, SecondClickRunsTheActionAndAnArmedButtonDisarmsAfterThreeSeconds) {
    using W = ConfirmButtons::Which;
    ManualExecutor executor;
    ConfirmButtons confirm(executor);
    int changes = 0;
    confirm.onChange = [&] {
        ++changes;
    };

    EXPECT_FALSE(confirm.click(W::restart));
    EXPECT_TRUE(confirm.isArmed(W::restart));
    executor.advance(seconds(2.9));
    EXPECT_TRUE(confirm.click(W::restart));
    EXPECT_FALSE(confirm.isArmed(W::restart));

    EXPECT_FALSE(confirm.click(W::restart));
    executor.advance(seconds(3));
    EXPECT_FALSE(confirm.isArmed(W::restart));
    EXPECT_FALSE(confirm.click(W::restart)) << "after the disarm a click arms again";

    executor.advance(seconds(2));
    EXPECT_FALSE(confirm.click(W::discard)) << "arming discard disarms restart";
    EXPECT_FALSE(confirm.isArmed(W::restart));
    EXPECT_TRUE(confirm.isArmed(W::discard));
    executor.advance(seconds(2));
    EXPECT_TRUE(confirm.isArmed(W::discard)) << "the restart's timer no longer applies";
    executor.advance(seconds(1));
    EXPECT_FALSE(confirm.isArmed(W::discard));
    EXPECT_GT(changes, 0);
}

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

    // A display above the main one has negative window y (the main display's
    // own frames show through the strip window in its integration test).
    const WindowRect mainBelow{0, 1024, 1920, 1080};
    EXPECT_EQ(toWindowRect(Rect(0, 1080, 1280, 1024), mainBelow), (WindowRect{0, 0, 1280, 1024}));
}

}  // namespace
}  // namespace tessera::overlays
