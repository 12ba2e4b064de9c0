#include "ControllerFixture.h"
#include "support/Log.h"
#include "support/RecorderError.h"

namespace tessera::testing {
namespace {

using Kind = RecorderPhase::Kind;
using Steps = std::vector<std::string>;

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
    EXPECT_EQ(sequence.uploads->localCopy, Steps{"discard"}) << "the server has everything";
    EXPECT_EQ(state->localCopyPath(), std::nullopt);
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
    EXPECT_EQ(sequence.uploads->localCopy, Steps{"discard"});
    EXPECT_EQ(state->localCopyPath(), std::nullopt);
}

// Notes go out trimmed after finalize and are cleared; blank notes are not
// sent; notes that fail to attach stay, with a warning.
TEST_F(ControllerTest, NotesAreSentTrimmedAfterFinalizeAndKeptWhenTheyFail) {
    struct Case {
        const char* notes;
        bool fails;
        RequestLog requests;
        const char* notesAfter;
        const char* sent;
        std::optional<std::string> message;
    };
    const RequestLog withUpdate{"create", "segments drained", "finalize rec-1", "update rec-1"};
    const std::vector<Case> cases{
        {"  see the second half \n", false, withUpdate, "", "see the second half", std::nullopt},
        {" \n ", false, {"create", "segments drained", "finalize rec-1"}, " \n ", "", std::nullopt},
        {"draft", true, withUpdate, "draft", "draft",
         "Heads up: notes couldn't be attached (Server returned HTTP 500)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.notes);
        log.clear();
        startRecording();
        state->setRecordingNotes(c.notes);
        if (c.fails) {
            sequence.server->updateFailure = serverError("Server returned HTTP 500");
        }
        finish(controller->stop());
        EXPECT_EQ(phase(), Kind::done);
        EXPECT_EQ(log, c.requests);
        EXPECT_EQ(state->recordingNotes(), c.notesAfter);
        EXPECT_EQ(sequence.server->lastDescription, c.sent);
        EXPECT_EQ(state->statusMessage(), c.message);
        controller->acknowledgeDone();
    }
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

// A microphone upload that fails twice is a warning and finalize goes on; three
// failed finalize attempts, two seconds apart, end in an error that can be
// retried once, without sending the microphone file again.
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
    sequence.uploads->summary = "1 camera segment was lost";
    for (int i = 0; i < 3; ++i) {
        sequence.server->finalizeFailures.push_back(
            serverError("Could not connect to the server."));
    }
    auto finalizes = [&] {
        return std::count(log.begin(), log.end(), "finalize rec-1");
    };
    spawn(executor, controller->stop());
    for (int step = 0; step < 100 && finalizes() == 0; ++step) {
        executor.advance(seconds(0.05));
    }
    EXPECT_EQ(finalizes(), 1);
    executor.advance(seconds(1.9));
    EXPECT_EQ(finalizes(), 1) << "the next attempt waits two seconds";
    executor.advance(seconds(0.2));
    EXPECT_EQ(finalizes(), 2);
    executor.advance(seconds(5));
    EXPECT_EQ(log,
              (RequestLog{"create", "segments drained", "upload mic rec-1 9", "upload mic rec-1 9",
                          "finalize rec-1", "finalize rec-1", "finalize rec-1"}));
    EXPECT_EQ(state->phase(),
              RecorderPhase::error("Finalize failed: Could not connect to the server."));
    EXPECT_TRUE(state->canRetryFinalize());
    EXPECT_EQ(sequence.uploads->localCopy, (Steps{"add mic.m4a", "keep"}))
        << "the copy is saved when finalize fails for good";
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
    EXPECT_EQ(state->statusMessage(),
              std::optional<std::string>("Heads up: mic audio was lost (Server returned HTTP "
                                         "500); 1 camera segment was lost"));
    EXPECT_EQ(state->localCopyPath(), sequence.uploads->keptPath)
        << "the copy saved after the failure is still where it was said to be";
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

// The local copy is saved when anything was lost or the user keeps every copy.
TEST_F(ControllerTest, KeepingEveryCopyKeepsAWholeUploadWithItsMicrophoneFile) {
    state->setKeepLocalCopy(true);
    sequence.micPath = micFile();
    startRecording();
    finish(controller->stop());
    ASSERT_EQ(phase(), Kind::done);
    EXPECT_EQ(sequence.uploads->localCopy, (Steps{"add mic.m4a", "keep"}));
    EXPECT_EQ(state->localCopyPath(), sequence.uploads->keptPath);
    controller->acknowledgeDone();
    EXPECT_EQ(state->localCopyPath(), std::nullopt) << "the line goes with the session";
}

TEST_F(ControllerTest, ALossOnTheWayKeepsTheLocalCopyAndSaysWhere) {
    struct Case {
        const char* name;
        std::function<void(FakeStartSequence&)> arrange;
        Kind ends;
        Steps steps;
    };
    const std::vector<Case> cases{
        {"a lost segment", [](FakeStartSequence& s) { s.uploads->summary = "some screen lost"; },
         Kind::done, Steps{"keep"}},
        {"a failed microphone upload",
         [](FakeStartSequence& s) {
             s.server->uploadFailures = {serverError("HTTP 500"), serverError("HTTP 500")};
         },
         Kind::done, Steps{"add mic.m4a", "keep"}},
        {"finalize failing for good",
         [](FakeStartSequence& s) {
             for (int i = 0; i < 3; ++i) {
                 s.server->finalizeFailures.push_back(serverError("Could not connect"));
             }
         },
         Kind::error, Steps{"keep"}},
        {"a recording the server could not process",
         [](FakeStartSequence& s) {
             s.server->finalizeReply = {"failed", std::nullopt, "transcode failed"};
         },
         Kind::error, Steps{"keep"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        makeController();
        notifications.bundled = true;
        state->setNotifyWhenReady(true);
        executor.runUntilIdle();
        sequence.micPath = micFile();
        startRecording();
        c.arrange(sequence);
        finish(controller->stop());
        EXPECT_EQ(phase(), c.ends);
        EXPECT_EQ(sequence.uploads->localCopy, c.steps);
        EXPECT_EQ(state->localCopyPath(), sequence.uploads->keptPath);
        if (c.ends == Kind::done) {
            executor.runUntilIdle();
            ASSERT_FALSE(notifications.posted.empty());
            const std::string& body = notifications.posted.back().second;
            EXPECT_NE(body.find("Saved a local copy: /videos/Tessera Recorder/copy.mp4"),
                      std::string::npos)
                << body;
        }
    }
}

}  // namespace
}  // namespace tessera::testing
