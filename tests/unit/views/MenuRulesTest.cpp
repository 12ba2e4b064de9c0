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

TEST_F(MenuRulesTest, EachPhaseShowsItsViewWithItsTexts) {
    struct Case {
        RecorderPhase phase;
        MenuView view;
        std::string title;
        std::string subtitle;
    };
    state.setAutoCopyLink(true);
    for (const Case& c : {
             Case{RecorderPhase::idle(), MenuView::idle, "", ""},
             Case{RecorderPhase::countingDown(), MenuView::starting, "Starting…",
                  "Counting down — click it to start now, Esc to cancel"},
             Case{RecorderPhase::preparing(), MenuView::starting, "Starting recording…", ""},
             Case{RecorderPhase::recording(), MenuView::recording, "Recording", ""},
             Case{RecorderPhase::paused(), MenuView::recording, "Paused", ""},
             Case{RecorderPhase::finishing(), MenuView::finishing,
                  "Finishing — uploading & processing…", ""},
             Case{RecorderPhase::done(), MenuView::done, "Link copied to clipboard", ""},
             Case{RecorderPhase::error("Upload failed"), MenuView::error, "Recording failed",
                  "Upload failed"},
         }) {
        SCOPED_TRACE(::testing::PrintToString(c.phase));
        state.setPhase(c.phase);
        const SessionViewContent content = sessionViewContent(state);
        EXPECT_EQ(content.view, c.view);
        EXPECT_EQ(content.title, c.title);
        EXPECT_EQ(content.subtitle, c.subtitle);
        EXPECT_EQ(content.pulsing, c.phase.is(Kind::recording));
    }
    state.setPhase(RecorderPhase::done());
    state.setAutoCopyLink(false);
    EXPECT_EQ(sessionViewContent(state).title, "Recording ready") << "the link was not copied";

    state.setPhase(RecorderPhase::error("Finalize failed"));
    state.setCanRetryFinalize(false);
    EXPECT_FALSE(sessionViewContent(state).offersRetryFinalize);
    state.setCanRetryFinalize(true);
    EXPECT_TRUE(sessionViewContent(state).offersRetryFinalize);
}

TEST_F(MenuRulesTest, StartIsDisabledOnlyByAKnownUnreachableServerMissingPermissionOrWindow) {
    EXPECT_TRUE(canStart(state)) << "reachability not yet known";
    EXPECT_FALSE(serverWarning(state));
    // An unreachable server disables the start in the panel's integration test.
    state.setHasScreenPermission(false);
    EXPECT_FALSE(canStart(state));
    state.setHasScreenPermission(true);
    state.setCaptureMode(CaptureMode::window);
    state.setSelectedWindowID(std::nullopt);
    EXPECT_FALSE(canStart(state));
    state.setSelectedWindowID(42);
    EXPECT_TRUE(canStart(state));
}

TEST_F(MenuRulesTest, TargetTitleNamesTheChosenDisplayOrWindowAndTheListSaysWhyItIsEmpty) {
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

    // Why the window list is empty.
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

}  // namespace
}  // namespace tessera::views
