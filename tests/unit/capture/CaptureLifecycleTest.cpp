#include <functional>
#include <set>

#include "ControllerFixture.h"
#include "support/RecorderError.h"

namespace tessera::testing {
namespace {

using Kind = RecorderPhase::Kind;
using C = CaptureController;

struct Operation {
    const char* name;
    std::set<Kind> handledIn;
    std::function<void(C&, ManualExecutor&)> call;
};

std::function<void(C&, ManualExecutor&)> sync(void (C::*method)()) {
    return [method](C& c, ManualExecutor&) {
        (c.*method)();
    };
}
std::function<void(C&, ManualExecutor&)> async(Task<void> (C::*method)()) {
    return [method](C& c, ManualExecutor& e) {
        spawn(e, (c.*method)());
        e.runUntilIdle();
    };
}

const std::vector<Operation> kOperations = {
    {"start", {Kind::idle}, sync(&C::start)},
    {"pause", {Kind::recording}, sync(&C::pause)},
    {"resume", {Kind::paused}, sync(&C::resume)},
    {"stop", {Kind::recording, Kind::paused}, async(&C::stop)},
    {"cancel",
     {Kind::countingDown, Kind::preparing, Kind::recording, Kind::paused},
     async(&C::cancel)},
    {"restart", {Kind::recording, Kind::paused}, async(&C::restart)},
    {"acknowledgeDone", {Kind::done}, sync(&C::acknowledgeDone)},
    {"dismissError", {Kind::error}, sync(&C::dismissError)},
    // Only an error after a failed finalize can be retried.
    {"retryFinalize", {}, async(&C::retryFinalize)},
    {"handleShortcut", {Kind::idle, Kind::recording, Kind::paused}, sync(&C::handleShortcut)},
    {"streamStopped", {Kind::recording, Kind::paused}, sync(&C::streamStopped)},
};

struct IgnoredCase {
    Kind phase;
    const Operation* operation;
};

std::vector<IgnoredCase> ignoredCases() {
    std::vector<IgnoredCase> cases;
    for (int phase = 0; phase <= static_cast<int>(Kind::error); ++phase) {
        for (const Operation& operation : kOperations) {
            if (!operation.handledIn.contains(static_cast<Kind>(phase))) {
                cases.push_back({static_cast<Kind>(phase), &operation});
            }
        }
    }
    return cases;
}

class IgnoredOperationTest : public ControllerTest,
                             public ::testing::WithParamInterface<IgnoredCase> {};

// An operation in a phase that does not take it changes nothing.
TEST_P(IgnoredOperationTest, ChangesNothing) {
    enter(GetParam().phase);
    ASSERT_EQ(phase(), GetParam().phase) << toString(state->phase());
    const RecorderPhase before = state->phase();
    const auto message = state->statusMessage();
    const auto requests = log;
    const int prepares = sequence.prepares;
    GetParam().operation->call(*controller, executor);
    EXPECT_EQ(state->phase(), before);
    EXPECT_EQ(state->statusMessage(), message);
    EXPECT_EQ(log, requests);
    EXPECT_EQ(sequence.prepares, prepares);
}

std::string caseName(const ::testing::TestParamInfo<IgnoredCase>& info) {
    static const char* phases[] = {"idle",   "countingDown", "preparing", "recording",
                                   "paused", "finishing",    "done",      "error"};
    return std::string(phases[static_cast<int>(info.param.phase)]) + "_" +
           info.param.operation->name;
}

INSTANTIATE_TEST_SUITE_P(EveryPhase, IgnoredOperationTest, ::testing::ValuesIn(ignoredCases()),
                         caseName);

TEST_F(ControllerTest, AllowedTransitionsMoveThePhaseAndElapsedCountsOnlyActiveTime) {
    // idle -> countingDown -> preparing -> recording
    state->setCountdownEnabled(true);
    state->setCountdownDuration(3);
    controller->start();
    EXPECT_EQ(phase(), Kind::countingDown);
    ASSERT_NE(windows.lastCountdown, nullptr);
    EXPECT_EQ(windows.lastCountdown->shownSeconds, 3);
    executor.advance(seconds(2.9));
    EXPECT_EQ(phase(), Kind::countingDown) << "the countdown is still running";
    executor.advance(seconds(0.15));
    EXPECT_EQ(phase(), Kind::preparing);
    executor.advance(seconds(0.1));
    EXPECT_EQ(phase(), Kind::recording);

    // recording <-> paused; the clock stands still while paused
    executor.advance(seconds(10));
    EXPECT_NEAR(state->elapsed(), 10, 0.5);
    controller->pause();
    EXPECT_EQ(phase(), Kind::paused);
    const double atPause = state->elapsed();
    executor.advance(seconds(10));
    EXPECT_EQ(state->elapsed(), atPause) << "elapsed moved while paused";
    controller->resume();
    EXPECT_EQ(phase(), Kind::recording);
    EXPECT_EQ(sequence.screen->calls, (std::vector<std::string>{"pause", "resume"}));
    executor.advance(seconds(10));

    // recording -> finishing -> done -> idle
    spawn(executor, controller->stop());
    executor.runUntilIdle();
    EXPECT_EQ(phase(), Kind::finishing);
    const double atStop = state->elapsed();
    EXPECT_NEAR(atStop, atPause + 10, 0.1);
    executor.advance(seconds(5));
    EXPECT_EQ(phase(), Kind::done);
    EXPECT_EQ(state->elapsed(), atStop) << "the clock stops at stop";
    controller->acknowledgeDone();
    EXPECT_EQ(phase(), Kind::idle);
    EXPECT_EQ(state->shareURL(), std::nullopt);
}

TEST_F(ControllerTest, CancelBeforeTheServerAnsweredLeavesNothingBehind) {
    state->setCountdownEnabled(true);
    controller->start();
    executor.runUntilIdle();
    spawn(executor, controller->cancel());
    executor.advance(seconds(5));
    EXPECT_EQ(phase(), Kind::idle);
    EXPECT_TRUE(log.empty());
}

TEST_F(ControllerTest, CancelWhileRecordingTearsDownAndDeletes) {
    sequence.micPath = micFile();
    startRecording();
    finish(controller->cancel());
    EXPECT_EQ(phase(), Kind::idle);
    EXPECT_EQ(state->statusMessage(), std::optional<std::string>("Recording canceled"));
    EXPECT_EQ(log, (RequestLog{"create", "delete rec-1"}));
    EXPECT_EQ(sequence.screen->calls, (std::vector<std::string>{"cancel"}));
    EXPECT_FALSE(std::filesystem::exists(sequence.micPath));
    EXPECT_TRUE(sequence.uploads->closedAtCancel) << "closing at cancel deletes the spool";
    EXPECT_TRUE(sequence.uploads->localCopy.empty());
}

TEST_F(ControllerTest, RestartDeletesTheTakeAndStartsANewOneWithoutShowingThePanel) {
    controller->enterRecordingMode(true);
    state->setCountdownEnabled(true);
    controller->start();
    executor.advance(seconds(4));
    ASSERT_EQ(phase(), Kind::recording);
    const int shows = panel->shows;
    finish(controller->restart());
    EXPECT_EQ(phase(), Kind::countingDown);
    EXPECT_EQ(panel->shows, shows);
    executor.advance(seconds(4));
    EXPECT_EQ(phase(), Kind::recording);
    EXPECT_EQ(log, (RequestLog{"create", "delete rec-1", "create"}));
}

// The start/stop key needs screen permission and a server not known to be
// down, and enters recording mode without the panel; the pause key works only
// while recording and follows its setting.
TEST_F(ControllerTest, HotKeysStartStopAndPauseOnlyWhenTheyMay) {
    const int startStop = CaptureController::kStartStopHotKeyID;
    const int pause = CaptureController::kPauseHotKeyID;
    state->setServerReachable(false);
    hotKeys.press(startStop);
    EXPECT_EQ(phase(), Kind::idle);
    state->setServerReachable(std::nullopt);
    state->setHasScreenPermission(false);
    hotKeys.press(startStop);
    EXPECT_EQ(phase(), Kind::idle);
    state->setHasScreenPermission(true);

    EXPECT_FALSE(hotKeys.registered.contains(pause));
    state->setPauseHotkeyEnabled(true);
    controller->applyPauseHotkeySetting();
    ASSERT_TRUE(hotKeys.registered.contains(pause));
    state->setCountdownEnabled(false);
    hotKeys.press(startStop);
    hotKeys.press(pause);
    EXPECT_EQ(phase(), Kind::preparing);
    EXPECT_TRUE(controller->recordingModeActive());
    EXPECT_FALSE(panel->visible);
    executor.advance(seconds(1));
    hotKeys.press(pause);
    EXPECT_EQ(phase(), Kind::paused);
    hotKeys.press(pause);
    EXPECT_EQ(phase(), Kind::recording);
    hotKeys.press(startStop);
    executor.advance(seconds(5));
    EXPECT_EQ(phase(), Kind::done);
}

// A capture the system stopped is stopped like a press, with a notice that a
// failed end keeps; leaving recording mode keeps the error.
TEST_F(ControllerTest, TheSystemStoppingTheCaptureStopsTheRecordingWithANotice) {
    controller->enterRecordingMode(true);
    startRecording();
    controller->streamStopped();
    executor.runUntilIdle();
    EXPECT_EQ(phase(), Kind::finishing);
    sequence.server->finalizeReply = {"error", std::nullopt, std::nullopt};
    executor.advance(seconds(5));
    ASSERT_TRUE(state->phase().isError());
    EXPECT_EQ(state->statusMessage(),
              std::optional<std::string>("Capture was stopped by the system"));
    controller->exitRecordingMode();
    EXPECT_TRUE(state->phase().isError());
}

TEST_F(ControllerTest, AStartFailureShowsItsMessageAndTearsDownWhatWasMade) {
    controller->enterRecordingMode(false);
    EXPECT_TRUE(meter.active);
    sequence.captureFailure = std::make_exception_ptr(RecorderError("Capture failed"));
    state->setCountdownEnabled(false);
    controller->start();
    EXPECT_FALSE(meter.active) << "the preview meter stops when a start begins";
    executor.advance(seconds(2));
    EXPECT_EQ(state->phase(), RecorderPhase::error("Capture failed"));
    EXPECT_EQ(log, (RequestLog{"create", "delete rec-1"}));
    EXPECT_TRUE(panel->visible) << "the error is shown";
    EXPECT_EQ(sequence.screen->calls, (std::vector<std::string>{"cancel"}));
}

// After shutdown the controller can go at any point: no task of it resumes
// later (ASan would see one touch the freed controller).
TEST_F(ControllerTest, ShutdownEndsEveryTaskSoTheControllerCanGoMidStop) {
    state->setCameraEnabled(true);
    controller->enterRecordingMode(false);
    executor.advance(seconds(1));
    startRecording();
    sequence.server->finalizeFailures = {serverError("timed out"), serverError("timed out")};
    hotKeys.press(CaptureController::kStartStopHotKeyID);
    executor.advance(seconds(0.5));
    ASSERT_EQ(phase(), Kind::finishing);
    // The camera video stops at the press, not once the screen's has finished.
    const auto& cameraCalls = cameras.log->calls;
    const auto pausedAt = std::find(cameraCalls.begin(), cameraCalls.end(), "pause");
    EXPECT_LT(pausedAt, std::find(cameraCalls.begin(), cameraCalls.end(), "finishRecording"));
    controller->setCameraEnabled(false);

    auto ending = spawn(executor, controller->shutdown());
    executor.advance(seconds(1));
    ASSERT_TRUE(ending.isDone());
    controller.reset();
    executor.advance(seconds(10));
    EXPECT_EQ(std::count(log.begin(), log.end(), "finalize rec-1"), 1);
    EXPECT_EQ(cameras.log->openPreviews, 0);
}

}  // namespace
}  // namespace tessera::testing
