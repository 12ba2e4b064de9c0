// Stopping a session: finishing the recorders, draining the upload pipe,
// sending the microphone file and the notes, finalizing with retries and
// handing out the share link; plus the link actions and ready notifications.

#include <fstream>
#include <iterator>

#include "capture/CaptureController.h"
#include "capture/RecordingSummary.h"
#include "capture/spool/LocalCopy.h"
#include "server/ShareLink.h"
#include "support/Log.h"
#include "support/Retry.h"

namespace tessera {

namespace {
using Kind = RecorderPhase::Kind;

constexpr RetryPolicy kMicUploadRetry{2, seconds(2)};
constexpr RetryPolicy kFinalizeRetry{3, seconds(2)};
constexpr const char* kLinkCopiedNotice = "Link copied ✓";
constexpr const char* kLinkReadyNotice = "Link ready — use the copy button to share it";

std::string trimmed(const std::string& text) {
    const char* space = " \t\n\r\f\v";
    auto first = text.find_first_not_of(space);
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// Logs each failed attempt of a retried request; the caller reports the last one.
RetryReport logRetries(std::string what) {
    return [what = std::move(what)](const RetryFailure& failure) {
        if (failure.willRetry()) {
            logging::handled("controller",
                             what + " failed (attempt " + std::to_string(failure.attempt) + " of " +
                                 std::to_string(failure.attempts) + "), retrying",
                             failure.error);
        }
    };
}

// Inside a catch block: a cancellation goes on up; it is how the controller's
// tasks end at shutdown, not an error of the recorder.
void rethrowIfCancelled() {
    if (isCancellation(std::current_exception())) {
        throw;
    }
}

std::shared_ptr<const std::vector<std::uint8_t>> readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return nullptr;
    }
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(std::istreambuf_iterator<char>(in),
                                                             std::istreambuf_iterator<char>());
    if (in.bad() || bytes->empty()) {
        return nullptr;
    }
    return bytes;
}
}  // namespace

Task<void> CaptureController::stop() {
    if (!state_.phase().is(Kind::recording) && !state_.phase().is(Kind::paused)) {
        co_return;
    }
    state_.setPhase(RecorderPhase::finishing());
    if (controlPanel_) {
        controlPanel_->hide();
    }
    closeDrawingOverlay();
    resetCameraBubbleVisibility();
    state_.setMicMuted(false);
    if (state_.statusMessage() == kLinkCopiedNotice || state_.statusMessage() == kLinkReadyNotice) {
        state_.setStatusMessage(std::nullopt);
    }
    stopTimer();

    stopStartedAt_ = executor_.now();
    // The camera video ends where the screen's does, at the press: it would
    // otherwise go on until the screen writer has finished.
    if (cameraRecorder_) {
        cameraRecorder_->pause();
    }

    // Errors while stopping capture are logged and change nothing else: the
    // stop goes on, so the phase never stays in finishing. A screen recorder
    // that fails to say whether it wrote anything is taken to have written,
    // so that nothing recorded is thrown away on an error.
    CaptureSession session = session_;
    bool hadFrames = false;
    if (session.screenRecorder) {
        try {
            hadFrames = co_await session.screenRecorder->stop();
        } catch (...) {
            rethrowIfCancelled();
            logging::handled("controller", "stopping the screen recording",
                             std::current_exception());
            hadFrames = true;
        }
    }
    if (auto camera = cameraRecorder_) {
        try {
            co_await camera->finishRecording();
        } catch (...) {
            rethrowIfCancelled();
            logging::handled("controller", "finishing the camera recording",
                             std::current_exception());
        }
    }
    bool micReady = false;
    if (session.micWriter) {
        try {
            micReady = co_await session.micWriter->finish();
        } catch (...) {
            rethrowIfCancelled();
            logging::handled("controller", "finishing the microphone file",
                             std::current_exception());
            session_.micWarning =
                "mic audio was lost (" + describeError(std::current_exception()) + ")";
        }
    }
    // Every queued segment is uploaded (or dropped) before anything else is sent.
    if (session.pipe) {
        co_await session.pipe->closeAtStop();
    }

    if (session.api && session.recordingID) {
        if (!hadFrames) {
            if (session.micWriter) {
                session.micWriter->deleteFile();
            }
            try {
                co_await session.api->deleteRecording(*session.recordingID);
            } catch (...) {
                // Nothing was recorded; a leftover empty recording is harmless.
                logging::handled("controller",
                                 "deleting recording " + *session.recordingID + " without frames",
                                 std::current_exception());
            }
            if (session.pipe) {
                co_await session.pipe->discardLocalCopy();
            }
            state_.setShareURL(std::nullopt);
            resetSession();
            state_.setPhase(RecorderPhase::error(
                "No video frames were captured — the recording was discarded."));
            if (recordingModeActive_) {
                showMainPanel();
            }
            stopCameraPreviewIfUnattended();
            co_return;
        }
        if (micReady) {
            co_await uploadMicFile(session.api, *session.recordingID);
        }
        co_await finalizeAndFinish(session.api, *session.recordingID);
        co_return;
    }

    if (session.micWriter) {
        session.micWriter->deleteFile();
    }
    resetSession();
    state_.setPhase(RecorderPhase::idle());
    if (recordingModeActive_ && !restarting_) {
        reshowAfterSession();
    }
    stopCameraPreviewIfUnattended();
}

