#include "ControllerFixture.h"
#include "support/Log.h"
#include "support/RecorderError.h"

namespace tessera::testing {
namespace {

using Kind = RecorderPhase::Kind;

TEST_F(ControllerTest, StoppingTwiceSendsOneFinalizeAndHandsOutTheLink) {
    sequence.micPath = micFile();
    startRecording();
    sequence.server->finalizeReply = {"ready", "https://share.example/v/rec-1", std::nullopt};
    spawn(executor, controller->stop());
    spawn(executor, controller->stop());
    executor.advance(seconds(5));
    EXPECT_EQ(phase(), Kind::done);
    EXPECT_EQ(log,
              (RequestLog{"create", "segments drained", "upload mic rec-1 9", "finalize rec-1"}));
    EXPECT_EQ(share.copied, (std::vector<std::string>{"https://share.example/v/rec-1"}))
        << "the server's link wins over the one shown during recording";
    EXPECT_EQ(share.opened, (std::vector<std::string>{"https://share.example/v/rec-1"}));
    EXPECT_EQ(state->statusMessage(), std::nullopt) << "the start notice is cleared";
    EXPECT_EQ(sequence.mic->deletes, 1) << "the microphone file is removed after its upload";
}

TEST_F(ControllerTest, NoFramesDeletesTheRecordingInsteadOfFinalizing) {
    sequence.micPath = micFile();
    startRecording();
    sequence.screen->hadFrames = false;
    finish(controller->stop());
    EXPECT_EQ(state->phase(),
              RecorderPhase::error("No video frames were captured — the recording was discarded."));
    EXPECT_EQ(log, (RequestLog{"create", "segments drained", "delete rec-1"}));
    EXPECT_EQ(state->shareURL(), std::nullopt);
    EXPECT_EQ(sequence.mic->deletes, 1);
    EXPECT_TRUE(share.copied.empty());
}

TEST_F(ControllerTest, AMicrophoneUploadThatFailsTwiceBecomesAWarningAndFinalizeGoesOn) {
    sequence.micPath = micFile();
    startRecording();
    sequence.server->uploadFailures = {serverError("Server returned HTTP 500"),
                                       serverError("Server returned HTTP 500")};
    sequence.uploads->summary = "1 camera segment was lost";
    finish(controller->stop());
    EXPECT_EQ(phase(), Kind::done);
    EXPECT_EQ(log, (RequestLog{"create", "segments drained", "upload mic rec-1 9",
                               "upload mic rec-1 9", "finalize rec-1"}));
    EXPECT_EQ(state->statusMessage(),
              std::optional<std::string>("Heads up: mic audio was lost (Server returned HTTP "
                                         "500); 1 camera segment was lost"));
}

TEST_F(ControllerTest, NotesAreSentTrimmedAfterFinalizeAndBlankNotesStay) {
    startRecording();
    state->setRecordingNotes("  see the second half \n");
    finish(controller->stop());
    EXPECT_EQ(log, (RequestLog{"create", "segments drained", "finalize rec-1", "update rec-1"}));
    EXPECT_EQ(sequence.server->lastDescription, "see the second half");
    EXPECT_EQ(state->recordingNotes(), "");

    controller->acknowledgeDone();
    log.clear();
    startRecording();
    state->setRecordingNotes(" \n ");
    finish(controller->stop());
    EXPECT_EQ(log, (RequestLog{"create", "segments drained", "finalize rec-1"}));
    EXPECT_EQ(state->recordingNotes(), " \n ");
}

TEST_F(ControllerTest, ANotesFailureIsAWarningAndKeepsTheNotes) {
    startRecording();
    state->setRecordingNotes("draft");
    sequence.server->updateFailure = serverError("Server returned HTTP 500");
    finish(controller->stop());
    EXPECT_EQ(phase(), Kind::done);
    EXPECT_EQ(state->recordingNotes(), "draft");
    EXPECT_EQ(state->statusMessage(),
              std::optional<std::string>(
                  "Heads up: notes couldn't be attached (Server returned HTTP 500)"));
}

TEST_F(ControllerTest, AReplyThatIsNotReadyFailsWithoutRetryOrLinkChange) {
    startRecording();
    const auto shownLink = state->shareURL();
    sequence.server->finalizeReply = {"error", "http://elsewhere/v/x", std::nullopt};
    finish(controller->stop());
    EXPECT_EQ(state->phase(), RecorderPhase::error("Server processing failed: unknown error"));
    EXPECT_FALSE(state->canRetryFinalize());
    EXPECT_EQ(state->shareURL(), shownLink);
    EXPECT_TRUE(share.copied.empty());
}

TEST_F(ControllerTest, FinalizeFailingThreeTimesCanBeRetriedAndReportsItsWarningsAgain) {
    std::vector<std::string> logged;
    logging::LogCapture capture(
        [&](logging::Level, std::string_view component, std::string_view message) {
            if (component == "controller") {
                logged.emplace_back(message);
            }
        });
    sequence.micPath = micFile();
    startRecording();
    sequence.server->uploadFailures = {serverError("Server returned HTTP 500"),
                                       serverError("Server returned HTTP 500")};
    for (int i = 0; i < 3; ++i) {
        sequence.server->finalizeFailures.push_back(
            serverError("Could not connect to the server."));
    }
    finish(controller->stop());
    EXPECT_EQ(state->phase(),
              RecorderPhase::error("Finalize failed: Could not connect to the server."));
    EXPECT_TRUE(state->canRetryFinalize());
    EXPECT_EQ(std::count(log.begin(), log.end(), "finalize rec-1"), 3);
    EXPECT_EQ(logged,
              (std::vector<std::string>{
                  "microphone upload failed (attempt 1 of 2), retrying: Server returned HTTP 500",
                  "microphone upload: Server returned HTTP 500",
                  "finalize failed (attempt 1 of 3), retrying: Could not connect to the server.",
                  "finalize failed (attempt 2 of 3), retrying: Could not connect to the server.",
                  "finalize: Could not connect to the server.",
              }))
        << "every failed attempt is in the log";

    log.clear();
    spawn(executor, controller->retryFinalize());
    spawn(executor, controller->retryFinalize());  // a double click retries once
    executor.advance(seconds(5));
    EXPECT_EQ(phase(), Kind::done);
    EXPECT_EQ(log, (RequestLog{"finalize rec-1"})) << "the microphone file is not sent again";
    EXPECT_EQ(
        state->statusMessage(),
        std::optional<std::string>("Heads up: mic audio was lost (Server returned HTTP 500)"));
}

TEST_F(ControllerTest, FinalizeRetriesWaitTwoSecondsBetweenAttempts) {
    startRecording();
    sequence.server->finalizeFailures = {serverError("timed out"), serverError("timed out")};
    auto stopping = spawn(executor, controller->stop());
    executor.advance(seconds(0.2));  // recorder stop and the first attempt
    EXPECT_EQ(std::count(log.begin(), log.end(), "finalize rec-1"), 1);
    executor.advance(seconds(1.9));
    EXPECT_EQ(std::count(log.begin(), log.end(), "finalize rec-1"), 1);
    executor.advance(seconds(0.2));
    EXPECT_EQ(std::count(log.begin(), log.end(), "finalize rec-1"), 2);
    executor.advance(seconds(3));
    EXPECT_EQ(phase(), Kind::done);
}

TEST_F(ControllerTest, TheShareLinkFallsBackAndNeverUsesANonWebScheme) {
    startRecording();
    state->setShareURL(*Url::parse("http://links.example/v/shown-at-start"));
    sequence.server->finalizeReply = {"ready", "javascript:alert(1)", std::nullopt};
    finish(controller->stop());
    EXPECT_EQ(state->shareURL()->toString(), "http://links.example/v/shown-at-start")
        << "the link shown during recording is kept";

    controller->acknowledgeDone();
    startRecording();
    state->setShareURL(std::nullopt);
    sequence.server->finalizeReply = {"ready", std::nullopt, std::nullopt};
    finish(controller->stop());
    EXPECT_EQ(state->shareURL()->toString(), "http://127.0.0.1:3123/v/rec-1")
        << "derived from the base and the id";
}

TEST_F(ControllerTest, ReadyNotificationFollowsTheClipboardSettingAndRevokedPermission) {
    state->setNotifyWhenReady(true);
    state->setAutoCopyLink(false);
    startRecording();
    finish(controller->stop());
    EXPECT_TRUE(share.copied.empty());
    ASSERT_EQ(notifications.posted.size(), 1u);
    EXPECT_EQ(notifications.posted[0],
              (std::pair<std::string, std::string>{"Recording ready",
                                                   "The share link is ready in the panel."}));

    controller->acknowledgeDone();
    notifications.status = ReadyNotifications::Authorization::denied;
    startRecording();
    finish(controller->stop());
    EXPECT_FALSE(state->notifyWhenReady());
    EXPECT_EQ(state->statusMessage(),
              std::optional<std::string>(
                  "Notifications aren't allowed for Tessera — enable them in System Settings → "
                  "Notifications to get a ready alert."));
}

TEST_F(ControllerTest, SwitchingNotificationsOnNeedsTheInstalledAppAndConsent) {
    notifications.bundled = false;
    controller->setNotifyWhenReady(true);
    EXPECT_FALSE(state->notifyWhenReady());
    EXPECT_EQ(state->statusMessage(),
              std::optional<std::string>("Notifications need the bundled app (build-app.sh)."));

    notifications.bundled = true;
    notifications.grant = false;
    controller->setNotifyWhenReady(true);
    EXPECT_TRUE(state->notifyWhenReady());
    executor.runUntilIdle();
    EXPECT_FALSE(state->notifyWhenReady());
}

TEST_F(ControllerTest, StoppingASessionThatNeverReachedTheServerSendsNothing) {
    struct LocalOnly : FakeStartSequence {
        using FakeStartSequence::FakeStartSequence;
        Task<void> prepare(StartContext) override { co_return; }
    } localOnly(log);
    controller.reset();
    controller = std::make_unique<CaptureController>(
        *state,
        CaptureControllerPorts{executor, hotKeys, windows, meter, localOnly, share, notifications,
                               cameras, access},
        1);
    startRecording();
    finish(controller->stop());
    EXPECT_EQ(phase(), Kind::idle);
    EXPECT_TRUE(log.empty());
}

}  // namespace
}  // namespace tessera::testing
