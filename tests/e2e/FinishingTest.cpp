// The end of a recording when the web app misbehaves: every microphone upload
// fails (the first and its retry) and every finalize fails. The panel's error
// view offers "Retry finalize", which finishes the recording once the server
// works again, and the done view then carries a heads-up about the lost audio.

#include <gtest/gtest.h>

#include <string>

#include "e2e/RecorderHarness.h"
#include "support/QtTestEnvironment.h"

namespace tessera::testing {
namespace {

using namespace std::chrono_literals;

using FinishingTest = InstalledRecorderTest;

TEST_F(FinishingTest, LostMicUploadsAndAFailingFinalizeEndInARetriedReadyRecordingWithAHeadsUp) {
    ASSERT_NO_FATAL_FAILURE(startWithTray());
    web_.addFault({{"route", "chunk"},
                   {"kind", "mic"},
                   {"nth", 1},
                   {"count", 2},
                   {"status", 500},
                   {"body", R"({"error":"disk full"})"},
                   {"contentType", "application/json"}});
    web_.addFault({{"route", "finalize"},
                   {"nth", 1},
                   {"count", -1},
                   {"status", 503},
                   {"body", R"({"error":"processing is paused"})"},
                   {"contentType", "application/json"}});
    // Stops once the server holds a screen segment beyond the initialization
    // segment.
    ASSERT_EQ(command({"--toggle"}).status, 0);
    ASSERT_TRUE(waitForPhase("recording"));
    ASSERT_TRUE(processEventsUntil(
        [&] {
            const auto recording = onlyRecording();
            return !recording.is_null() &&
                   recording.value("chunks", nlohmann::json::object()).value("screen", 0) >= 2;
        },
        30s));
    ASSERT_EQ(command({"--toggle"}).status, 0);
    ASSERT_TRUE(waitForPhase("error", 60s)) << "three failed finalizes did not end in the error";

    auto shown = status();
    EXPECT_EQ(shown.error, "Finalize failed: processing is paused");
    EXPECT_TRUE(shown.retryOffered);
    // "Retry finalize" is the error view's first button.
    ASSERT_TRUE(openPanelFromTray());
    saveScreenArtifact("e2e-error-view-retry.png");
    web_.clearFaults();
    key("space");
    ASSERT_TRUE(waitForPhase("done", 60s)) << "the retry did not finish the recording";

    shown = status();
    EXPECT_EQ(shown.notice, "Heads up: mic audio was lost (disk full)");
    EXPECT_FALSE(shown.link.empty());
    EXPECT_FALSE(shown.retryOffered);
    const auto recording = onlyRecording();
    ASSERT_FALSE(recording.is_null());
    EXPECT_EQ(recording.value("status", ""), "ready");
    EXPECT_EQ(recording.value("chunks", nlohmann::json::object()).value("mic", 0), 0);
    EXPECT_TRUE(processEventsUntil([&] { return clipboardByXclip() == shown.link; }, 10s));
    saveScreenArtifact("e2e-done-view-heads-up.png");
}

}  // namespace
}  // namespace tessera::testing
