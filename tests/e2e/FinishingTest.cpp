// The end of a recording when the web app misbehaves, as the panel shows it:
// a microphone upload that fails twice still ends in a ready recording with a
// heads-up line, and a finalize that keeps failing ends in the error view,
// whose "Retry finalize" finishes the recording once the server works again.

#include <gtest/gtest.h>

#include <string>

#include "e2e/RecorderHarness.h"
#include "support/QtTestEnvironment.h"

namespace tessera::testing {
namespace {

using namespace std::chrono_literals;

class FinishingTest : public InstalledRecorderTest {
  protected:
    // Records until the server holds a screen segment beyond the
    // initialization segment, then stops with the command line.
    void recordASegmentAndStop();
};

void FinishingTest::recordASegmentAndStop() {
    ASSERT_EQ(command({"--toggle"}).status, 0);
    ASSERT_TRUE(waitForPhase("recording"));
    ASSERT_TRUE(processEventsUntil(
        [&] {
            for (const auto& r : web_.recordings()) {
                if (r.value("chunks", nlohmann::json::object()).value("screen", 0) >= 2) {
                    return true;
                }
            }
            return false;
        },
        30s));
    ASSERT_EQ(command({"--toggle"}).status, 0);
}

TEST_F(FinishingTest, AMicrophoneUploadThatFailsTwiceEndsReadyWithAHeadsUp) {
    writeSettings(defaultSettings());
    startTray();
    startApp();
    ASSERT_TRUE(waitForPhase("idle"));
    // Every microphone upload fails, the first and the retry.
    web_.addFault({{"route", "chunk"},
                   {"kind", "mic"},
                   {"nth", 1},
                   {"count", 2},
                   {"status", 500},
                   {"body", R"({"error":"disk full"})"},
                   {"contentType", "application/json"}});
    recordASegmentAndStop();
    ASSERT_TRUE(waitForPhase("done", 60s));

    const auto shown = status();
    EXPECT_EQ(shown.notice, "Heads up: mic audio was lost (disk full)");
    EXPECT_FALSE(shown.link.empty());
    EXPECT_TRUE(shown.error.empty());
    const auto recording = onlyRecording();
    ASSERT_FALSE(recording.is_null());
    EXPECT_EQ(recording.value("status", ""), "ready");
    EXPECT_EQ(recording.value("chunks", nlohmann::json::object()).value("mic", 0), 0);

    ASSERT_TRUE(openPanelFromTray());
    saveScreenArtifact("e2e-done-view-heads-up.png");
}

TEST_F(FinishingTest, AFinalizeThatFailsThreeTimesOffersARetryThatFinishesTheRecording) {
    writeSettings(defaultSettings());
    startTray();
    startApp();
    ASSERT_TRUE(waitForPhase("idle"));
    web_.addFault({{"route", "finalize"},
                   {"nth", 1},
                   {"count", -1},
                   {"status", 503},
                   {"body", R"({"error":"processing is paused"})"},
                   {"contentType", "application/json"}});
    recordASegmentAndStop();
    ASSERT_TRUE(waitForPhase("error", 60s));

    auto shown = status();
    EXPECT_EQ(shown.error, "Finalize failed: processing is paused");
    EXPECT_TRUE(shown.retryOffered);

    // The user opens the panel and presses the error view's first button,
    // "Retry finalize", with the keyboard once the server works again.
    ASSERT_TRUE(openPanelFromTray());
    saveScreenArtifact("e2e-error-view-retry.png");
    web_.clearFaults();
    key("space");
    ASSERT_TRUE(waitForPhase("done", 60s)) << "the retry did not finish the recording";

    shown = status();
    EXPECT_FALSE(shown.link.empty());
    EXPECT_FALSE(shown.retryOffered);
    const auto recording = onlyRecording();
    ASSERT_FALSE(recording.is_null());
    EXPECT_EQ(recording.value("status", ""), "ready");
    EXPECT_TRUE(processEventsUntil([&] { return clipboardByXclip() == shown.link; }, 10s));
    saveScreenArtifact("e2e-done-view-after-retry.png");
}

}  // namespace
}  // namespace tessera::testing
