#include <gtest/gtest.h>

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
        for (const StripButton& b : stripButtons(state, false, false)) {
            result.push_back(b.action);
        }
        return result;
    }
    const StripButton button(StripAction action, bool restartArmed = false,
                             bool discardArmed = false) const {
        for (const StripButton& b : stripButtons(state, restartArmed, discardArmed)) {
            if (b.action == action) {
                return b;
            }
        }
        ADD_FAILURE() << "no such button";
        return {};
    }

    testing::TestAppState app;
    AppState& state = app.launch();
};

using A = StripAction;

TEST_F(StripButtonsTest, BeforeTheRecordingIsLiveEveryControlButRotateIsDisabled) {
    state.setMicEnabled(false);
    state.setCameraEnabled(false);
    state.setStripVertical(false);
    state.setPhase(RecorderPhase::preparing());
    EXPECT_EQ(actions(), (std::vector{A::pauseResume, A::stop, A::restart, A::mic, A::camera,
                                      A::draw, A::discard, A::rotate}));
    for (const StripButton& b : stripButtons(state, false, false)) {
        if (b.action == A::rotate) {
            EXPECT_TRUE(b.enabled);
            EXPECT_EQ(b.help, "Make the toolbar vertical");
        } else {
            EXPECT_FALSE(b.enabled);
            EXPECT_EQ(b.help, kNotLiveHelp);
        }
    }
    EXPECT_EQ(stripTime(state), "00:00");
}

TEST_F(StripButtonsTest, LiveWithoutMicrophoneOrCameraTheirButtonsAreAbsent) {
    state.setPhase(RecorderPhase::recording());
    state.setElapsed(65.4);
    state.setMicEnabled(false);
    state.setCameraEnabled(false);
    EXPECT_EQ(actions(),
              (std::vector{A::pauseResume, A::stop, A::restart, A::draw, A::discard, A::rotate}));
    EXPECT_EQ(stripTime(state), "01:05");
    state.setMicEnabled(true);
    state.setMicMuted(true);
    EXPECT_EQ(button(A::mic).help, "Unmute microphone");
    EXPECT_EQ(button(A::mic).icon, "mic.slash.fill");
    EXPECT_TRUE(button(A::mic).active);
}

TEST_F(StripButtonsTest, LiveTextsFollowTheState) {
    state.setPhase(RecorderPhase::paused());
    EXPECT_EQ(button(A::pauseResume).help, "Resume");
    EXPECT_EQ(button(A::pauseResume).icon, "play.fill");
    EXPECT_EQ(button(A::restart, true).help, "Click again to restart — this take is deleted");
    EXPECT_TRUE(button(A::restart, true).armed);
    EXPECT_EQ(button(A::discard, false, true).help, "Click again to discard — nothing is kept");

    state.setDrawingUnavailable(true);
    EXPECT_FALSE(button(A::draw).enabled);
    EXPECT_EQ(button(A::draw).help, "Drawing isn't available when recording a single window");
    state.setDrawingUnavailable(false);
    state.setDrawingInvisibleInCapture(true);
    EXPECT_EQ(button(A::draw).icon, "exclamationmark.triangle");
    EXPECT_EQ(button(A::draw).help, "Pen strokes won't appear in this recording");
    state.setDrawingInvisibleInCapture(false);
    state.setDrawModeEnabled(true);
    EXPECT_EQ(button(A::draw).help, "Stop drawing (Esc)");
    EXPECT_TRUE(button(A::draw).active);
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

TEST(StripGeometry, RestoredOriginClampsAStoredPositionOrFallsBackToTheTopLeftCorner) {
    const Rect visible(0, 0, 1920, 1050);
    const Size strip{300, 48};
    EXPECT_EQ(restoredOrigin(strip, visible, std::nullopt, 500), (Point{16, 1050 - 48 - 16}));
    EXPECT_EQ(restoredOrigin(strip, visible, 100, 200), (Point{100, 200}));
    EXPECT_EQ(restoredOrigin(strip, visible, 1800, -20), (Point{1620, 0}))
        << "partly outside: moved in";
    EXPECT_EQ(restoredOrigin(strip, visible, 3000, 200), (Point{16, 986}))
        << "no longer on this display";
}

TEST(StripGeometry, ResizingKeepsTheTopLeftCorner) {
    // Horizontal 300×48 at (100, 500) turned vertical 48×300: the top edge
    // (y = 548 upward) stays.
    EXPECT_EQ(keepingTopLeft(Rect(100, 500, 300, 48), {48, 300}), Rect(100, 248, 48, 300));
}

TEST(DisplayFrames, FallBackToTheMainDisplayThenTheFixedFrame) {
    std::vector<MonitorInfo> monitors{
        {7, "A", Rect(0, 0, 1920, 1080), Rect(0, 0, 1920, 1050), true},
        {9, "B", Rect(1920, 0, 1280, 1024), Rect(1920, 0, 1280, 1024), false}};
    EXPECT_EQ(displayFrame(monitors, 9, 7, FrameKind::whole), Rect(1920, 0, 1280, 1024));
    EXPECT_EQ(displayFrame(monitors, 5, 7, FrameKind::visible), Rect(0, 0, 1920, 1050));
    EXPECT_EQ(displayFrame({}, 5, 7, FrameKind::whole), ScreenLookup::fallbackFrame);
}

TEST(DisplayFrames, GlobalPointsTurnIntoTopDownWindowCoordinatesAndBack) {
    const WindowRect main{0, 0, 1920, 1080};
    // A strip 16 from the top-left corner of the main display.
    const Rect strip(16, 1080 - 48 - 16, 300, 48);
    EXPECT_EQ(toWindowRect(strip, main), (WindowRect{16, 16, 300, 48}));
    EXPECT_EQ(toGlobalRect({16, 16, 300, 48}, main), strip);
    // A display above the main one has negative window y.
    const WindowRect mainBelow{0, 1024, 1920, 1080};
    EXPECT_EQ(toWindowRect(Rect(0, 1080, 1280, 1024), mainBelow), (WindowRect{0, 0, 1280, 1024}));
}

}  // namespace
}  // namespace tessera::overlays
