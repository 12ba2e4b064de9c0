// What the controller does with a session's local copy when the session ends:
// deleted when the server has everything, saved when anything was lost or the
// user keeps every copy, thrown away with a cancelled or empty recording.

#include "unit/capture/ControllerFixture.h"

namespace tessera::testing {
namespace {

using Kind = RecorderPhase::Kind;
using Steps = std::vector<std::string>;

TEST_F(ControllerTest, AnUploadThatArrivedWholeDeletesTheLocalCopyUnlessEveryCopyIsKept) {
    sequence.micPath = micFile();
    startRecording();
    finish(controller->stop());
    ASSERT_EQ(phase(), Kind::done);
    EXPECT_EQ(sequence.uploads->localCopy, Steps{"discard"});
    EXPECT_EQ(state->localCopyPath(), std::nullopt);

    controller->acknowledgeDone();
    state->setKeepLocalCopy(true);
    startRecording();
    finish(controller->stop());
    ASSERT_EQ(phase(), Kind::done);
    EXPECT_EQ(sequence.uploads->localCopy, (Steps{"add mic.m4a", "keep"}))
        << "the microphone file joins a copy that is kept";
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

TEST_F(ControllerTest, ARetriedFinalizeDoesNotSaveTheCopyTwice) {
    startRecording();
    for (int i = 0; i < 3; ++i) {
        sequence.server->finalizeFailures.push_back(serverError("Could not connect"));
    }
    finish(controller->stop());
    ASSERT_EQ(phase(), Kind::error);
    finish(controller->retryFinalize());
    EXPECT_EQ(phase(), Kind::done);
    EXPECT_EQ(
        std::count(sequence.uploads->localCopy.begin(), sequence.uploads->localCopy.end(), "keep"),
        1);
    EXPECT_EQ(state->localCopyPath(), sequence.uploads->keptPath)
        << "the copy saved after the failure is still where it was said to be";
}

TEST_F(ControllerTest, ARecordingWithoutFramesOrCancelledThrowsItsLocalCopyAway) {
    startRecording();
    sequence.screen->hadFrames = false;
    finish(controller->stop());
    EXPECT_EQ(sequence.uploads->localCopy, Steps{"discard"});
    EXPECT_EQ(state->localCopyPath(), std::nullopt);

    controller->dismissError();
    startRecording();
    finish(controller->cancel());
    EXPECT_TRUE(sequence.uploads->closedAtCancel) << "closing at cancel deletes the spool";
    EXPECT_TRUE(sequence.uploads->localCopy.empty());
    EXPECT_EQ(state->localCopyPath(), std::nullopt);
}

}  // namespace
}  // namespace tessera::testing