Task<void> CaptureController::uploadMicFile(std::shared_ptr<SessionServer> api,
                                            std::string recordingID) {
    auto micWriter = session_.micWriter;
    if (!micWriter) {
        co_return;
    }
    if (auto bytes = readWholeFile(micWriter->path())) {
        const std::string kind = "mic";  // each attempt's task refers to it
        std::exception_ptr failure;
        try {
            co_await retrying<void>(
                kMicUploadRetry, [&] { return api->uploadChunk(recordingID, kind, bytes); },
                logRetries("microphone upload"));
        } catch (...) {
            failure = std::current_exception();
        }
        if (isCancellation(failure)) {
            std::rethrow_exception(failure);
        }
        if (failure) {
            logging::handled("controller", "microphone upload", failure);
            session_.micWarning = "mic audio was lost (" + describeError(failure) + ")";
        }
        if ((failure || state_.keepLocalCopy()) && session_.pipe) {
            co_await session_.pipe->addToLocalCopy(micWriter->path(), "mic.m4a");
        }
    } else {
        session_.micWarning = "mic audio was lost (couldn't read the recorded file)";
    }
    micWriter->deleteFile();
    session_.micWriter.reset();
}

Task<FinalizeResult> CaptureController::finalizeWithRetries(std::shared_ptr<SessionServer> api,
                                                            std::string recordingID) {
    co_return co_await retrying<FinalizeResult>(
        kFinalizeRetry, [&] { return api->finalize(recordingID); }, logRetries("finalize"));
}

Task<void> CaptureController::finalizeAndFinish(std::shared_ptr<SessionServer> api,
                                                std::string recordingID) {
    std::vector<std::string> warnings;
    if (session_.screenRecorder) {
        if (auto writerError = session_.screenRecorder->writerError()) {
            warnings.push_back("writer error: " + *writerError);
        }
    }
    if (session_.micWarning) {
        warnings.push_back(*session_.micWarning);
    }
    if (session_.pipe) {
        if (auto summary = session_.pipe->failureSummary()) {
            warnings.push_back(*summary);
        }
    }

    std::optional<FinalizeResult> reply;
    std::exception_ptr failure;
    try {
        reply = co_await finalizeWithRetries(api, recordingID);
    } catch (...) {
        failure = std::current_exception();
        logging::handled("controller", "finalize", failure, logging::Level::error);
    }

    logSummary(recordingID, failure ? "finalize failed"
                                    : (reply->status == "ready" ? "ready" : "processing failed"));
    const bool somethingLost = failure || reply->status != "ready" || !warnings.empty();
    co_await settleLocalCopy(somethingLost);
    if (failure) {
        // The session stays for a retry; its warnings are collected again then.
        state_.setCanRetryFinalize(true);
        state_.setPhase(RecorderPhase::error("Finalize failed: " + describeError(failure)));
    } else {
        const std::string notes = trimmed(state_.recordingNotes());
        if (!notes.empty()) {
            try {
                co_await api->update(recordingID, notes);
                state_.setRecordingNotes("");
            } catch (...) {
                logging::handled("controller", "attaching the notes", std::current_exception());
                warnings.push_back("notes couldn't be attached (" +
                                   describeError(std::current_exception()) + ")");
            }
        }
        if (reply->status != "ready") {
            resetSession();
            state_.setPhase(RecorderPhase::error("Server processing failed: " +
                                                 reply->error.value_or("unknown error")));
        } else {
            const Url link =
                shareLinkFor(reply->shareUrl, state_.shareURL(), api->baseURL(), recordingID);
            if (state_.autoCopyLink()) {
                share_.copyToClipboard(link);
            }
            state_.setShareURL(link);
            if (warnings.empty()) {
                state_.setStatusMessage(std::nullopt);
            } else {
                std::string line = "Heads up: ";
                for (std::size_t i = 0; i < warnings.size(); ++i) {
                    line += (i ? "; " : "") + warnings[i];
                }
                state_.setStatusMessage(line);
            }
            if (state_.openShareInBrowser()) {
                share_.openInBrowser(link);
            }
            postReadyNotificationIfEnabled();
            resetSession();
            state_.setPhase(RecorderPhase::done());
        }
    }
    if (recordingModeActive_) {
        showMainPanel();
    }
    stopCameraPreviewIfUnattended();
}

