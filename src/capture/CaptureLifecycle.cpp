// The session phase machine, its operations and the elapsed-time clock.

#include "capture/CaptureController.h"
#include "support/Log.h"

namespace tessera {

namespace {
using Kind = RecorderPhase::Kind;

constexpr const char* kRecordingCanceled = "Recording canceled";
constexpr const char* kStoppedBySystem = "Capture was stopped by the system";
constexpr double kTickSeconds = 0.5;

bool isOneOf(const RecorderPhase& phase, std::initializer_list<Kind> kinds) {
    for (Kind kind : kinds) {
        if (phase.is(kind)) {
            return true;
        }
    }
    return false;
}
}  // namespace

CaptureController::CaptureController(AppState& state, CaptureControllerPorts ports,
                                     std::uint32_t mainDisplayID)
    : state_(state),
      executor_(ports.executor),
      hotKey_(ports.hotKey),
      windows_(ports.windows),
      micMeter_(ports.micMeter),
      startSequence_(ports.startSequence),
      share_(ports.share),
      notifications_(ports.notifications),
      cameras_(ports.cameras),
      access_(ports.access),
      sessionDisplayID_(mainDisplayID) {
    applyHotkeySetting();
    applyPauseHotkeySetting();
    installStateHooks();
}

CaptureController::~CaptureController() {
    state_.cameraEffectsChanged = nullptr;
    state_.cameraBubbleSizeChanged = nullptr;
    state_.cameraFullScreenChanged = nullptr;
}

std::function<void()> CaptureController::weakAction(
    std::function<void(CaptureController&)> action) {
    return [alive = std::weak_ptr<int>(alive_), this, action = std::move(action)] {
        if (!alive.expired()) {
            action(*this);
        }
    };
}

void CaptureController::installStateHooks() {
    state_.cameraEffectsChanged = weakAction([](CaptureController& self) {
        if (self.cameraRecorder_) {
            self.cameraRecorder_->setEffectSettings(self.state_.cameraEffectSettings());
        }
    });
    state_.cameraBubbleSizeChanged = weakAction([](CaptureController& self) {
        if (self.cameraRecorder_) {
            self.cameraRecorder_->setBubbleSize(self.state_.cameraBubbleSize());
        }
    });
    state_.cameraFullScreenChanged = weakAction([](CaptureController& self) {
        const bool fullScreen = self.state_.cameraFullScreen();
        if (self.cameraRecorder_) {
            self.cameraRecorder_->setFullScreen(fullScreen);
        }
        if (fullScreen) {
            self.hotKey_.registerHotKey(kExitFullScreenHotKeyID, kExitFullScreenHotKey,
                                        self.weakAction([](CaptureController& owner) {
                                            owner.state_.setCameraFullScreen(false);
                                        }));
        } else {
            self.hotKey_.unregisterHotKey(kExitFullScreenHotKeyID);
        }
    });
}

void CaptureController::start() {
    if (!state_.phase().is(Kind::idle) || shutDown_) {
        return;
    }
    if (state_.captureMode() == CaptureMode::window && !state_.selectedWindowID()) {
        return;
    }
    state_.setMicMuted(false);
    resetCameraBubbleVisibility();
    const bool withCountdown = state_.countdownEnabled();
    state_.setPhase(withCountdown ? RecorderPhase::countingDown() : RecorderPhase::preparing());
    state_.setStatusMessage(std::nullopt);
    sessionDisplayID_ = resolveSessionDisplayID();

    hideMainPanel();
    showControlPanel();
    if (cameraRecorder_) {
        cameraRecorder_->moveBubble(sessionDisplayID_);
    }
    syncMicMeter();

    std::shared_ptr<CountdownOverlay> countdown;
    if (withCountdown) {
        countdown = windows_.makeCountdown();
        countdown->setOnCancel(weakAction([](CaptureController& self) {
            if (self.startTask_) {
                self.startTask_->cancel();
            }
        }));
        countdown->show(sessionDisplayID_, state_.countdownDuration());
    }
    startTask_ = spawn(executor_, performStart(std::move(countdown)));
}

void CaptureController::pause() {
    if (!state_.phase().is(Kind::recording)) {
        return;
    }
    if (session_.screenRecorder) {
        session_.screenRecorder->pause();
    }
    if (cameraRecorder_) {
        cameraRecorder_->pause();
    }
    if (activeSegmentStart_) {
        accumulatedActive_ += toSeconds(executor_.now() - *activeSegmentStart_);
        activeSegmentStart_.reset();
    }
    state_.setPhase(RecorderPhase::paused());
}

void CaptureController::resume() {
    if (!state_.phase().is(Kind::paused)) {
        return;
    }
    if (session_.screenRecorder) {
        session_.screenRecorder->resume();
    }
    if (cameraRecorder_) {
        cameraRecorder_->resume();
    }
    activeSegmentStart_ = executor_.now();
    state_.setPhase(RecorderPhase::recording());
}

Task<void> CaptureController::cancel() {
    const RecorderPhase& phase = state_.phase();
    if (isOneOf(phase, {Kind::countingDown, Kind::preparing})) {
        // The start task's own failure handling tears down and reports it.
        if (startTask_) {
            startTask_->cancel();
        }
        co_return;
    }
    if (!isOneOf(phase, {Kind::recording, Kind::paused})) {
        co_return;
    }
    state_.setPhase(RecorderPhase::finishing());
    co_await teardownSession(true);
    state_.setShareURL(std::nullopt);
    state_.setStatusMessage(std::string(kRecordingCanceled));
    state_.setPhase(RecorderPhase::idle());
    if (recordingModeActive_ && !restarting_) {
        reshowAfterSession();
    }
    stopCameraPreviewIfUnattended();
}

Task<void> CaptureController::restart() {
    if (!isOneOf(state_.phase(), {Kind::recording, Kind::paused})) {
        co_return;
    }
    // Cleared however the restart ends, also when its task is cancelled.
    struct RestartingFlag {
        std::weak_ptr<int> alive;
        bool& flag;
        ~RestartingFlag() {
            if (!alive.expired()) {
                flag = false;
            }
        }
    };
    restarting_ = true;
    RestartingFlag clearOnExit{alive_, restarting_};
    co_await cancel();
    if (state_.phase().is(Kind::idle)) {
        start();
    }
}

void CaptureController::acknowledgeDone() {
    if (!state_.phase().is(Kind::done)) {
        return;
    }
    state_.setShareURL(std::nullopt);
    state_.setStatusMessage(std::nullopt);
    state_.setLocalCopyPath(std::nullopt);
    state_.setPhase(RecorderPhase::idle());
    if (recordingModeActive_ && !restarting_) {
        reshowAfterSession();
    }
}

void CaptureController::dismissError() {
    if (!state_.phase().isError()) {
        return;
    }
    state_.setCanRetryFinalize(false);
    state_.setLocalCopyPath(std::nullopt);
    resetSession();
    state_.setPhase(RecorderPhase::idle());
    if (recordingModeActive_ && !restarting_) {
        reshowAfterSession();
    }
}

void CaptureController::reshowAfterSession() {
    showControlPanel();
    showMainPanel();
    syncMicMeter();
}

void CaptureController::resetSession() {
    session_ = CaptureSession{};
}

void CaptureController::handleShortcut() {
    const RecorderPhase& phase = state_.phase();
    if (isOneOf(phase, {Kind::recording, Kind::paused})) {
        runOwned(stop());
        return;
    }
    if (!phase.is(Kind::idle)) {
        return;
    }
    // An unknown reachability counts as reachable: the start reports a server
    // that is really down.
    if (!state_.hasScreenPermission() || state_.serverReachable() == false) {
        return;
    }
    if (state_.captureMode() == CaptureMode::window && !state_.selectedWindowID()) {
        return;
    }
    if (!recordingModeActive_) {
        enterRecordingMode(false);
    }
    start();
}

void CaptureController::statusItemToggled() {
    if (!recordingModeActive_) {
        enterRecordingMode(true);
        return;
    }
    if (isOneOf(state_.phase(), {Kind::countingDown, Kind::preparing, Kind::recording, Kind::paused,
                                 Kind::finishing})) {
        auto panel = mainPanel_.lock();
        if (panel && panel->isVisible()) {
            panel->hide();
        } else if (panel) {
            panel->show();
        }
        return;
    }
    exitRecordingMode();
}

void CaptureController::streamStopped() {
    if (!isOneOf(state_.phase(), {Kind::recording, Kind::paused})) {
        return;
    }
    state_.setStatusMessage(std::string(kStoppedBySystem));
    runOwned(stop());
}

void CaptureController::runOwned(Task<void> task) {
    if (shutDown_) {
        return;
    }
    std::erase_if(ownedTasks_, [](const TaskHandle<void>& handle) { return handle.isDone(); });
    ownedTasks_.push_back(spawn(executor_, std::move(task)));
}

Task<void> CaptureController::shutdown() {
    shutDown_ = true;
    std::vector<TaskHandle<void>> tasks = ownedTasks_;
    if (startTask_) {
        tasks.push_back(*startTask_);
    }
    for (const auto& task : tasks) {
        task.cancel();
    }
    for (const auto& task : tasks) {
        try {
            co_await task.join();
        } catch (...) {
            logging::handled("controller", "a task ended at shutdown", std::current_exception(),
                             logging::Level::debug);
        }
    }
    ownedTasks_.clear();
    stopTimer();
    // The camera closes with the application.
    if (auto camera = std::move(cameraRecorder_)) {
        co_await shutDownCamera(std::move(camera));
    }
}

void CaptureController::startTimer() {
    accumulatedActive_ = 0;
    activeSegmentStart_ = executor_.now();
    state_.setElapsed(0);
    timer_ = std::make_unique<RepeatingTimer>(
        executor_, seconds(kTickSeconds), weakAction([](CaptureController& self) { self.tick(); }));
}

void CaptureController::tick() {
    if (activeSegmentStart_) {
        state_.setElapsed(accumulatedActive_ + toSeconds(executor_.now() - *activeSegmentStart_));
    }
}

void CaptureController::stopTimer() {
    timer_.reset();
    if (activeSegmentStart_) {
        accumulatedActive_ += toSeconds(executor_.now() - *activeSegmentStart_);
        activeSegmentStart_.reset();
    }
    state_.setElapsed(accumulatedActive_);
}

std::uint32_t CaptureController::resolveSessionDisplayID() const {
    if (state_.captureMode() == CaptureMode::window && state_.selectedWindowID() &&
        displayContaining) {
        for (const WindowOption& window : state_.windows()) {
            if (window.id == *state_.selectedWindowID()) {
                if (auto display = displayContaining(window.frame)) {
                    return *display;
                }
                break;
            }
        }
    }
    return state_.selectedDisplayID();
}

}  // namespace tessera
