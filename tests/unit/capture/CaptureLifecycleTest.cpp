#include <functional>
#include <set>

#include "ControllerFixture.h"
#include "support/RecorderError.h"

namespace tessera::testing {
namespace {

using Kind = RecorderPhase::Kind;

struct Operation {
    const char* name;
    std::set<Kind> handledIn;
    std::function<void(CaptureController&, ManualExecutor&)> call;
};

const std::vector<Operation>& operations() {
    using C = CaptureController;
    auto sync = [](void (C::*method)()) {
        return [method](C& c, ManualExecutor&) {
            (c.*method)();
        };
    };
    auto async = [](Task<void> (C::*method)()) {
        return [method](C& c, ManualExecutor& e) {
            spawn(e, (c.*method)());
            e.runUntilIdle();
        };
    };
    const std::set<Kind> active{Kind::recording, Kind::paused};
    static const std::vector<Operation> all = {
        {"start", {Kind::idle}, sync(&C::start)},
        {"pause", {Kind::recording}, sync(&C::pause)},
        {"resume", {Kind::paused}, sync(&C::resume)},
        {"stop", active, async(&C::stop)},
        {"cancel",
         {Kind::countingDown, Kind::preparing, Kind::recording, Kind::paused},
         async(&C::cancel)},
        {"restart", active, async(&C::restart)},
        {"acknowledgeDone", {Kind::done}, sync(&C::acknowledgeDone)},
        {"dismissError", {Kind::error}, sync(&C::dismissError)},
        // Only an error after a failed finalize can be retried.
        {"retryFinalize", {}, async(&C::retryFinalize)},
        {"handleShortcut", {Kind::idle, Kind::recording, Kind::paused}, sync(&C::handleShortcut)},
        {"streamStopped", active, sync(&C::streamStopped)},
    };
    return all;
}

struct IgnoredCase {
    Kind phase;
    std::size_t operation;
};

std::vector<IgnoredCase> ignoredCases() {
    std::vector<IgnoredCase> cases;
    for (Kind phase : {Kind::idle, Kind::countingDown, Kind::preparing, Kind::recording,
                       Kind::paused, Kind::finishing, Kind::done, Kind::error}) {
        for (std::size_t i = 0; i < operations().size(); ++i) {
            if (!operations()[i].handledIn.contains(phase)) {
                cases.push_back({phase, i});
            }
        }
    }
    return cases;
}

class IgnoredOperationTest : public ControllerTest,
                             public ::testing::WithParamInterface<IgnoredCase> {};

TEST_P(IgnoredOperationTest, ChangesNothing) {
    const Operation& operation = operations()[GetParam().operation];
    enter(GetParam().phase);
    ASSERT_EQ(phase(), GetParam().phase) << toString(state->phase());
    const RecorderPhase before = state->phase();
    const auto message = state->statusMessage();
    const auto requests = log;
    const int prepares = sequence.prepares;
    operation.call(*controller, executor);
    EXPECT_EQ(state->phase(), before) << operation.name;
    EXPECT_EQ(state->statusMessage(), message) << operation.name;
    EXPECT_EQ(log, requests) << operation.name;
    EXPECT_EQ(sequence.prepares, prepares) << operation.name;
}

std::string caseName(const ::testing::TestParamInfo<IgnoredCase>& info) {
    static const char* phases[] = {"idle",   "countingDown", "preparing", "recording",
                                   "paused", "finishing",    "done",      "error"};
    return std::string(phases[static_cast<int>(info.param.phase)]) + "_" +
           operations()[info.param.operation].name;
}

INSTANTIATE_TEST_SUITE_P(EveryPhase, IgnoredOperationTest, ::testing::ValuesIn(ignoredCases()),
                         caseName);

using PhaseMachineTest = ControllerTest;

TEST_F(PhaseMachineTest, AllowedTransitionsMoveThePhaseAndElapsedCountsOnlyActiveTime) {
    // A window recording without a chosen window does not start.
    state->setCaptureMode(CaptureMode::window);
    controller->start();
    executor.advance(seconds(5));
    EXPECT_EQ(phase(), Kind::idle);
    EXPECT_EQ(sequence.prepares, 0);
    state->setCaptureMode(CaptureMode::display);

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
    EXPECT_EQ(state->statusMessage(), std::optional<std::string>("Link copied ✓"));

    // recording <-> paused; the clock stands still while paused
    executor.advance(seconds(10));
    EXPECT_NEAR(state->elapsed(), 10, 0.5);
    controller->pause();
    EXPECT_EQ(phase(), Kind::paused);
    const double atPause = state->elapsed();
    for (int i = 0; i < 10; ++i) {
        executor.advance(seconds(1));
        EXPECT_EQ(state->elapsed(), atPause) << "elapsed moved while paused";
    }
    controller->resume();
    EXPECT_EQ(phase(), Kind::recording);
    EXPECT_EQ(sequence.screen->calls, (std::vector<std::string>{"pause", "resume"}));
    executor.advance(seconds(10));

    // recording -> finishing -> done -> idle
    auto stopping = spawn(executor, controller->stop());
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

    // idle -> preparing -> error -> idle
    sequence.prepareFailure = std::make_exception_ptr(RecorderError("No display found to record"));
    state->setCountdownEnabled(false);
    controller->start();
    EXPECT_EQ(phase(), Kind::preparing);
    executor.advance(seconds(1));
    EXPECT_EQ(state->phase(), RecorderPhase::error("No display found to record"));
    controller->dismissError();
    EXPECT_EQ(phase(), Kind::idle);
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
    EXPECT_EQ(sequence.mic->deletes, 1);
    EXPECT_FALSE(std::filesystem::exists(sequence.micPath));
    EXPECT_TRUE(sequence.uploads->closedAtCancel) << "closing at cancel deletes the spool";
    EXPECT_TRUE(sequence.uploads->localCopy.empty());
    EXPECT_EQ(state->localCopyPath(), std::nullopt);
}

TEST_F(ControllerTest, RestartStartsANewSessionWithoutShowingTheMainPanel) {
    controller->enterRecordingMode(true);
    state->setCountdownEnabled(true);
    controller->start();
    executor.advance(seconds(4));
    ASSERT_EQ(phase(), Kind::recording);
    const int shows = panel->shows;
    auto restarting = spawn(executor, controller->restart());
    executor.advance(seconds(0.5));
    EXPECT_TRUE(restarting.isDone());
    EXPECT_EQ(phase(), Kind::countingDown);
    EXPECT_EQ(panel->shows, shows);
    EXPECT_EQ(windows.countdowns, 2);
    executor.advance(seconds(4));
    EXPECT_EQ(phase(), Kind::recording);
    EXPECT_EQ(log, (RequestLog{"create", "delete rec-1", "create"}));
}

TEST_F(ControllerTest, StartStopHotKeyNeedsPermissionAndAServerNotKnownToBeDown) {
    ASSERT_TRUE(hotKeys.registered.contains(CaptureController::kStartStopHotKeyID));

    state->setServerReachable(false);
    hotKeys.press(CaptureController::kStartStopHotKeyID);
    EXPECT_EQ(phase(), Kind::idle);

    state->setServerReachable(true);
    state->setHasScreenPermission(false);
    hotKeys.press(CaptureController::kStartStopHotKeyID);
    EXPECT_EQ(phase(), Kind::idle);

    state->setHasScreenPermission(true);
    state->setServerReachable(std::nullopt);
    hotKeys.press(CaptureController::kStartStopHotKeyID);
    EXPECT_EQ(phase(), Kind::countingDown);
    EXPECT_TRUE(controller->recordingModeActive());
    EXPECT_FALSE(panel->visible) << "the hot key enters recording mode without the panel";

    executor.advance(seconds(4));
    ASSERT_EQ(phase(), Kind::recording);
    hotKeys.press(CaptureController::kStartStopHotKeyID);
    executor.advance(seconds(5));
    EXPECT_EQ(phase(), Kind::done);
}

TEST_F(ControllerTest, PauseHotKeyTogglesOnlyWhileRecordingAndFollowsItsSetting) {
    EXPECT_FALSE(hotKeys.registered.contains(CaptureController::kPauseHotKeyID));
    state->setPauseHotkeyEnabled(true);
    controller->applyPauseHotkeySetting();
    ASSERT_TRUE(hotKeys.registered.contains(CaptureController::kPauseHotKeyID));
    state->setCountdownEnabled(false);
    controller->start();
    hotKeys.press(CaptureController::kPauseHotKeyID);
    EXPECT_EQ(phase(), Kind::preparing);
    executor.advance(seconds(1));
    hotKeys.press(CaptureController::kPauseHotKeyID);
    EXPECT_EQ(phase(), Kind::paused);
    hotKeys.press(CaptureController::kPauseHotKeyID);
    EXPECT_EQ(phase(), Kind::recording);
    state->setHotkeyEnabled(false);
    controller->applyHotkeySetting();
    EXPECT_FALSE(hotKeys.registered.contains(CaptureController::kStartStopHotKeyID));
}

TEST_F(ControllerTest, EscapeHotKeyExistsOnlyWhileTheCameraIsFullScreen) {
    state->setCameraFullScreen(true);
    ASSERT_TRUE(hotKeys.registered.contains(CaptureController::kExitFullScreenHotKeyID));
    hotKeys.press(CaptureController::kExitFullScreenHotKeyID);
    EXPECT_FALSE(state->cameraFullScreen());
    EXPECT_FALSE(hotKeys.registered.contains(CaptureController::kExitFullScreenHotKeyID));
}

TEST_F(ControllerTest, StatusItemOpensTogglesDuringASessionAndClosesBetweenSessions) {
    controller->statusItemToggled();
    EXPECT_TRUE(controller->recordingModeActive());
    EXPECT_TRUE(panel->visible);
    ASSERT_NE(windows.strip, nullptr);
    EXPECT_TRUE(windows.strip->visible);

    startRecording();
    spawn(executor, controller->stop());
    executor.runUntilIdle();
    ASSERT_EQ(phase(), Kind::finishing);
    panel->visible = true;
    controller->statusItemToggled();
    EXPECT_FALSE(panel->visible);
    EXPECT_TRUE(controller->recordingModeActive());
    controller->statusItemToggled();
    EXPECT_TRUE(panel->visible);

    executor.advance(seconds(5));
    ASSERT_EQ(phase(), Kind::done);
    controller->statusItemToggled();
    EXPECT_FALSE(controller->recordingModeActive());
    EXPECT_EQ(phase(), Kind::idle) << "closing acknowledges the finished recording";
    EXPECT_FALSE(panel->visible);
    EXPECT_FALSE(windows.strip->visible);
    EXPECT_FALSE(meter.active);
}

TEST_F(ControllerTest, ExitingKeepsAnErrorAndTheStreamStopStopsWithANotice) {
    controller->enterRecordingMode(true);
    startRecording();
    controller->streamStopped();
    executor.runUntilIdle();
    EXPECT_EQ(phase(), Kind::finishing);
    EXPECT_EQ(state->statusMessage(),
              std::optional<std::string>("Capture was stopped by the system"));
    sequence.server->finalizeReply = {"error", std::nullopt, std::nullopt};
    executor.advance(seconds(5));
    ASSERT_TRUE(state->phase().isError());
    EXPECT_EQ(state->statusMessage(),
              std::optional<std::string>("Capture was stopped by the system"))
        << "a failed end keeps the notice";
    controller->exitRecordingMode();
    EXPECT_FALSE(controller->recordingModeActive());
    EXPECT_TRUE(state->phase().isError());
}

TEST_F(ControllerTest, AStartFailureShowsItsMessageAndTheMeterStopsDuringASession) {
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
