// Keeping the recorder's on-screen furniture (control strip, main panel,
// microphone meter, camera bubble, pen overlay, hot keys) in step with the
// session.

#include "capture/CaptureController.h"

namespace tessera {

namespace {
using Kind = RecorderPhase::Kind;

bool isBetweenSessions(const RecorderPhase& phase) {
    return phase.is(Kind::idle) || phase.is(Kind::done) || phase.isError();
}

Task<void> shutDownCamera(std::shared_ptr<CameraRecording> camera) {
    co_await camera->cancelRecording();
    camera->hideBubble();
    co_await camera->stopSession();
}
}  // namespace

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
        controlPanel_ = windows_.makeControlStrip();
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
    spawn(executor_, shutDownCamera(std::move(camera)));
}

}  // namespace tessera
