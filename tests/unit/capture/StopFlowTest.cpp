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
}

// Errors of the recorders while stopping are warnings and the stop goes on to
// the link; the recording's summary is logged once its finalize has answered.
TEST_F(ControllerTest, StopGoesOnThroughFailingRecordersAndLogsTheSummary) {
    state->setMicEnabled(true);
    sequence.micPath = micFile();
    startRecording();
    sequence.screen->throwOnStop = true;
    sequence.mic->throwOnFinish = true;
    std::vector<std::string> lines;
    logging::LogCapture capture(
        [&](logging::Level, std::string_view component, std::string_view message) {
            if (component == "recording") {
                lines.emplace_back(message);
            }
        });
    finish(controller->stop());
    EXPECT_EQ(phase(), Kind::done);
    EXPECT_EQ(log, (RequestLog{"create", "segments drained", "finalize rec-1"}));
    EXPECT_EQ(state->statusMessage(), "Heads up: mic audio was lost (disk gone)");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("segments uploaded 4, retried 1, lost 0 (screen 4/1/0), 4096 bytes"),
              std::string::npos)
        << lines[0];
}

TEST_F(ControllerTest, NotesAreSentTrimmedAfterFinalizeAndKeptWhenTheyFail) {
    struct Case {
        const char* notes;
        bool fails;
        const char* sent;  // "" when no update is sent
        const char* notesAfter;
        std::optional<std::string> message;
    };
    for (const Case& c : {
             Case{"  see the second half \n", false, "see the second half", "", std::nullopt},
             Case{" \n ", false, "", " \n ", std::nullopt},
             Case{"draft", true, "draft", "draft",
                  "Heads up: notes couldn't be attached (Server returned HTTP 500)"},
         }) {
        SCOPED_TRACE(c.notes);
        log.clear();
        startRecording();
        state->setRecordingNotes(c.notes);
        if (c.fails) {
            sequence.server->updateFailure = serverError("Server returned HTTP 500");
        }
        finish(controller->stop());
        EXPECT_EQ(phase(), Kind::done);
        RequestLog expected{"create", "segments drained", "finalize rec-1"};
        if (*c.sent) {
            expected.push_back("update rec-1");
        }
        EXPECT_EQ(log, expected);
        EXPECT_EQ(sequence.server->lastDescription, c.sent);
        EXPECT_EQ(state->recordingNotes(), c.notesAfter);
        EXPECT_EQ(state->statusMessage(), c.message);
        controller->acknowledgeDone();
    }
}

// A microphone upload that fails twice is a warning and finalize goes on; three
// failed finalize attempts, two seconds apart, end in an error that can be
// retried once, without sending the microphone file again.
TEST_F(ControllerTest, FinalizeFailingThreeTimesCanBeRetriedAndReportsItsWarningsAgain) {
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

// The local copy is saved, and the ready notice says where, when anything was
// lost or the user keeps every copy; only a finalize that failed for good can
// be retried.
TEST_F(ControllerTest, ALossOnTheWayOrKeepingEveryCopyKeepsTheLocalCopyAndSaysWhere) {
    struct Case {
        const char* name;
        bool keep;
        std::function<void(FakeStartSequence&)> arrange;
        Kind ends;
        Steps steps;
        bool retry = false;
    };
    const std::vector<Case> cases{
        {"every copy kept", true, [](FakeStartSequence&) {}, Kind::done,
         Steps{"add mic.m4a", "keep"}},
        {"a lost segment", false,
         [](FakeStartSequence& s) { s.uploads->summary = "some screen lost"; }, Kind::done,
         Steps{"keep"}},
        {"a failed microphone upload", false,
         [](FakeStartSequence& s) {
             s.server->uploadFailures = {serverError("HTTP 500"), serverError("HTTP 500")};
         },
         Kind::done, Steps{"add mic.m4a", "keep"}},
        {"finalize failing for good", false,
         [](FakeStartSequence& s) {
             for (int i = 0; i < 3; ++i) {
                 s.server->finalizeFailures.push_back(serverError("Could not connect"));
             }
         },
         Kind::error, Steps{"keep"}, true},
        {"a recording the server could not process", false,
         [](FakeStartSequence& s) {
             s.server->finalizeReply = {"failed", std::nullopt, "transcode failed"};
         },
         Kind::error, Steps{"keep"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        makeController();
        state->setKeepLocalCopy(c.keep);
        state->setNotifyWhenReady(true);
        executor.runUntilIdle();
        sequence.micPath = micFile();
        startRecording();
        c.arrange(sequence);
        finish(controller->stop());
        EXPECT_EQ(phase(), c.ends);
        EXPECT_EQ(sequence.uploads->localCopy, c.steps);
        EXPECT_EQ(state->localCopyPath(), sequence.uploads->keptPath);
        EXPECT_EQ(state->canRetryFinalize(), c.retry);
        if (c.ends == Kind::done) {
            ASSERT_FALSE(notifications.posted.empty());
            const std::string& body = notifications.posted.back().second;
            EXPECT_NE(body.find("Saved a local copy: /videos/Tessera Recorder/copy.mp4"),
                      std::string::npos)
                << body;
            controller->acknowledgeDone();
            EXPECT_EQ(state->localCopyPath(), std::nullopt) << "the line goes with the session";
        }
    }
}

}  // namespace
}  // namespace tessera::testing
