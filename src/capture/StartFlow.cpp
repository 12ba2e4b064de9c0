// The start task around the start sequence: the countdown beside the
// preparation, the move to recording, and the one place where a failed or
// cancelled start is cleaned up. Also the tear-down that cancel, restart and a
// failed start share.

#include "capture/CaptureController.h"
#include "server/HttpTransport.h"
#include "support/Log.h"

namespace tessera {

namespace {
// A cancelled task, or a transfer the transport itself abandoned: both end the
// start as cancelled rather than failed.
bool endsAsCancelled(const std::exception_ptr& failure) {
    if (isCancellation(failure)) {
        return true;
    }
    try {
        std::rethrow_exception(failure);
    } catch (const TransportError& error) {
        return error.code() == TransportErrorCode::cancelled;
    } catch (...) {
        return false;
    }
}
}  // namespace

Task<void> CaptureController::runCountdown(std::shared_ptr<CountdownOverlay> countdown,
                                           int seconds) {
    if (countdown) {
        co_await countdown->run(seconds);
    }
}

Task<void> CaptureController::performStart(std::shared_ptr<CountdownOverlay> countdown) {
    std::exception_ptr failure;
    TaskHandle<void> countdownChild;
    try {
        // The countdown runs beside the preparation, so the server request and
        // the writer setup happen while the user watches it; cancelling the
        // start cancels it too.
        auto context = co_await currentContext();
        countdownChild =
            spawn(executor_, runCountdown(countdown, state_.countdownDuration()), context.cancel);
        co_await startSequence_.prepare(startContext());
        co_await countdownChild.join();
        state_.setPhase(RecorderPhase::preparing());
        co_await checkCancellation();
        co_await startSequence_.startCapture(startContext());
        co_await checkCancellation();
        state_.setPhase(RecorderPhase::recording());
        state_.setStatusMessage(std::string(state_.autoCopyLink()
                                                ? "Link copied ✓"
                                                : "Link ready — use the copy button to share it"));
        startTimer();
        showControlPanel();
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        countdownChild.cancel();
        // The clean-up must finish even though the start task is cancelled.
        co_await shielded(handleStartFailure(failure, countdown));
    }
    startTask_.reset();
}

StartContext CaptureController::startContext() {
    return StartContext{
        .state = state_,
        .sessionDisplayID = sessionDisplayID_,
        .controller = weakHandle(),
        .controlStripWindowID = controlPanel_ ? controlPanel_->windowID() : std::nullopt,
        .cameraRecorder = cameraRecorder_,
        .drawingOverlay = drawingOverlay_,
        .session = session_,
    };
}

Task<void> CaptureController::handleStartFailure(std::exception_ptr failure,
                                                 std::shared_ptr<CountdownOverlay> countdown) {
    if (countdown) {
        countdown->close();
    }
    logging::handled("controller", "start ended", failure, logging::Level::info);
    co_await teardownSession(true);
    state_.setShareURL(std::nullopt);
    if (endsAsCancelled(failure)) {
        state_.setStatusMessage(std::string("Recording canceled"));
        state_.setPhase(RecorderPhase::idle());
        if (recordingModeActive_ && !restarting_) {
            reshowAfterSession();
        }
    } else {
        state_.setPhase(RecorderPhase::error(describeError(failure)));
        if (recordingModeActive_) {
            showMainPanel();
        }
    }
    stopCameraPreviewIfUnattended();
}

Task<void> CaptureController::teardownSession(bool deleteRemote) {
    stopTimer();
    if (controlPanel_) {
        controlPanel_->hide();
    }
    closeDrawingOverlay();
    resetCameraBubbleVisibility();
    state_.setMicMuted(false);

    // Keep the session's objects alive across the awaits even if a later
    // operation replaces the fields.
    // Errors while stopping capture change nothing: the session ends all the
    // same, so none of them may leave the phase where it is.
    CaptureSession session = session_;
    if (session.screenRecorder) {
        try {
            co_await session.screenRecorder->cancel();
        } catch (...) {
            logging::handled("controller", "cancelling the screen recording",
                             std::current_exception());
        }
    }
    if (auto camera = cameraRecorder_) {
        try {
            co_await camera->cancelRecording();
        } catch (...) {
            logging::handled("controller", "cancelling the camera recording",
                             std::current_exception());
        }
    }
    if (session.micWriter) {
        if (session.micWriter->isWriting()) {
            session.micWriter->cancelWriting();
        }
        session.micWriter->deleteFile();
    }
    // Abandon queued segments: close the pipe without waiting for its drains.
    if (session.pipe) {
        session.pipe->closeAtCancel();
    } else if (session.cameraContinuation) {
        session.cameraContinuation->finish();
    }
    if (deleteRemote && session.api && session.recordingID) {
        try {
            co_await session.api->deleteRecording(*session.recordingID);
        } catch (...) {
            // A recording that cannot be deleted stays on the server; the
            // session ends all the same.
            logging::handled("controller", "could not delete recording " + *session.recordingID,
                             std::current_exception());
        }
    }
    resetSession();
}

}  // namespace tessera
