#include <gtest/gtest.h>

#include "support/AppStateDoubles.h"
#include "views/MenuRules.h"

namespace tessera::views {
namespace {

class MenuRulesTest : public ::testing::Test {
  protected:
    testing::TestAppState app;
    AppState& state = app.launch();
};

// Which view each phase shows: the panel's integration test.
TEST_F(MenuRulesTest, TheDoneViewSaysTheLinkWasCopiedOnlyWhenItWasAndTheErrorViewWhy) {
    state.setPhase(RecorderPhase::done());
    state.setAutoCopyLink(true);
    EXPECT_EQ(sessionViewContent(state).title, "Link copied to clipboard");
    state.setAutoCopyLink(false);
    EXPECT_EQ(sessionViewContent(state).title, "Recording ready");
    state.setPhase(RecorderPhase::error("Upload failed"));
    EXPECT_EQ(sessionViewContent(state).title, "Recording failed");
    EXPECT_EQ(sessionViewContent(state).subtitle, "Upload failed");
    state.setPhase(RecorderPhase::recording());
    EXPECT_TRUE(sessionViewContent(state).pulsing);
    state.setPhase(RecorderPhase::paused());
    EXPECT_FALSE(sessionViewContent(state).pulsing);
}

TEST_F(MenuRulesTest, StartIsDisabledOnlyByAKnownUnreachableServerMissingPermissionOrWindow) {
    EXPECT_TRUE(canStart(state)) << "reachability not yet known";
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

}  // namespace
}  // namespace tessera::views
