// Keeping the recorder's on-screen furniture (control strip, main panel,
// microphone meter, camera bubble, pen overlay, hot keys) in step with the
// session.

#include "capture/CaptureController.h"
#include "support/Log.h"

namespace tessera {

namespace {
using Kind = RecorderPhase::Kind;

constexpr const char* kCameraAccessDenied = "Camera access was denied in System Settings.";
constexpr const char* kPenInvisibleBanner =
    "Pen is visible only to you — it won't appear in the recording";
constexpr const char* kPenInvisibleNotice =
    "Heads up: pen strokes won't appear in the recorded video this session";

bool isBetweenSessions(const RecorderPhase& phase) {
    return phase.is(Kind::idle) || phase.is(Kind::done) || phase.isError();
}

// Runs `body` only if the controller still exists when the task begins.
Task<void> ifAlive(std::weak_ptr<int> alive, std::function<Task<void>()> body) {
    if (!alive.expired()) {
        co_await body();
    }
}

}  // namespace

// Touches nothing of the controller: the recorder has already left its field,
// so this may run on after the controller is gone.
Task<void> CaptureController::shutDownCamera(std::shared_ptr<CameraRecording> camera) {
    try {
        co_await camera->cancelRecording();
    } catch (...) {
        logging::handled("camera", "cancelling the camera recording", std::current_exception());
    }
    camera->hideBubble();
    try {
        co_await camera->stopSession();
    } catch (...) {
        logging::handled("camera", "stopping the camera session", std::current_exception());
    }
}

void CaptureController::enterRecordingMode(bool showPanel) {
    if (recordingModeActive_) {
        return;
    }
    recordingModeActive_ = true;
    adoptStatusItemDisplay();
    sessionDisplayID_ = resolveSessionDisplayID();
    if (showPanel) {
        showMainPanel();
    }
    if (state_.phase().is(Kind::idle)) {
        showControlPanel();
    }
    syncMicMeter();
    runOwned(ifAlive(alive_, [this] { return syncCameraPreview(); }));
}

void CaptureController::exitRecordingMode() {
    if (!recordingModeActive_ || !isBetweenSessions(state_.phase())) {
        return;
    }
    recordingModeActive_ = false;
    acknowledgeDone();
    micMeter_.stop();
    if (controlPanel_) {
        controlPanel_->hide();
    }
    hideMainPanel();
    stopCameraPreviewIfUnattended();
}

void CaptureController::adoptStatusItemDisplay() {
    if (refreshDevices) {
        refreshDevices();
    }
    if (state_.captureMode() == CaptureMode::window || !statusItemDisplayID) {
        return;
    }
    auto display = statusItemDisplayID();
    if (!display) {
        return;
    }
    for (const DisplayOption& option : state_.displays()) {
        if (option.id == *display) {
            state_.setSelectedDisplayID(*display);
            return;
        }
    }
}

void CaptureController::showControlPanel() {
    if (state_.stripVisibility() == StripVisibility::hidden) {
        if (controlPanel_) {
            controlPanel_->hide();
        }
        return;
    }
    if (!controlPanel_) {
        controlPanel_ = windows_.makeControlStrip(state_, weakHandle());
    }
    controlPanel_->show(sessionDisplayID_);
}

void CaptureController::syncMicMeter() {
    if (recordingModeActive_ && state_.micEnabled() && state_.phase().is(Kind::idle)) {
        micMeter_.start();
    } else {
        micMeter_.stop();
    }
}

void CaptureController::applyHotkeySetting() {
    if (state_.hotkeyEnabled()) {
        hotKey_.registerHotKey(kStartStopHotKeyID, kStartStopHotKey,
                               weakAction([](CaptureController& self) { self.handleShortcut(); }));
    } else {
        hotKey_.unregisterHotKey(kStartStopHotKeyID);
    }
}

void CaptureController::applyPauseHotkeySetting() {
    if (state_.pauseHotkeyEnabled()) {
        hotKey_.registerHotKey(kPauseHotKeyID, kPauseHotKey,
                               weakAction([](CaptureController& self) {
                                   if (self.state_.phase().is(Kind::recording)) {
                                       self.pause();
                                   } else if (self.state_.phase().is(Kind::paused)) {
                                       self.resume();
                                   }
                               }));
    } else {
        hotKey_.unregisterHotKey(kPauseHotKeyID);
    }
}

void CaptureController::showMainPanel() {
    if (auto panel = mainPanel_.lock()) {
        panel->show();
    }
}

void CaptureController::hideMainPanel() {
    if (auto panel = mainPanel_.lock()) {
        panel->hide();
    }
}

void CaptureController::closeDrawingOverlay() {
    state_.setDrawModeEnabled(false);
    state_.setDrawingUnavailable(false);
    state_.setDrawingInvisibleInCapture(false);
    if (auto overlay = std::move(drawingOverlay_)) {
        overlay->close();
    }
}

void CaptureController::resetCameraBubbleVisibility() {
    if (state_.cameraBubbleHidden()) {
        state_.setCameraBubbleHidden(false);
        if (cameraRecorder_) {
            cameraRecorder_->orderBubbleFront();
        }
    }
}

void CaptureController::stopCameraPreviewIfUnattended() {
    if (recordingModeActive_ || restarting_ || !isBetweenSessions(state_.phase())) {
        return;
    }
    auto camera = std::move(cameraRecorder_);
    if (!camera) {
        return;
    }
    state_.setCameraBubbleHidden(false);
    state_.setCameraFullScreen(false);
    // The recorder leaves the field before its shutdown begins, so a new
    // preview can start while the old one is still closing.
    runOwned(shutDownCamera(std::move(camera)));
}

Task<void> CaptureController::syncCameraPreview() {
    if (!state_.cameraEnabled()) {
        if (!state_.phase().is(Kind::idle) || !cameraRecorder_) {
            co_return;
        }
        auto camera = std::move(cameraRecorder_);
        state_.setCameraFullScreen(false);
        co_await shutDownCamera(std::move(camera));
        co_return;
    }
    // One preview at a time: a preview being opened is kept or shut down by
    // the task that opens it, according to the state it finds at the end.
    if (!state_.phase().is(Kind::idle) || cameraRecorder_ || !recordingModeActive_ ||
        cameraStarting_) {
        co_return;
    }
    cameraStarting_ = true;
    auto alive = std::weak_ptr<int>(alive_);
    const auto stillWanted = [this] {
        return state_.cameraEnabled() && state_.phase().is(Kind::idle) && !cameraRecorder_ &&
               recordingModeActive_;
    };
    bool granted = false;
    try {
        granted = co_await access_.requestAccess(MediaDevice::camera);
    } catch (...) {
        logging::handled("camera", "asking for camera access", std::current_exception());
    }
    if (alive.expired()) {
        co_return;
    }
    if (!granted) {
        cameraStarting_ = false;
        state_.setCameraEnabled(false);
        state_.setStatusMessage(std::string(kCameraAccessDenied));
        co_return;
    }
    if (!stillWanted()) {
        cameraStarting_ = false;
        co_return;
    }
    auto camera = cameras_.makeCameraRecorder();
    attach(*camera);
    // Named before the co_await: GCC 12 destroys temporaries in co_await
    // operands twice.
    std::optional<std::string> deviceID;
    if (!state_.selectedCameraID().empty()) {
        deviceID = state_.selectedCameraID();
    }
    std::exception_ptr failure;
    try {
        auto preview = camera->startPreview(deviceID, state_.cameraMirrored(), sessionDisplayID_);
        co_await std::move(preview);
    } catch (...) {
        failure = std::current_exception();
    }
    if (alive.expired()) {
        if (!failure) {
            co_await shutDownCamera(std::move(camera));
        }
        co_return;
    }
    cameraStarting_ = false;
    if (failure) {
        logging::handled("camera", "starting the camera preview", failure);
        state_.setCameraEnabled(false);
        state_.setStatusMessage(describeError(failure));
        co_return;
    }
    if (!stillWanted()) {
        co_await shutDownCamera(std::move(camera));
        co_return;
    }
    cameraRecorder_ = std::move(camera);
    if (state_.cameraBubbleHidden()) {
        cameraRecorder_->orderBubbleOut();
    }
}

Task<void> CaptureController::replaceCameraPreview() {
    auto alive = std::weak_ptr<int>(alive_);
    auto camera = std::move(cameraRecorder_);
    state_.setCameraFullScreen(false);
    co_await shutDownCamera(std::move(camera));
    if (!alive.expired()) {
        co_await syncCameraPreview();
    }
}

void CaptureController::setCameraEnabled(bool on) {
    if (state_.cameraEnabled() == on) {
        return;
    }
    state_.setCameraEnabled(on);
    runOwned(ifAlive(alive_, [this] { return syncCameraPreview(); }));
}

void CaptureController::cameraDeviceChanged() {
    if (!state_.phase().is(Kind::idle) || !state_.cameraEnabled() || !cameraRecorder_) {
        return;
    }
    runOwned(ifAlive(alive_, [this] { return replaceCameraPreview(); }));
}

void CaptureController::captureTargetChanged() {
    if (!recordingModeActive_ || !state_.phase().is(Kind::idle)) {
        return;
    }
    sessionDisplayID_ = resolveSessionDisplayID();
    if (controlPanel_) {
        controlPanel_->move(sessionDisplayID_);
    }
    if (cameraRecorder_) {
        cameraRecorder_->moveBubble(sessionDisplayID_);
    }
}

void CaptureController::setMicMuted(bool muted) {
    const RecorderPhase& phase = state_.phase();
    if (!state_.micEnabled() || !(phase.is(Kind::recording) || phase.is(Kind::paused))) {
        return;
    }
    state_.setMicMuted(muted);
    if (session_.screenRecorder) {
        session_.screenRecorder->setMicMuted(muted);
    }
}

void CaptureController::setCameraBubbleHidden(bool hidden) {
    if (!state_.cameraEnabled()) {
        return;
    }
    state_.setCameraBubbleHidden(hidden);
    if (cameraRecorder_) {
        if (hidden) {
            cameraRecorder_->orderBubbleOut();
        } else {
            cameraRecorder_->orderBubbleFront();
        }
    }
}

void CaptureController::setDrawModeEnabled(bool on) {
    const RecorderPhase& phase = state_.phase();
    if (!(phase.is(Kind::recording) || phase.is(Kind::paused)) || state_.drawModeEnabled() == on ||
        !drawingOverlay_) {
        return;
    }
    state_.setDrawModeEnabled(on);
    drawingOverlay_->setDrawMode(on);
    if (on && state_.drawingInvisibleInCapture()) {
        drawingOverlay_->showBanner(kPenInvisibleBanner);
        state_.setStatusMessage(std::string(kPenInvisibleNotice));
    }
}

void CaptureController::attach(CameraRecording& camera) {
    camera.setEffectSettings(state_.cameraEffectSettings());
    camera.setMenuActions(BubbleMenuActions{
        .close = weakAction([](CaptureController& self) { self.setCameraEnabled(false); }),
        .advancedSettings = weakAction([](CaptureController& self) {
            self.showMainPanel();
            self.state_.setRequestedSettingsCategory(SettingsCategory::camera);
        }),
    });
    camera.setOnBubbleResized([handle = weakHandle()](double diameter) {
        if (auto* self = handle.get()) {
            if (std::abs(diameter - self->state_.cameraBubbleSize()) > 0.5) {
                self->state_.setCameraBubbleSize(diameter);
            }
        }
    });
}

}  // namespace tessera
