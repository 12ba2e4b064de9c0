#include <gtest/gtest.h>

#include "support/AppStateDoubles.h"
#include "views/MenuRules.h"

namespace tessera::views {
namespace {

using Kind = RecorderPhase::Kind;

class MenuRulesTest : public ::testing::Test {
  protected:
    testing::TestAppState app;
    AppState& state = app.launch();
};

TEST_F(MenuRulesTest, EachPhaseShowsItsViewWithItsTitle) {
    struct Case {
        RecorderPhase phase;
        MenuView view;
        std::string title;
    };
    for (const Case& c : {
             Case{RecorderPhase::idle(), MenuView::idle, ""},
             Case{RecorderPhase::countingDown(), MenuView::starting, "Starting…"},
             Case{RecorderPhase::preparing(), MenuView::starting, "Starting recording…"},
             Case{RecorderPhase::recording(), MenuView::recording, "Recording"},
             Case{RecorderPhase::paused(), MenuView::recording, "Paused"},
             Case{RecorderPhase::finishing(), MenuView::finishing,
                  "Finishing — uploading & processing…"},
             Case{RecorderPhase::error("Upload failed"), MenuView::error, "Recording failed"},
         }) {
        state.setPhase(c.phase);
        const SessionViewContent content = sessionViewContent(state);
        EXPECT_EQ(content.view, c.view) << c.phase;
        EXPECT_EQ(content.title, c.title) << c.phase;
    }
}

TEST_F(MenuRulesTest, CountdownExplainsHowToSkipOrCancelAndPreparingDoesNot) {
    state.setPhase(RecorderPhase::countingDown());
    EXPECT_EQ(sessionViewContent(state).subtitle,
              "Counting down — click it to start now, Esc to cancel");
    state.setPhase(RecorderPhase::preparing());
    EXPECT_EQ(sessionViewContent(state).subtitle, "");
}

TEST_F(MenuRulesTest, RecordingViewPausesOrResumesWithTheClock) {
    state.setElapsed(75.9);
    state.setPhase(RecorderPhase::recording());
    SessionViewContent content = sessionViewContent(state);
    EXPECT_EQ(content.pauseLabel, "Pause");
    EXPECT_EQ(content.elapsed, "01:15");
    EXPECT_TRUE(content.pulsing);

    state.setPhase(RecorderPhase::paused());
    content = sessionViewContent(state);
    EXPECT_EQ(content.pauseLabel, "Resume");
    EXPECT_EQ(content.elapsed, "01:15");
    EXPECT_FALSE(content.pulsing);
}

TEST_F(MenuRulesTest, DoneTitleSaysWhetherTheLinkWasCopied) {
    state.setPhase(RecorderPhase::done());
    state.setAutoCopyLink(true);
    EXPECT_EQ(sessionViewContent(state).title, "Link copied to clipboard");
    state.setAutoCopyLink(false);
    EXPECT_EQ(sessionViewContent(state).title, "Recording ready");
}

TEST_F(MenuRulesTest, ErrorOffersRetryOnlyWhileAFinalizeCanBeRepeated) {
    state.setPhase(RecorderPhase::error("Finalize failed"));
    state.setCanRetryFinalize(false);
    EXPECT_FALSE(sessionViewContent(state).offersRetryFinalize);
    EXPECT_EQ(sessionViewContent(state).subtitle, "Finalize failed");
    state.setCanRetryFinalize(true);
    EXPECT_TRUE(sessionViewContent(state).offersRetryFinalize);
}

TEST_F(MenuRulesTest, StartIsDisabledOnlyByAKnownUnreachableServerMissingPermissionOrWindow) {
    EXPECT_TRUE(canStart(state)) << "reachability not yet known";
    EXPECT_FALSE(serverWarning(state));
    state.setServerReachable(true);
    EXPECT_TRUE(canStart(state));
    state.setServerReachable(false);
    EXPECT_FALSE(canStart(state));
    EXPECT_EQ(serverWarning(state), "Server unreachable — start the Tessera web app first");

    state.setServerReachable(true);
    state.setHasScreenPermission(false);
    EXPECT_FALSE(canStart(state));
    state.setHasScreenPermission(true);
    state.setCaptureMode(CaptureMode::window);
    state.setSelectedWindowID(std::nullopt);
    EXPECT_FALSE(canStart(state));
    state.setSelectedWindowID(42);
    EXPECT_TRUE(canStart(state));
}

TEST_F(MenuRulesTest, TargetTitleNamesTheChosenDisplayOrWindow) {
    state.setDisplays({{1, "Display 1 — 1280×800  (Main)"}});
    state.setSelectedDisplayID(1);
    EXPECT_EQ(screenTitle(state), "Full screen") << "a single display";
    state.setDisplays({{1, "Display 1 — 1280×800  (Main)"}, {2, "Display 2 — 1920×1080"}});
    state.setSelectedDisplayID(2);
    EXPECT_EQ(screenTitle(state), "Display 2 — 1920×1080");
    state.setSelectedDisplayID(9);
    EXPECT_EQ(screenTitle(state), "Full screen") << "a selection that is not listed";

    state.setCaptureMode(CaptureMode::window);
    state.setWindows({{7, "Editor", "notes.txt", Rect(0, 0, 400, 300)}});
    state.setSelectedWindowID(std::nullopt);
    EXPECT_EQ(screenTitle(state), "No window available");
    state.setSelectedWindowID(8);
    EXPECT_EQ(screenTitle(state), "No window available");
    state.setSelectedWindowID(7);
    EXPECT_EQ(screenTitle(state), "Editor — notes.txt");
}

TEST_F(MenuRulesTest, WindowListExplainsWhyItIsEmpty) {
    state.setWindows({});
    EXPECT_EQ(windowListNotice(state),
              "No capturable windows found — open a window, then reopen this menu.");
    state.setHasScreenPermission(false);
    EXPECT_EQ(windowListNotice(state), "Grant Screen Recording permission to list windows.");
    state.setHasScreenPermission(true);
    state.setWindows({{7, "Editor", "", Rect(0, 0, 400, 300)}});
    EXPECT_FALSE(windowListNotice(state));
}

TEST(MenuRules, DeviceTitleFallsBackToTheDefaultDeviceThenToTheFallback) {
    const std::vector<CaptureDeviceOption> cameras{{"usb-1", "HD Webcam"}};
    EXPECT_EQ(deviceTitle("", cameras, "Built-in", kDefaultCameraTitle), "Built-in");
    EXPECT_EQ(deviceTitle("", cameras, std::nullopt, kDefaultCameraTitle), "Default Camera");
    EXPECT_EQ(deviceTitle("usb-1", cameras, "Built-in", kDefaultCameraTitle), "HD Webcam");
    // A chosen device that is gone shows the fallback, not the default's name.
    EXPECT_EQ(deviceTitle("usb-2", cameras, "Built-in", kDefaultMicrophoneTitle), "System Default");
}

TEST(MenuRules, ServerHelpAndStartCaption) {
    EXPECT_EQ(serverStatusHelp(std::nullopt, "http://h:1"), "Checking server…");
    EXPECT_EQ(serverStatusHelp(true, "http://h:1"), "Server reachable at http://h:1");
    EXPECT_EQ(serverStatusHelp(false, "http://h:1"),
              "Can't reach http://h:1 — is the web app running?");
    EXPECT_EQ(startCaption(false), "No recording limit");
    EXPECT_EQ(startCaption(true), "No recording limit  ·  Shift+Super+2");
}

}  // namespace
}  // namespace tessera::views