Task<void> CaptureController::settleLocalCopy(bool somethingLost) {
    auto pipe = session_.pipe;
    if (!pipe) {
        co_return;
    }
    if (somethingLost || state_.keepLocalCopy()) {
        if (auto path = co_await pipe->keepLocalCopy()) {
            state_.setLocalCopyPath(std::move(path));
        }
    } else {
        co_await pipe->discardLocalCopy();
    }
}

Task<void> CaptureController::retryFinalize() {
    if (!state_.canRetryFinalize() || !session_.api || !session_.recordingID) {
        co_return;
    }
    state_.setCanRetryFinalize(false);
    state_.setPhase(RecorderPhase::finishing());
    stopStartedAt_ = executor_.now();
    co_await finalizeAndFinish(session_.api, *session_.recordingID);
}

void CaptureController::logSummary(const std::string& recordingID, const std::string& outcome) {
    RecordingFigures figures;
    figures.recordingID = recordingID;
    figures.outcome = outcome;
    if (session_.configuration) {
        figures.width = session_.configuration->width;
        figures.height = session_.configuration->height;
        const double interval = session_.configuration->minimumFrameInterval.seconds();
        figures.frameRate = interval > 0 ? 1 / interval : 0;
    }
    if (session_.screenRecorder) {
        figures.frames = session_.screenRecorder->stats();
    }
    if (session_.pipe) {
        figures.uploads = session_.pipe->counters();
    }
    if (stopStartedAt_) {
        figures.stopToLinkSeconds = toSeconds(executor_.now() - *stopStartedAt_);
    }
    logging::info("recording", recordingSummary(figures));
}

void CaptureController::postReadyNotificationIfEnabled() {
    if (!state_.notifyWhenReady() || !notifications_.isBundled()) {
        return;
    }
    runOwned(deliverReadyNotification(state_.autoCopyLink()));
}

Task<void> CaptureController::deliverReadyNotification(bool copied) {
    std::weak_ptr<int> alive = alive_;
    auto authorization = co_await notifications_.authorization();
    if (alive.expired()) {
        co_return;
    }
    using Authorization = ReadyNotifications::Authorization;
    if (authorization == Authorization::authorized || authorization == Authorization::provisional) {
        try {
            std::string body = copied ? "The share link is copied to your clipboard."
                                      : "The share link is ready in the panel.";
            if (state_.localCopyPath()) {
                body += "\n" + localCopyLine(*state_.localCopyPath());
            }
            co_await notifications_.post("Recording ready", body);
        } catch (...) {
            // A notification that cannot be shown changes nothing about the
            // recording, which is ready in the panel.
            logging::handled("controller", "posting the ready notification",
                             std::current_exception());
        }
        co_return;
    }
    state_.setNotifyWhenReady(false);
    state_.setStatusMessage(
        std::string("Notifications aren't allowed for Tessera — enable them in System Settings → "
                    "Notifications to get a ready alert."));
}

void CaptureController::setNotifyWhenReady(bool on) {
    if (state_.notifyWhenReady() == on) {
        return;
    }
    if (!on) {
        state_.setNotifyWhenReady(false);
        return;
    }
    if (!notifications_.isBundled()) {
        state_.setStatusMessage(std::string("Notifications need the bundled app (build-app.sh)."));
        return;
    }
    state_.setNotifyWhenReady(true);
    runOwned(requestNotificationAuthorization());
}

Task<void> CaptureController::requestNotificationAuthorization() {
    std::weak_ptr<int> alive = alive_;
    bool granted = false;
    try {
        granted = co_await notifications_.requestAuthorization();
    } catch (...) {
        logging::handled("controller", "asking for notification permission",
                         std::current_exception());
        granted = false;
    }
    if (!granted && !alive.expired()) {
        state_.setNotifyWhenReady(false);
        state_.setStatusMessage(
            std::string("Notifications are disabled for Tessera — enable them in System Settings → "
                        "Notifications, then try again."));
    }
}

void CaptureController::copyLink() {
    if (state_.shareURL()) {
        share_.copyToClipboard(*state_.shareURL());
    }
}

void CaptureController::openLibrary() {
    auto base = state_.serverBaseURL();
    share_.openInBrowser(base ? *base : *Url::parse(std::string(AppState::kDefaultServerBaseURL)));
}

}  // namespace tessera
